// Temporary: replaced by the certificate implementation.
#include "prereq/root_certificate.h"
namespace vantrel {
int RunCertificateHelper() noexcept { return 5; }
bool EnsureRootCertificate(InstallerApp&) { return false; }
}  // namespace vantrel
