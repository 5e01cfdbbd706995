// The platform gate, the embedded root certificate and the certificate
// helper's decisions.
#include "prereq/certificate_helper.h"
#include "prereq/certificate_prompt.h"
#include "prereq/platform_gate.h"
#include "prereq/root_certificate.h"
#include "support/exit_codes.h"
#include "support/workspace.h"
#include "tests/test_support.h"

using namespace vantrel;
using namespace test_support;

namespace {

const std::wstring kGeneric = L"仅支持 Windows 7 SP1 x64、Windows 10/11 x64。";
const std::wstring kTooOld = L"完整版需要 Windows 10 1809 或更新版本，请先更新系统。";

}  // namespace

TEST(DecidePlatform, ClassifiesEverySystemInTheTable) {
    // major, minor, build, service pack, product type, architecture
    const struct { VersionFacts facts; std::int32_t mode; const std::wstring* refusal; const char* name; } cases[] = {
        {{6, 1, 7601, 1, 1, 9}, 1, nullptr, "Windows 7 SP1 x64"},
        {{6, 1, 7601, 2, 1, 9}, 1, nullptr, "Windows 7 with a later service pack"},
        {{6, 1, 7600, 0, 1, 9}, 0, &kGeneric, "Windows 7 without service pack"},
        {{6, 1, 7601, 1, 1, 0}, 0, &kGeneric, "Windows 7 SP1 32-bit"},
        {{6, 1, 7601, 1, 3, 9}, 0, &kGeneric, "Server 2008 R2 SP1"},
        {{6, 1, 7601, 1, 2, 9}, 0, &kGeneric, "domain controller"},
        {{6, 0, 6002, 2, 1, 9}, 0, &kGeneric, "Vista SP2"},
        {{6, 2, 9200, 0, 1, 9}, 0, &kGeneric, "Windows 8"},
        {{6, 3, 9600, 0, 1, 9}, 0, &kGeneric, "Windows 8.1"},
        {{10, 0, 17134, 0, 1, 9}, 0, &kTooOld, "Windows 10 1803"},
        {{10, 0, 17762, 0, 1, 9}, 0, &kTooOld, "one build short"},
        {{10, 0, 17763, 0, 1, 9}, 2, nullptr, "Windows 10 1809"},
        {{10, 0, 22000, 0, 1, 9}, 2, nullptr, "Windows 11"},
        {{10, 0, 0xFFFFFFFFu, 0, 1, 9}, 2, nullptr, "largest build (unsigned)"},
        {{10, 1, 22000, 0, 1, 9}, 0, &kGeneric, "10.1"},
        {{10, 0, 17134, 0, 1, 0}, 0, &kGeneric, "1803 on 32-bit: architecture first"},
        {{10, 0, 17134, 0, 1, 12}, 0, &kGeneric, "1803 on ARM64: architecture first"},
        {{10, 0, 17134, 0, 3, 9}, 0, &kGeneric, "1803 server: product type first"},
        {{10, 0, 17763, 0, 3, 9}, 0, &kGeneric, "Server 2019"},
        {{10, 0, 20348, 0, 2, 9}, 0, &kGeneric, "Server 2022 domain controller"},
        {{5, 2, 3790, 2, 1, 9}, 0, &kGeneric, "XP x64 (5.2)"},
        {{11, 0, 30000, 0, 1, 9}, 0, &kGeneric, "major 11"},
    };
    for (const auto& c : cases) {
        const PlatformDecision decision = DecidePlatform(c.facts);
        EXPECT_EQ(static_cast<std::int32_t>(decision.systemMode), c.mode) << c.name;
        EXPECT_EQ(decision.refusal, c.refusal != nullptr ? *c.refusal : std::wstring()) << c.name;
    }
}

