#include "download/downloader.h"

#include <utility>
#include <vector>

#include "download/sha256.h"
#include "download/user_proxy.h"
#include "support/system_api.h"
#include "support/failure.h"
#include "support/scoped_handle.h"
#include "support/text_format.h"
#include "support/win_handles.h"

namespace vantrel {

namespace {

constexpr DWORD kChunkSize = 65536;
constexpr DWORD kNetworkTimeoutMs = 15000;

struct WinHttpHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type handle) noexcept {
        if (const WinHttpApi* api = LoadedWinHttp()) api->WinHttpCloseHandle(handle);
    }
};
using WinHttpHandle = ScopedHandle<WinHttpHandleTraits>;

constexpr const wchar_t* kWriteFailed = L"写入失败，请检查磁盘空间";

void ThrowIfCancelled(const std::atomic<bool>& cancelRequested) {
    if (cancelRequested.load()) throw Failure{L"已取消下载，可以重新开始。"};
}

// One chunk onto the disk, or a Failure with the system's reason.
void WriteChunk(HANDLE file, const std::uint8_t* bytes, DWORD size) {
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, bytes, size, &written, nullptr);
    CheckSystemCall(wrote != FALSE, kWriteFailed);
    if (written == size) return;
    // A write that succeeds with fewer bytes than asked (the disk filled up
    // within this chunk) sets no error code. Writing the rest once more lets
    // the system name its reason; a second silent short write means a full
    // disk.
    DWORD more = 0;
    const BOOL again = WriteFile(file, bytes + written, size - written, &more, nullptr);
    CheckSystemCall(again != FALSE, kWriteFailed);
    SetLastError(ERROR_DISK_FULL);
    CheckSystemCall(false, kWriteFailed);
}

