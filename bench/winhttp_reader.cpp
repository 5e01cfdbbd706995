// The least a program can do to fetch one HTTPS URL into a file with the
// installer's transfer settings: TLS 1.2 only, redirects never followed, the
// four 15 s timeouts, the secure and refresh request flags, 64 KiB reads
// written straight to a file. No limits, no progress, no digest. Its speed is
// the ceiling the installer's own transfer is measured against.
//
//   winhttp_reader <host> <port> <path> <output file>
//
// Prints {"status":..,"bytes":..,"first_byte_s":..,"seconds":..}; seconds runs
// from the first WinHTTP call to the last byte written. Exit code 0 only for a
// complete 200 answer.
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kChunkSize = 65536;
constexpr DWORD kTimeoutMs = 15000;

struct Internet {
    HINTERNET handle;
    explicit Internet(HINTERNET h) : handle(h) {}
    ~Internet() {
        if (handle != nullptr) WinHttpCloseHandle(handle);
    }
    Internet(const Internet&) = delete;
    Internet& operator=(const Internet&) = delete;
};

int Fail(const char* step) {
    std::fprintf(stderr, "winhttp_reader: %s failed with %lu\n", step, GetLastError());
    return 1;
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to, const LARGE_INTEGER& frequency) {
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        std::fputs("usage: winhttp_reader <host> <port> <path> <output file>\n", stderr);
        return 2;
    }
    const auto port = static_cast<INTERNET_PORT>(std::wcstoul(argv[2], nullptr, 10));
    LARGE_INTEGER frequency{}, start{}, firstByte{}, end{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);

    Internet session(WinHttpOpen(L"VantrelBench/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session.handle == nullptr) return Fail("WinHttpOpen");
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    if (!WinHttpSetOption(session.handle, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
        return Fail("WINHTTP_OPTION_SECURE_PROTOCOLS");
    }
    if (!WinHttpSetTimeouts(session.handle, kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs)) {
        return Fail("WinHttpSetTimeouts");
    }
    Internet connection(WinHttpConnect(session.handle, argv[1], port, 0));
    if (connection.handle == nullptr) return Fail("WinHttpConnect");
    Internet request(WinHttpOpenRequest(connection.handle, L"GET", argv[3], nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH));
    if (request.handle == nullptr) return Fail("WinHttpOpenRequest");
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!WinHttpSetOption(request.handle, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy))) {
        return Fail("WINHTTP_OPTION_REDIRECT_POLICY");
    }
    if (!WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0)) {
        return Fail("WinHttpSendRequest");
    }
    if (!WinHttpReceiveResponse(request.handle, nullptr)) return Fail("WinHttpReceiveResponse");
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        return Fail("WinHttpQueryHeaders");
    }

    const HANDLE file = CreateFileW(argv[4], GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail("CreateFileW");
    std::vector<unsigned char> buffer(kChunkSize);
    unsigned long long total = 0;
    bool ok = true;
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request.handle, buffer.data(), kChunkSize, &read)) {
            ok = false;
            Fail("WinHttpReadData");
            break;
        }
        if (total == 0) QueryPerformanceCounter(&firstByte);
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read) {
            ok = false;
            Fail("WriteFile");
            break;
        }
        total += read;
    }
    QueryPerformanceCounter(&end);
    CloseHandle(file);

    std::printf("{\"status\":%lu,\"bytes\":%llu,\"first_byte_s\":%.6f,\"seconds\":%.6f}\n", status, total,
                Seconds(start, firstByte, frequency), Seconds(start, end, frequency));
    return ok && status == 200 ? 0 : 1;
}
