#include "prereq/certificate_helper.h"

#include "support/exit_codes.h"
#include "support/system_api.h"

namespace vantrel {
namespace {

constexpr DWORD kDisallowedFlags = CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG;
constexpr DWORD kRootWriteFlags = CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG;
static_assert(kDisallowedFlags == 0x28000, "Disallowed flags");
static_assert(kRootWriteFlags == 0x24000, "ROOT write flags");

constexpr std::uint32_t kNotFound = static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND);
constexpr std::uint32_t kAlreadyExists = static_cast<std::uint32_t>(CRYPT_E_EXISTS);

}  // namespace

std::optional<int> CertificateHelperExitCode(const CertificateHelperFacts& facts) noexcept {
    if (!facts.initialState) return std::nullopt;
    // Unreadable is not a reason to stop: the writable open below decides.
    if (*facts.initialState == RootCertificateState::Present) return kExitSuccess;

    if (!facts.embeddedLoaded) return std::nullopt;
    if (!*facts.embeddedLoaded) return kExitCertificateNotEmbedded;

    // A certificate the machine's owner has distrusted is never re-trusted,
    // and when that can't be ruled out it isn't either.
    if (!facts.disallowedOpened) return std::nullopt;
    if (!*facts.disallowedOpened) return kExitCertificateDistrusted;
    if (!facts.disallowedSearch) return std::nullopt;
    if (facts.disallowedSearch->found || facts.disallowedSearch->lastError != kNotFound) return kExitCertificateDistrusted;

    if (!facts.rootOpenedForWriting) return std::nullopt;
    if (!*facts.rootOpenedForWriting) return kExitRootStoreNotWritable;

    if (!facts.embeddedReloaded) return std::nullopt;
    if (!*facts.embeddedReloaded) return kExitCertificateNotAdded;

    if (!facts.add) return std::nullopt;
    // Another process may have added it between our search and our add; the
    // fresh search below is what finally counts.
    const bool added = facts.add->withinValidity &&
                       (facts.add->succeeded || facts.add->lastError == kAlreadyExists);
    if (!added) return kExitCertificateNotAdded;

    if (!facts.finalState) return std::nullopt;
    return *facts.finalState == RootCertificateState::Present ? kExitSuccess : kExitCertificateNotAdded;
}

CertificateHelperFacts WithRemainingStepsFailed(CertificateHelperFacts facts) noexcept {
    if (!facts.initialState) facts.initialState = RootCertificateState::Unreadable;
    if (!facts.embeddedLoaded) facts.embeddedLoaded = false;
    if (!facts.disallowedOpened) facts.disallowedOpened = false;
    // Not a clean run off the end: distrust can't be ruled out.
    if (!facts.disallowedSearch) facts.disallowedSearch = CertificateHelperFacts::DisallowedSearch{false, 0};
    if (!facts.rootOpenedForWriting) facts.rootOpenedForWriting = false;
    if (!facts.embeddedReloaded) facts.embeddedReloaded = false;
    if (!facts.add) facts.add = CertificateHelperFacts::AddAttempt{};
    if (!facts.finalState) facts.finalState = RootCertificateState::Unreadable;
    return facts;
}

namespace {

// The steps in order, each recording what it saw before the next one runs.
int RunCertificateSteps(CertificateHelperFacts& facts) {
    facts.initialState = QueryRootCertificate();
    if (const auto code = CertificateHelperExitCode(facts)) return *code;

    {
        CertificateContext embedded(LoadEmbeddedCertificate());
        facts.embeddedLoaded = embedded.Valid();
        if (const auto code = CertificateHelperExitCode(facts)) return *code;

        const CertificateStore disallowed(OpenLocalMachineStore(L"Disallowed", kDisallowedFlags));
        facts.disallowedOpened = disallowed.Valid();
        if (const auto code = CertificateHelperExitCode(facts)) return *code;

        const PCCERT_CONTEXT match = Crypt32().CertFindCertificateInStore(
            disallowed.Get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, embedded.Get(), nullptr);
        const DWORD searchError = GetLastError();
        const CertificateContext found(match);
        embedded.Reset();
        facts.disallowedSearch = CertificateHelperFacts::DisallowedSearch{match != nullptr, searchError};
        // `found` is freed, then the Disallowed store closed, on either way out.
        if (const auto code = CertificateHelperExitCode(facts)) return *code;
    }

    {
        const CertificateStore root(OpenLocalMachineStore(L"ROOT", kRootWriteFlags));
        facts.rootOpenedForWriting = root.Valid();
        if (const auto code = CertificateHelperExitCode(facts)) return *code;

        const CertificateContext embedded(LoadEmbeddedCertificate());
        facts.embeddedReloaded = embedded.Valid();
        if (const auto code = CertificateHelperExitCode(facts)) return *code;

        CertificateHelperFacts::AddAttempt add;
        add.withinValidity = IsWithinValidity(embedded.Get(), nullptr);
        if (add.withinValidity) {
            add.succeeded = Crypt32().CertAddCertificateContextToStore(root.Get(), embedded.Get(),
                                                             CERT_STORE_ADD_NEW, nullptr) != FALSE;
            // A successful call may leave a stale value behind: read it only
            // on failure.
            if (!add.succeeded) add.lastError = GetLastError();
        }
        facts.add = add;
        // The context is freed and the store closed before the fresh search,
        // so the search sees what was committed.
        if (const auto code = CertificateHelperExitCode(facts)) return *code;
    }

    facts.finalState = QueryRootCertificate();
    return CertificateHelperExitCode(facts).value_or(kExitCertificateNotAdded);
}

}  // namespace

int RunCertificateHelper() noexcept {
    CertificateHelperFacts facts;
    try {
        return RunCertificateSteps(facts);
    } catch (...) {
        // A step that could not be carried out at all (crypt32 or one of its
        // functions can't be had, no memory) ends the run with that step's
        // own failure code; the owners have released what was open.
        return CertificateHelperExitCode(WithRemainingStepsFailed(facts)).value_or(kExitCertificateNotAdded);
    }
}

}  // namespace vantrel