// The written file, closed and opened again for its check with read access
// and read sharing only; the digest is computed through the new handle, which
// is returned still open. The write handle's exclusive sharing would keep
// even the product installer's own start from opening the file. Between the
// close and the open another process may get in: then the open fails with a
// sharing violation, or the digest is computed over whatever now has this
// name and doesn't match; either way nothing unchecked is held.
FileHandle OpenAndCheckDigest(FileHandle written, const DownloadRequest& request) {
    written.Reset();
    FileHandle held(CreateFileW(request.destination.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    CheckSystemCall(held.Valid(), L"无法读取校验文件");
    {
        // Scoped so the hash is released before the caller may close the file.
        Sha256Context context;
        const std::wstring digest = HashFileHex(context, held.Get());
        if (!DigestsMatch(digest, request.expectedSha256)) {
            throw Failure{request.label + L" SHA-256 校验失败，已拒绝运行。"};
        }
    }
    return held;
}

constexpr wchar_t kConnectFailed[] = L"下载连接失败，请检查网络、系统时间和证书";

// The handles of one attempt at the request, released request first.
struct Attempt {
    WinHttpHandle session;
    WinHttpHandle connection;
    WinHttpHandle request;
};

// Session, connection and request, ready to send. Without a proxy the session
// takes the machine's WinHTTP setting; with one, every connection goes
// through it. Either way: TLS 1.2 only, the same time-outs, no redirects.
Attempt OpenAttempt(const ServerEndpoint& server, const std::wstring& path, const std::wstring& proxy) {
    const WinHttpApi& api = WinHttp();
    Attempt attempt;
    const DWORD access = proxy.empty() ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    const wchar_t* const proxyName = proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str();
    attempt.session.Reset(
        api.WinHttpOpen(L"VantrelSetup/1.0", access, proxyName, WINHTTP_NO_PROXY_BYPASS, 0));
    CheckSystemCall(attempt.session.Valid(), L"无法初始化下载连接");

    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    CheckSystemCall(api.WinHttpSetOption(attempt.session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                         sizeof(protocols)) != FALSE,
                    L"无法启用 TLS 1.2");

    CheckSystemCall(api.WinHttpSetTimeouts(attempt.session.Get(), kNetworkTimeoutMs, kNetworkTimeoutMs,
                                           kNetworkTimeoutMs, kNetworkTimeoutMs) != FALSE,
                    L"无法设置下载超时");

    attempt.connection.Reset(api.WinHttpConnect(attempt.session.Get(), server.host, server.port, 0));
    CheckSystemCall(attempt.connection.Valid(), L"无法初始化下载连接");

    // REFRESH keeps caches and proxies from answering with a stale copy.
    attempt.request.Reset(api.WinHttpOpenRequest(attempt.connection.Get(), L"GET", path.c_str(), nullptr,
                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                 WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH));
    CheckSystemCall(attempt.request.Valid(), L"无法初始化下载连接");

    // A redirect could lead anywhere; every resource must be answered directly.
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    CheckSystemCall(api.WinHttpSetOption(attempt.request.Get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy,
                                         sizeof(redirectPolicy)) != FALSE,
                    L"无法设置下载安全策略");
    return attempt;
}

bool Send(const Attempt& attempt) {
    return WinHttp().WinHttpSendRequest(attempt.request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                        WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
}

// The server could not be reached: no name, no connection, or a time-out
// before any answer (the send does not tell a connection's time-out from a
// stalled handshake's; for the first a proxy is worth the one try). A TLS or
// certificate failure means the server was reached, and a proxy would change
// nothing.
bool IsUnreachable(DWORD error) {
    return error == ERROR_WINHTTP_NAME_NOT_RESOLVED || error == ERROR_WINHTTP_CANNOT_CONNECT ||
           error == ERROR_WINHTTP_TIMEOUT;
}

// The length the server announced, or false where there is none or it is not a
// plain number. Only an unchecked download looks at it: a body that ends
// before it is cut off (a connection closed early can read like a clean end),
// and nothing else would notice. A digest-checked download has its own size.
bool DeclaredLength(HINTERNET http, std::uint64_t& length) {
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (WinHttp().WinHttpQueryHeaders(http, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                                      WINHTTP_NO_HEADER_INDEX) == FALSE) {
        return false;
    }
    return ParseDecimal(std::wstring(text, size / sizeof(wchar_t)), length);
}

}  // namespace

FileHandle DownloadFile(const DownloadRequest& request, const DownloadObserver& observer,
                        const std::atomic<bool>& cancelRequested) {
    const ServerEndpoint& server = request.server;
    const std::uint64_t sizeLimit = request.sizeLimit;
    const bool verify = !request.expectedSha256.empty();

    // Connecting. Nothing touches the disk until the server has answered 200,
    // so a failure here leaves the destination path as it was.
    Attempt direct = OpenAttempt(server, request.path, std::wstring());
    Attempt proxied;
    const Attempt* answered = &direct;
    if (!Send(direct)) {
        const DWORD error = GetLastError();
        // Where only a proxy leads out, the user's own proxy setting gets the
        // same request once more; a failure then is that attempt's.
        const std::wstring proxy =
            IsUnreachable(error) ? UserProxyFor(direct.session.Get(), server, request.path) : std::wstring();
        if (proxy.empty()) throw Failure{WithErrorCode(kConnectFailed, error)};
        ThrowIfCancelled(cancelRequested);
        proxied = OpenAttempt(server, request.path, proxy);
        CheckSystemCall(Send(proxied), kConnectFailed);
        answered = &proxied;
    }
    const HINTERNET http = answered->request.Get();
    CheckSystemCall(WinHttp().WinHttpReceiveResponse(http, nullptr) != FALSE, L"服务器没有正常响应");

    DWORD statusCode = 0;
    DWORD statusSize = sizeof(statusCode);
    CheckSystemCall(WinHttp().WinHttpQueryHeaders(http, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                        WINHTTP_HEADER_NAME_BY_INDEX, &statusCode, &statusSize,
                                        WINHTTP_NO_HEADER_INDEX) != FALSE,
                    L"无法读取下载响应");
    if (statusCode != 200) throw Failure{L"下载服务器返回 HTTP " + ToDecimal(statusCode)};
    std::uint64_t declared = 0;
    const bool announced = !verify && DeclaredLength(http, declared);

    // Receiving. Exclusive sharing while the file is written: nobody else
    // can open it until it is complete.
    FileHandle file(CreateFileW(request.destination.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    CheckSystemCall(file.Valid(), L"无法创建下载文件");

    std::uint64_t total = 0;
    ThrowIfCancelled(cancelRequested);

    // The length header never sets a limit or an end: the body ends with the
    // read that returns 0 bytes, and the limit is enforced on what arrives.
    std::vector<std::uint8_t> buffer(kChunkSize);
    for (;;) {
        DWORD read = 0;
        CheckSystemCall(WinHttp().WinHttpReadData(http, buffer.data(), kChunkSize, &read) != FALSE,
                        L"下载中断，请重试");
        if (read == 0) break;

        total += read;
        if (total > sizeLimit) throw Failure{L"文件大小超过清单限制，已停止下载。"};

        WriteChunk(file.Get(), buffer.data(), read);

        if (observer.progress) observer.progress(total, sizeLimit);
        ThrowIfCancelled(cancelRequested);
    }

    // Checking.
    if (total == 0) throw Failure{L"服务器返回了空文件。"};
    if (!verify) {
        if (announced && total < declared) {
            throw Failure{WithErrorCode(L"下载中断，请重试", ERROR_WINHTTP_CONNECTION_ERROR)};
        }
        return FileHandle();  // the owners close the file, the request, connection and session
    }
    if (total != sizeLimit) throw Failure{L"安装包下载不完整，请重试。"};
    if (observer.verifying) observer.verifying();
    return OpenAndCheckDigest(std::move(file), request);
}

}  // namespace vantrel