// Driven by the end-to-end suite, which prepares a prefix and states what the
// gate must find there; skipped in a plain unit run.
TEST(PlatformOnThisMachine, MatchesThePreparedPrefix) {
    const std::wstring mode = Env(L"VANTREL_EXPECT_SYSTEM_MODE");
    if (mode.empty()) GTEST_SKIP() << "no prepared prefix";
    const PlatformClass platform = ClassifyPlatform();
    EXPECT_EQ(static_cast<int>(platform.mode), std::stoi(mode));
    EXPECT_EQ(platform.needsRuntime, Env(L"VANTREL_EXPECT_NEEDS_RUNTIME") == L"1");
    const std::wstring build = Env(L"VANTREL_EXPECT_BUILD");
    if (!build.empty()) {
        EXPECT_EQ(ReadPlatformFacts().buildNumber, std::stoul(build));
    }
}

// Driven by the certificate end-to-end tests: 0 present, 1 missing, 2 unreadable.
TEST(RootCertificateOnThisMachine, MatchesThePreparedPrefix) {
    const std::wstring state = Env(L"VANTREL_EXPECT_ROOT_STATE");
    if (state.empty()) GTEST_SKIP() << "no prepared prefix";
    EXPECT_EQ(static_cast<int>(QueryRootCertificate()), std::stoi(state));
}

TEST(EmbeddedCertificate, PinAcceptsOnlyTheExactBytes) {
    // The file the resource is built from.
    const std::string file = ReadAll(VANTREL_TEST_SOURCE_DIR L"\\res\\digicert_global_root_g2.der");
    std::vector<std::uint8_t> der(file.begin(), file.end());
    ASSERT_EQ(der.size(), 914u);
    EXPECT_TRUE(MatchesPinnedFingerprint(der.data(), der.size()));
    EXPECT_FALSE(MatchesPinnedFingerprint(der.data(), der.size() - 1));
    EXPECT_FALSE(MatchesPinnedFingerprint(der.data(), 0));
    EXPECT_FALSE(MatchesPinnedFingerprint(nullptr, 914));
    for (std::size_t index : {std::size_t{0}, std::size_t{457}, der.size() - 1}) {
        der[index] ^= 0x01;
        EXPECT_FALSE(MatchesPinnedFingerprint(der.data(), der.size())) << index;
        der[index] ^= 0x01;
    }

    const CertificateContext embedded(LoadEmbeddedCertificate());
    ASSERT_TRUE(embedded.Valid());
    const BYTE* encoded = embedded.Get()->pbCertEncoded;
    EXPECT_EQ(std::vector<std::uint8_t>(encoded, encoded + embedded.Get()->cbCertEncoded), der);
}

TEST(EmbeddedCertificate, ValidityPeriodBoundsAreInclusive) {
    const CertificateContext embedded(LoadEmbeddedCertificate());
    ASSERT_TRUE(embedded.Valid());
    // UTC: year, month, day of the week, day, hour, minute, second, ms.
    const struct { SYSTEMTIME when; bool valid; } cases[] = {
        {{2013, 8, 0, 1, 11, 59, 59, 0}, false},
        {{2013, 8, 0, 1, 12, 0, 0, 0}, true},
        {{2038, 1, 0, 15, 12, 0, 0, 0}, true},
        {{2038, 1, 0, 15, 12, 0, 1, 0}, false},
        {{2040, 1, 0, 1, 0, 0, 0, 0}, false},
    };
    for (const auto& c : cases) {
        FILETIME when{};
        ASSERT_TRUE(SystemTimeToFileTime(&c.when, &when));
        EXPECT_EQ(IsWithinValidity(embedded.Get(), &when), c.valid) << c.when.wYear;
    }
    EXPECT_TRUE(IsWithinValidity(embedded.Get(), nullptr));  // now
}

TEST(RootCertificateSearch, OnlyRunningOffTheEndMeansMissing) {
    EXPECT_EQ(EnumerationEndState(0x80092004u), RootCertificateState::Missing);
    for (std::uint32_t error : {0u, 5u, 0x80092005u, 0x80070005u}) {
        EXPECT_EQ(EnumerationEndState(error), RootCertificateState::Unreadable) << error;
    }
}

