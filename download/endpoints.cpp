#include "download/endpoints.h"

#include "endpoint_config.h"

namespace vantrel {

ServerEndpoint ProductServer() { return {VANTREL_PRODUCT_HOST, VANTREL_PRODUCT_PORT}; }
ServerEndpoint RuntimeServer() { return {VANTREL_RUNTIME_HOST, VANTREL_RUNTIME_PORT}; }

const wchar_t* const kRuntimePackagePath = VANTREL_RUNTIME_PATH;
const std::uint64_t kRuntimePackageSize = VANTREL_RUNTIME_SIZE;
const wchar_t* const kRuntimePackageSha256 = VANTREL_RUNTIME_SHA256;

}  // namespace vantrel
