// One HTTPS GET into one local file: TLS 1.2 only, no redirects, a byte limit
// enforced while streaming, cancellation between chunks, progress text, and
// with an expected digest an exact size and SHA-256 check.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

namespace vantrel {

class InstallerApp;

struct ServerEndpoint {
    const wchar_t* host;
    INTERNET_PORT port;
};

// "正在下载" + label + "：" + downloaded KB + " / " + whole KB + " KB".
std::wstring DownloadProgressText(const std::wstring& label, std::uint64_t total,
                                  std::uint64_t sizeLimit);
// total * 100 / sizeLimit, truncated.
int DownloadProgressPercent(std::uint64_t total, std::uint64_t sizeLimit);

// Throws Failure on every failure; the destination is left on disk with the
// chunks written so far (its owner removes it).
void DownloadFile(InstallerApp& app, const ServerEndpoint& server, const std::wstring& path,
                  const std::wstring& destination, std::uint64_t sizeLimit,
                  const std::wstring& expectedSha256, const std::wstring& label);

}  // namespace vantrel
