#include "prereq/root_certificate.h"

#include "res/resource_ids.h"
#include "support/system_api.h"

namespace vantrel {

// cb3ccbb76031e5e0138f8dd39a23f9de47ffc35e43c1144cea27d46a5ab1cb5f
const std::array<std::uint8_t, 32> kPinnedFingerprint = {
    0xcb, 0x3c, 0xcb, 0xb7, 0x60, 0x31, 0xe5, 0xe0, 0x13, 0x8f, 0x8d, 0xd3, 0x9a, 0x23, 0xf9, 0xde,
    0x47, 0xff, 0xc3, 0x5e, 0x43, 0xc1, 0x14, 0x4c, 0xea, 0x27, 0xd4, 0x6a, 0x5a, 0xb1, 0xcb, 0x5f,
};

namespace {

// Local machine system stores only: the root has to be trusted machine-wide,
// so a copy that only the current user trusts doesn't count.
constexpr DWORD kRootSearchFlags =
    CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG;
static_assert(kRootSearchFlags == 0x2C000, "ROOT search flags");

constexpr std::uint32_t kNotFound = static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND);

}  // namespace

HCERTSTORE OpenLocalMachineStore(const wchar_t* name, DWORD flags) noexcept {
    // Without crypt32 no store can be opened, which every caller already
    // handles: the window's check reads it as unreadable, the helper as the
    // failure of the step that needed the store.
    try {
        return Crypt32().CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, name);
    } catch (...) {
        return nullptr;
    }
}

bool MatchesPinnedFingerprint(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr || length == 0 || length > MAXDWORD) return false;
    std::array<std::uint8_t, 32> digest{};
    DWORD digestLength = static_cast<DWORD>(digest.size());
    if (!Crypt32().CryptHashCertificate2(L"SHA256", 0, nullptr, bytes, static_cast<DWORD>(length),
                               digest.data(), &digestLength)) {
        return false;
    }
    return digestLength == digest.size() && digest == kPinnedFingerprint;
}

PCCERT_CONTEXT LoadEmbeddedCertificate() {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC resource =
        FindResourceW(module, MAKEINTRESOURCEW(VANTREL_CERTIFICATE_RESOURCE), RT_RCDATA);
    if (resource == nullptr) return nullptr;
    const HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD length = SizeofResource(module, resource);
    if (bytes == nullptr) return nullptr;
    // A changed resource is never used, even if it decodes: the pin is the
    // only thing that makes this certificate trustworthy.
    if (!MatchesPinnedFingerprint(static_cast<const std::uint8_t*>(bytes), length)) return nullptr;
    return Crypt32().CertCreateCertificateContext(X509_ASN_ENCODING, static_cast<const BYTE*>(bytes), length);
}

RootCertificateState EnumerationEndState(std::uint32_t lastError) {
    return lastError == kNotFound ? RootCertificateState::Missing
                                  : RootCertificateState::Unreadable;
}

RootCertificateState QueryRootCertificate() {
    const CertificateStore store(OpenLocalMachineStore(L"ROOT", kRootSearchFlags));
    if (!store) return RootCertificateState::Unreadable;
    // Declared after the store so it is freed before the store is closed. The
    // enumeration frees the context it is handed, so ownership moves in and
    // out of `current` on each turn.
    CertificateContext current;
    for (;;) {
        const PCCERT_CONTEXT next = Crypt32().CertEnumCertificatesInStore(store.Get(), current.Release());
        if (next == nullptr) return EnumerationEndState(GetLastError());
        current.Reset(next);
        // By digest only: a certificate with the same name but other bytes
        // is not the pinned root.
        if (next->pbCertEncoded == nullptr || next->cbCertEncoded == 0) continue;
        if (MatchesPinnedFingerprint(next->pbCertEncoded, next->cbCertEncoded)) {
            return RootCertificateState::Present;
        }
    }
}

bool IsWithinValidity(PCCERT_CONTEXT certificate, const FILETIME* when) {
    FILETIME time{};
    if (when != nullptr) time = *when;
    return Crypt32().CertVerifyTimeValidity(when != nullptr ? &time : nullptr, certificate->pCertInfo) == 0;
}

}  // namespace vantrel
