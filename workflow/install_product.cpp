// Temporary: replaced by the installation sequence.
#include "workflow/install_product.h"
#include "support/failure.h"
namespace vantrel {
void InstallProduct(InstallerApp&, bool) { throw Failure{L"安装准备失败，请重试。"}; }
}  // namespace vantrel
