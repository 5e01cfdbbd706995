// DigiCert Global Root G2 in the machine's ROOT store, recognised only by its
// pinned SHA-256 fingerprint. The windowed side checks and asks; an elevated
// copy of the program started with "--certificate" adds it.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>

namespace vantrel {

class InstallerApp;

enum class RootCertificateState { Present = 0, Missing = 1, Unreadable = 2 };

bool MatchesPinnedFingerprint(const std::uint8_t* bytes, std::size_t length);

// A context the caller frees with CertFreeCertificateContext, or null.
PCCERT_CONTEXT LoadEmbeddedCertificate();

RootCertificateState QueryRootCertificate();

// UI thread. True to go on with the installation; false when the user
// declined; throws Failure otherwise.
bool EnsureRootCertificate(InstallerApp& app);

// The "--certificate" mode: exit code 0, 2, 3, 4 or 5. Never throws.
int RunCertificateHelper() noexcept;

}  // namespace vantrel
