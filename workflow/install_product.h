// One complete product installation: manifest, package download and
// verification, and (when asked) the product installer's launch and wait.
#pragma once

namespace vantrel {

class InstallerApp;

// Returns normally on success; throws Failure otherwise. The workspace is gone
// when it returns or throws.
void InstallProduct(InstallerApp& app, bool launchInstaller);

}  // namespace vantrel