TEST(CertificateHelperExitCode, StopsAtTheFirstFailingStepWithItsCode) {
    using Facts = CertificateHelperFacts;
    using State = RootCertificateState;
    const std::uint32_t notFound = 0x80092004u, exists = 0x80092005u;
    Facts clean;  // every step passes: present again after the add
    clean.initialState = State::Missing;
    clean.embeddedLoaded = true;
    clean.disallowedOpened = true;
    clean.disallowedSearch = Facts::DisallowedSearch{false, notFound};
    clean.rootOpenedForWriting = true;
    clean.embeddedReloaded = true;
    clean.add = Facts::AddAttempt{true, true, 0};
    clean.finalState = State::Present;

    const auto with = [&](auto change) { Facts f = clean; change(f); return f; };
    // A run that threw in the step after the first `steps` ones.
    const auto threwAfter = [&](int steps) {
        Facts f = clean;
        if (steps < 8) f.finalState.reset();
        if (steps < 7) f.add.reset();
        if (steps < 6) f.embeddedReloaded.reset();
        if (steps < 5) f.rootOpenedForWriting.reset();
        if (steps < 4) f.disallowedSearch.reset();
        if (steps < 3) f.disallowedOpened.reset();
        if (steps < 2) f.embeddedLoaded.reset();
        if (steps < 1) f.initialState.reset();
        return WithRemainingStepsFailed(f);
    };
    const struct { Facts facts; std::optional<int> code; const char* name; } cases[] = {
        {clean, kExitSuccess, "added and found again"},
        {with([](Facts& f) { f.initialState = State::Present; f.embeddedLoaded = false; }), kExitSuccess, "present at once"},
        {with([](Facts& f) { f.initialState = State::Unreadable; }), kExitSuccess, "unreadable search goes on"},
        {with([](Facts& f) { f.embeddedLoaded = false; }), kExitCertificateNotEmbedded, "embedded certificate refused"},
        {with([](Facts& f) { f.disallowedOpened = false; }), kExitCertificateDistrusted, "Disallowed can't be opened"},
        {with([&](Facts& f) { f.disallowedSearch = Facts::DisallowedSearch{true, notFound}; }), kExitCertificateDistrusted, "distrusted"},
        {with([](Facts& f) { f.disallowedSearch = Facts::DisallowedSearch{false, 5}; }), kExitCertificateDistrusted, "Disallowed search error"},
        {with([](Facts& f) { f.rootOpenedForWriting = false; }), kExitRootStoreNotWritable, "ROOT not writable"},
        {with([](Facts& f) { f.embeddedReloaded = false; }), kExitCertificateNotAdded, "second load failed"},
        {with([](Facts& f) { f.add = Facts::AddAttempt{false, false, 0}; }), kExitCertificateNotAdded, "outside validity"},
        {with([&](Facts& f) { f.add = Facts::AddAttempt{false, true, exists}; }), kExitCertificateNotAdded, "outside validity, stray facts"},
        {with([](Facts& f) { f.add = Facts::AddAttempt{true, false, 5}; }), kExitCertificateNotAdded, "add failed"},
        {with([&](Facts& f) { f.add = Facts::AddAttempt{true, false, exists}; }), kExitSuccess, "raced: already there"},
        {with([](Facts& f) { f.finalState = State::Missing; }), kExitCertificateNotAdded, "not found after the add"},
        {with([](Facts& f) { f.finalState = State::Unreadable; }), kExitCertificateNotAdded, "unreadable after the add"},
        // A step that threw fails, and so does every later one.
        {threwAfter(0), kExitCertificateNotEmbedded, "threw in the first search"},
        {threwAfter(1), kExitCertificateNotEmbedded, "threw checking the pin"},
        {threwAfter(2), kExitCertificateDistrusted, "threw opening Disallowed"},
        {threwAfter(3), kExitCertificateDistrusted, "threw searching Disallowed"},
        {threwAfter(4), kExitRootStoreNotWritable, "threw opening ROOT"},
        {threwAfter(5), kExitCertificateNotAdded, "threw loading again"},
        {threwAfter(6), kExitCertificateNotAdded, "threw adding"},
        {threwAfter(7), kExitCertificateNotAdded, "threw in the fresh search"},
        {WithRemainingStepsFailed(clean), kExitSuccess, "threw after the last step"},
        // Nothing decided yet: the helper must run the next step.
        {Facts{}, std::nullopt, "nothing seen"},
        {with([](Facts& f) { f.initialState = State::Unreadable; f.embeddedLoaded.reset(); }), std::nullopt, "after the search"},
        {with([](Facts& f) { f.disallowedSearch.reset(); }), std::nullopt, "Disallowed opened"},
        {with([](Facts& f) { f.add.reset(); }), std::nullopt, "before the add"},
        {with([](Facts& f) { f.finalState.reset(); }), std::nullopt, "before the fresh search"},
    };
    for (const auto& c : cases) EXPECT_EQ(CertificateHelperExitCode(c.facts), c.code) << c.name;
}

