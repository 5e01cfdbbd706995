// The proxy in the current user's Internet Options, for a download whose
// direct attempt could not reach its server. Most people behind a proxy have
// it only there (typed in, pushed by group policy, or as an auto-config
// script), not in the machine-wide WinHTTP setting a session uses by default.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "download/downloader.h"

namespace vantrel {

// The proxy list for https://host:port/path by the current user's setting:
// the auto-config script's answer; else (no script, or one that cannot be
// fetched or run) the proxy typed in, unless the host is on its bypass list.
// Empty when there is none, the script answers DIRECT, or the host bypasses
// it. Automatic discovery (WPAD) is never used: it costs seconds where there
// is no proxy, and lets the network name one. `session` is any open session;
// the script is evaluated through it.
std::wstring UserProxyFor(HINTERNET session, const ServerEndpoint& server, const std::wstring& path);

// Whether the host is on a bypass list as Internet Options writes it:
// entries apart by ';' or white space, '*' standing for any run of
// characters, case ignored. An entry may start with a scheme ("https://",
// which must then be https) and end with the port; "<local>" stands for every
// host name without a dot.
bool IsOnBypassList(const std::wstring& list, const std::wstring& host, INTERNET_PORT port);

}  // namespace vantrel
