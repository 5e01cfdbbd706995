#include "download/endpoints.h"

#include "endpoint_config.h"

namespace vantrel {

ServerEndpoint ProductServer() { return {VANTREL_PRODUCT_HOST, VANTREL_PRODUCT_PORT}; }
ServerEndpoint RuntimeServer() { return {VANTREL_RUNTIME_HOST, VANTREL_RUNTIME_PORT}; }

const wchar_t* const kRuntimePackagePath = VANTREL_RUNTIME_PATH;
const std::uint64_t kRuntimePackageSize = VANTREL_RUNTIME_SIZE;
const wchar_t* const kRuntimePackageSha256 = VANTREL_RUNTIME_SHA256;
const wchar_t* const kProductLabel = L"安装包";
const wchar_t* const kRuntimeLabel = L"微软系统运行库";

void DownloadProductFile(InstallerApp& app, const std::wstring& fileName,
                         const std::wstring& destination, std::uint64_t sizeLimit,
                         const std::wstring& expectedSha256) {
    // Plain concatenation: the manifest's file name has already been limited
    // to characters that need no encoding.
    DownloadFile(app, ProductServer(), L"/downloads/" + fileName, destination, sizeLimit,
                 expectedSha256, kProductLabel);
}

}  // namespace vantrel
