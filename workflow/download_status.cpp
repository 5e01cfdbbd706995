#include "workflow/download_status.h"

#include "download/endpoints.h"
#include "support/text_format.h"

namespace vantrel {

std::wstring DownloadProgressText(const std::wstring& label, std::uint64_t total,
                                  std::uint64_t sizeLimit) {
    // Truncated kilobytes as plain digits.
    return L"正在下载" + label + L"：" + ToDecimal(total / 1024) + L" / " +
           ToDecimal(sizeLimit / 1024) + L" KB";
}

int DownloadProgressPercent(std::uint64_t total, std::uint64_t sizeLimit) {
    // The downloader never reports total above a non-zero limit; the guards
    // only keep the pure function total.
    if (sizeLimit == 0) return 0;
    if (total >= sizeLimit) return 100;
    return static_cast<int>(total * 100 / sizeLimit);
}

FileHandle DownloadWithStatus(const RunContext& run, const DownloadRequest& request, bool showProgress) {
    static const std::atomic<bool> kNeverCancelled{false};
    DownloadObserver observer;
    if (showProgress) {
        observer.progress = [&run, &request](std::uint64_t bytes, std::uint64_t limit) {
            run.SetStatus(DownloadProgressText(request.label, bytes, limit),
                          DownloadProgressPercent(bytes, limit));
        };
        observer.verifying = [&run, &request] {
            run.SetStatus(L"正在校验" + request.label + L"…", 100);
        };
    }
    return DownloadFile(request, observer,
                        run.cancelRequested != nullptr ? *run.cancelRequested : kNeverCancelled);
}

FileHandle DownloadProductFile(const RunContext& run, const std::wstring& fileName,
                               const std::wstring& destination, std::uint64_t sizeLimit,
                               const std::wstring& expectedSha256, bool showProgress) {
    DownloadRequest request;
    request.server = ProductServer();
    // Plain concatenation: the manifest's file name has already been limited
    // to characters that need no encoding.
    request.path = kProductFolder + fileName;
    request.destination = destination;
    request.sizeLimit = sizeLimit;
    request.expectedSha256 = expectedSha256;
    request.label = kProductLabel;
    return DownloadWithStatus(run, request, showProgress);
}

}  // namespace vantrel
