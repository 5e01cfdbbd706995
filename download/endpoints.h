// The two servers and three resources the installer fetches. Host names,
// ports and the runtime package's path, size and digest are build-time
// constants (see the VANTREL_* CMake cache variables).
#pragma once

#include <cstdint>

#include "download/downloader.h"

namespace vantrel {

ServerEndpoint ProductServer();
ServerEndpoint RuntimeServer();

// Resources on the product server live under this folder.
constexpr const wchar_t* kProductFolder = L"/downloads/";

extern const wchar_t* const kRuntimePackagePath;
extern const std::uint64_t kRuntimePackageSize;
extern const wchar_t* const kRuntimePackageSha256;

}  // namespace vantrel
