// One HTTPS GET into one local file: TLS 1.2 only, no redirects, a byte limit
// enforced while streaming, cancellation between chunks, and with an expected
// digest an exact size and SHA-256 check. What the user is told while it runs
// is the caller's business: it hears of each chunk and of the check.
//
// The request goes out with the machine's WinHTTP proxy setting. When that
// attempt cannot reach the server at all (name not resolved, no connection,
// connection timed out), it is made once more through the current user's
// Internet Options proxy, if one applies to the server; a failure is then
// reported from that second attempt.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "support/win_handles.h"

namespace vantrel {

struct ServerEndpoint {
    const wchar_t* host;
    INTERNET_PORT port;
};

struct DownloadRequest {
    ServerEndpoint server;
    std::wstring path;         // request path, already safe to send as it is
    std::wstring destination;  // local file, created or replaced
    std::uint64_t sizeLimit = 0;
    // Empty: the limit is only an upper bound. Otherwise the file must have
    // exactly sizeLimit bytes and this lower-case hex SHA-256.
    std::wstring expectedSha256;
    std::wstring label;  // the file's name for the user, in the digest failure
};

// Either may be empty.
struct DownloadObserver {
    // After each chunk is written: bytes so far and the size limit.
    std::function<void(std::uint64_t bytes, std::uint64_t limit)> progress;
    // Once, when the size is right and the digest is about to be computed.
    std::function<void()> verifying;
};

// Throws Failure on every failure, "已取消下载，可以重新开始。" when the flag is
// found set after a chunk; the destination is left on disk with the chunks
// written so far (its owner removes it).
//
// With an expected digest, returns the handle the digest was computed
// through: read access, read sharing only. While the caller holds it, nobody
// can write, rename or delete the file, so what is started or installed later
// is what was checked; programs can still read and run it. Without a digest
// the file is closed and the handle is empty.
[[nodiscard]] FileHandle DownloadFile(const DownloadRequest& request, const DownloadObserver& observer,
                                      const std::atomic<bool>& cancelRequested);

}  // namespace vantrel
