// DigiCert Global Root G2 in the machine's ROOT store, recognised only by its
// pinned SHA-256 fingerprint. The windowed side checks and asks; an elevated
// copy of the program started with "--certificate" adds it.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "support/system_api.h"
#include "support/scoped_handle.h"

namespace vantrel {

class InstallerApp;

enum class RootCertificateState { Present = 0, Missing = 1, Unreadable = 2 };

// SHA-256 of the DER encoding of DigiCert Global Root G2.
extern const std::array<std::uint8_t, 32> kPinnedFingerprint;

struct CertificateStoreTraits {
    using Type = HCERTSTORE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type store) noexcept { Crypt32().CertCloseStore(store, 0); }
};
using CertificateStore = ScopedHandle<CertificateStoreTraits>;

struct CertificateContextTraits {
    using Type = PCCERT_CONTEXT;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type context) noexcept { Crypt32().CertFreeCertificateContext(context); }
};
using CertificateContext = ScopedHandle<CertificateContextTraits>;

bool MatchesPinnedFingerprint(const std::uint8_t* bytes, std::size_t length);

// A context the caller frees with CertFreeCertificateContext, or null.
PCCERT_CONTEXT LoadEmbeddedCertificate();

RootCertificateState QueryRootCertificate();

// How a finished ROOT enumeration is read: running off the end is the only
// clean "not there".
RootCertificateState EnumerationEndState(std::uint32_t lastError);

// CertVerifyTimeValidity at `when`, or now when `when` is null.
bool IsWithinValidity(PCCERT_CONTEXT certificate, const FILETIME* when);

// What the "--certificate" helper has seen so far, one entry per step in the
// order the steps run. An empty entry is a step that has not run yet.
struct CertificateHelperFacts {
    struct DisallowedSearch {
        bool found = false;
        std::uint32_t lastError = 0;  // taken right after the search
    };
    struct AddAttempt {
        bool withinValidity = false;  // no add is tried outside the validity period
        bool succeeded = false;
        std::uint32_t lastError = 0;  // read only when the add failed
    };
    std::optional<RootCertificateState> initialState;
    std::optional<bool> embeddedLoaded;
    std::optional<bool> disallowedOpened;
    std::optional<DisallowedSearch> disallowedSearch;
    std::optional<bool> rootOpenedForWriting;
    std::optional<bool> embeddedReloaded;
    std::optional<AddAttempt> add;
    std::optional<RootCertificateState> finalState;
};

// The helper's exit code once the facts decide it, or nothing while the next
// step still has to run. Pure, so every branch can be checked without stores.
std::optional<int> CertificateHelperExitCode(const CertificateHelperFacts& facts);

// UI thread. True to go on with the installation; false when the user
// declined; throws Failure otherwise.
bool EnsureRootCertificate(InstallerApp& app);

// The "--certificate" mode: exit code 0, 2, 3, 4 or 5. Never throws.
int RunCertificateHelper() noexcept;

}  // namespace vantrel
