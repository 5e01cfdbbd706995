// The downloads as the user sees them: which name each file goes by, the
// progress line after every chunk and the line shown while it is checked.
#pragma once

#include <cstdint>
#include <string>

#include "download/downloader.h"
#include "support/run_context.h"

namespace vantrel {

constexpr const wchar_t* kProductLabel = L"安装包";
constexpr const wchar_t* kRuntimeLabel = L"微软系统运行库";

// "正在下载" + label + "：" + downloaded KB + " / " + whole KB + " KB".
std::wstring DownloadProgressText(const std::wstring& label, std::uint64_t total,
                                  std::uint64_t sizeLimit);

// total * 100 / sizeLimit, truncated.
int DownloadProgressPercent(std::uint64_t total, std::uint64_t sizeLimit);

// DownloadFile with the run's cancel flag. With `showProgress`, the status
// line follows every chunk and reads "正在校验" + label + "…" during the check.
// Returns DownloadFile's handle: held open on a checked file.
[[nodiscard]] FileHandle DownloadWithStatus(const RunContext& run, const DownloadRequest& request,
                                            bool showProgress);

// kProductFolder + fileName on the product server, label "安装包".
[[nodiscard]] FileHandle DownloadProductFile(const RunContext& run, const std::wstring& fileName,
                                             const std::wstring& destination, std::uint64_t sizeLimit,
                                             const std::wstring& expectedSha256, bool showProgress);

}  // namespace vantrel