// The elevated helper starts from a copy in a private folder of its own, not
// from the folder the installer was started from, and that folder is gone
// once the helper has ended, whatever its outcome. The sample installer
// stands in for the program: it records where it runs from and with what.
TEST(CertificateHelperCleanRoom, TheCopyRunsFromAPrivateFolderThatIsGoneAfterwards) {
    const std::wstring sample = ExeDirectory() + L"\\sample_installer.exe";
    ASSERT_TRUE(Exists(sample)) << "sample_installer.exe not found beside the test program";
    const TempFile notAProgram("not a program");  // its start is refused, like a declined prompt
    const std::wstring record = OwnTempFile(L"vantrel-helper-record");
    SetEnvironmentVariableW(L"VANTREL_SAMPLE_RECORD", record.c_str());
    const struct { const char* name; std::wstring program; const wchar_t* exitText; std::optional<std::uint32_t> exitCode; } rows[] = {
        {"the helper succeeds", sample, L"0", 0u},
        {"the helper fails", sample, L"5", 5u},
        {"the start is refused", notAProgram.path, L"0", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeleteFileW(record.c_str());
        SetEnvironmentVariableW(L"VANTREL_SAMPLE_EXIT", row.exitText);
        const std::vector<std::wstring> before = Workspaces();
        std::optional<std::uint32_t> exitCode;
        const auto failure = FailureOf([&] { exitCode = RunHelperFromCleanRoom(nullptr, row.program); });
        EXPECT_EQ(exitCode, row.exitCode);
        EXPECT_EQ(Workspaces(), before) << "the copy's folder is still there";
        if (!row.exitCode) {
            EXPECT_TRUE(HasErrorCodeSuffix(failure.value_or(L""), L"证书安装未获授权或助手启动失败"));
            EXPECT_FALSE(Exists(record));
            continue;
        }
        EXPECT_EQ(failure, std::nullopt);
        EXPECT_EQ(RecordValue(record, "args"), std::wstring(L"--certificate"));
        const std::wstring image = RecordValue(record, "image").value_or(L"");
        const std::wstring prefix = TempPath() + L"VantrelSetup-";
        EXPECT_EQ(image.substr(0, prefix.size()), prefix) << Narrow(image);
        EXPECT_EQ(image.size(), prefix.size() + 32 + std::wstring(kHelperFileName).size()) << Narrow(image);
        EXPECT_EQ(image.substr(image.size() - std::wstring(kHelperFileName).size()), kHelperFileName);
        EXPECT_FALSE(Exists(image));
    }
    for (const wchar_t* name : {L"VANTREL_SAMPLE_RECORD", L"VANTREL_SAMPLE_EXIT"}) SetEnvironmentVariableW(name, nullptr);
    DeleteFileW(record.c_str());
}
