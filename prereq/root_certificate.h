// DigiCert Global Root G2 in the machine's stores, recognised only by its
// pinned SHA-256 fingerprint: the certificate embedded in the program, and
// the queries both the window's check and the "--certificate" helper use.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "support/scoped_handle.h"
#include "support/system_api.h"

namespace vantrel {

enum class RootCertificateState { Present = 0, Missing = 1, Unreadable = 2 };

// SHA-256 of the DER encoding of DigiCert Global Root G2.
extern const std::array<std::uint8_t, 32> kPinnedFingerprint;

struct CertificateStoreTraits {
    using Type = HCERTSTORE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type store) noexcept {
        if (const Crypt32Api* api = LoadedCrypt32()) api->CertCloseStore(store, 0);
    }
};
using CertificateStore = ScopedHandle<CertificateStoreTraits>;

struct CertificateContextTraits {
    using Type = PCCERT_CONTEXT;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type context) noexcept {
        if (const Crypt32Api* api = LoadedCrypt32()) api->CertFreeCertificateContext(context);
    }
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

// A local machine system store ("ROOT", "Disallowed") with these flags, or
// null, also when crypt32 can't be had.
HCERTSTORE OpenLocalMachineStore(const wchar_t* name, DWORD flags) noexcept;

}  // namespace vantrel
