// The "--certificate" mode: run by an elevated copy of the program, it adds
// the embedded root to the machine's ROOT store unless the machine distrusts
// it, and reports through its exit code (support/exit_codes.h).
#pragma once

#include <cstdint>
#include <optional>

#include "prereq/root_certificate.h"

namespace vantrel {

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
std::optional<int> CertificateHelperExitCode(const CertificateHelperFacts& facts) noexcept;

// The facts of a run that stopped because a step threw: that step and every
// later one count as failed, so the exit code is the one the first of them
// gives when it fails (crypt32 missing: the embedded certificate's pin can't
// be checked, 2).
CertificateHelperFacts WithRemainingStepsFailed(CertificateHelperFacts facts) noexcept;

// The whole mode: kExitSuccess or one of the helper's failure codes. Never
// throws.
int RunCertificateHelper() noexcept;

}  // namespace vantrel
