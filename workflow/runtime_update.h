// KB2999226 (the Universal C Runtime for Windows 7): fetched, checked by size,
// digest and Authenticode signature, installed through wusa.exe.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

class InstallerApp;

void FetchRuntimePackage(InstallerApp& app, const std::wstring& msuPath);

void UpdateRuntime(InstallerApp& app);

}  // namespace vantrel
