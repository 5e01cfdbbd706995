// Temporary: replaced by the runtime update.
#include "workflow/runtime_update.h"
#include "support/failure.h"
namespace vantrel {
void FetchRuntimePackage(InstallerApp&, const std::wstring&) { throw Failure{L"安装准备失败，请重试。"}; }
void UpdateRuntime(InstallerApp&) { throw Failure{L"安装准备失败，请重试。"}; }
}  // namespace vantrel
