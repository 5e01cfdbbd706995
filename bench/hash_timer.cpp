// Times the installer's own digest routine on a file that is already on disk:
// the span between the last byte of a download being written and the verdict.
// Each round takes three measurements so the cost can be split:
//   read_s  the file read back in 64 KiB chunks, nothing else (the I/O part)
//   cng_s   as many 64 KiB BCryptHashData calls on a buffer in memory (the
//           platform's SHA-256 alone)
//   hash_s  Sha256Context + HashFileHex on the file, exactly as the
//           downloader does it
//
//   hash_timer <file> <rounds>
//
// Prints {"bytes":..,"digest":"..","read_s":[..],"cng_s":[..],"hash_s":[..]}.
#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "download/sha256.h"
#include "support/failure.h"

namespace {

constexpr DWORD kChunkSize = 65536;

class Clock {
public:
    Clock() {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    double Seconds() const {
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency_.QuadPart);
    }

private:
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER start_{};
};

struct File {
    HANDLE handle;
    explicit File(const wchar_t* path)
        : handle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~File() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

unsigned long long ReadAll(const wchar_t* path) {
    File file(path);
    if (file.handle == INVALID_HANDLE_VALUE) return 0;
    std::vector<unsigned char> buffer(kChunkSize);
    unsigned long long total = 0;
    DWORD read = 0;
    while (ReadFile(file.handle, buffer.data(), kChunkSize, &read, nullptr) && read > 0) total += read;
    return total;
}

void HashInMemory(unsigned long long bytes) {
    vantrel::Sha256Context context;
    std::vector<unsigned char> buffer(kChunkSize, 0x5a);
    for (unsigned long long done = 0; done < bytes; done += kChunkSize) {
        const auto length = static_cast<ULONG>(bytes - done < kChunkSize ? bytes - done : kChunkSize);
        BCryptHashData(context.Hash(), buffer.data(), length, 0);
    }
    unsigned char digest[32];
    BCryptFinishHash(context.Hash(), digest, sizeof(digest), 0);
}

std::string List(const std::vector<double>& values) {
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        char number[32];
        std::snprintf(number, sizeof(number), "%s%.6f", i ? "," : "", values[i]);
        text += number;
    }
    return text + "]";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: hash_timer <file> <rounds>\n", stderr);
        return 2;
    }
    const wchar_t* path = argv[1];
    const int rounds = static_cast<int>(std::wcstoul(argv[2], nullptr, 10));
    std::vector<double> readTimes, cngTimes, hashTimes;
    unsigned long long bytes = 0;
    std::wstring digest;
    try {
        for (int round = 0; round < rounds; ++round) {
            {
                const Clock clock;
                bytes = ReadAll(path);
                readTimes.push_back(clock.Seconds());
            }
            {
                const Clock clock;
                HashInMemory(bytes);
                cngTimes.push_back(clock.Seconds());
            }
            {
                File file(path);
                if (file.handle == INVALID_HANDLE_VALUE) {
                    std::fprintf(stderr, "hash_timer: cannot open the file (%lu)\n", GetLastError());
                    return 1;
                }
                const Clock clock;
                vantrel::Sha256Context context;
                digest = vantrel::HashFileHex(context, file.handle);
                hashTimes.push_back(clock.Seconds());
            }
        }
    } catch (const vantrel::Failure&) {
        std::fputs("hash_timer: the digest routine failed\n", stderr);
        return 1;
    }
    const std::string hex(digest.begin(), digest.end());  // ASCII only
    std::printf("{\"bytes\":%llu,\"digest\":\"%s\",\"read_s\":%s,\"cng_s\":%s,\"hash_s\":%s}\n", bytes,
                hex.c_str(), List(readTimes).c_str(), List(cngTimes).c_str(), List(hashTimes).c_str());
    return 0;
}
