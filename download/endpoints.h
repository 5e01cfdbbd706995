// The two servers and three resources the installer fetches. Host names,
// ports and the runtime package's path, size and digest are build-time
// constants (see the VANTREL_* CMake cache variables).
#pragma once

#include <cstdint>
#include <string>

#include "download/downloader.h"

namespace vantrel {

ServerEndpoint ProductServer();
ServerEndpoint RuntimeServer();

extern const wchar_t* const kRuntimePackagePath;
extern const std::uint64_t kRuntimePackageSize;
extern const wchar_t* const kRuntimePackageSha256;
extern const wchar_t* const kProductLabel;  // "安装包"
extern const wchar_t* const kRuntimeLabel;  // "微软系统运行库"

// "/downloads/" + fileName on the product server, label "安装包".
void DownloadProductFile(InstallerApp& app, const std::wstring& fileName,
                         const std::wstring& destination, std::uint64_t sizeLimit,
                         const std::wstring& expectedSha256);

}  // namespace vantrel
