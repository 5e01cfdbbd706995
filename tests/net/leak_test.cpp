// Handle leaks of the "--verify" sequence: fifty InstallProduct runs without
// the launch, one after the other in this process, successes and every kind
// of failure mixed, must leave the process's handle count where it was after
// a short warm-up. Needs the staging server (VANTREL_TEST_PORT,
// VANTREL_TEST_DOCROOT); skipped without it.
//
// Wine's GetProcessHandleCount always reports 0, so the count comes from the
// system handle table (the process's own entries), which both Windows and
// Wine fill in.
#include <algorithm>

#include "workflow/install_product.h"
#include "tests/handle_table.h"
#include "tests/test_support.h"

using namespace vantrel;
using namespace test_support;

namespace {

constexpr int kWarmUpRuns = 8;  // every variant once
constexpr int kMeasuredRuns = 50;
// Room for what Wine's own libraries keep around (a pooled thread, a cached
// key); a leak of one handle per run is fifty.
constexpr long long kAllowedGrowth = 3;

struct Variant {
    const char* what;
    std::string file;
    std::string sha256;
    std::string size;
    // Empty: success; otherwise the beginnings of the messages that may end it.
    std::vector<std::wstring> expected;
};

// This process's entries in the system handle table; -1 if it can't be read.
long long OwnHandles() { return handle_table::SystemHandleEntries(GetCurrentProcessId()); }

class Leaks : public ServerTest {};

TEST_F(Leaks, HandleCountIsFlatOverFiftyVerifySequences) {
    // The measurement itself: one more handle shows, and goes again.
    const long long before = OwnHandles();
    ASSERT_GT(before, 0) << "the system handle table can't be read";
    const HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(OwnHandles(), before + 1);
    CloseHandle(probe);
    EXPECT_EQ(OwnHandles(), before);

    const std::string package = Generated(120000);
    const std::string digest = Narrow(Sha256Hex(package));
    const std::string size = std::to_string(package.size());
    std::string wrongDigest = digest;
    wrongDigest[0] = wrongDigest[0] == '0' ? '1' : '0';

    // The server's side: three copies of the package, two of them damaged in
    // transit by rules; the manifest changes per run.
    for (const wchar_t* name : {L"Leak-Setup.exe", L"Cut-Setup.exe", L"Reset-Setup.exe"}) {
        Publish(std::wstring(L"/downloads/") + name, package);
    }
    Publish(L"/_rules.json",
            "{\"/downloads/Cut-Setup.exe\": {\"cut_after\": 50000},"
            " \"/downloads/Reset-Setup.exe\": {\"reset_after\": 50000},"
            " \"/downloads/Status-Setup.exe\": {\"status\": 503}}");

    const std::vector<Variant> variants = {
        {"success", "Leak-Setup.exe", digest, size, {}},
        {"package missing", "Missing-Setup.exe", digest, size, {L"下载服务器返回 HTTP 404"}},
        {"server error", "Status-Setup.exe", digest, size, {L"下载服务器返回 HTTP 503"}},
        {"wrong digest", "Leak-Setup.exe", wrongDigest, size, {L"安装包 SHA-256 校验失败，已拒绝运行。"}},
        {"bad manifest", "Leak-Setup.exe", std::string(64, 'A'), size, {L"版本清单格式不正确。"}},
        {"size too small", "Leak-Setup.exe", digest, std::to_string(package.size() - 1),
         {L"文件大小超过清单限制，已停止下载。"}},
        {"body cut off", "Cut-Setup.exe", digest, size, {L"安装包下载不完整，请重试。"}},
        // The reset reaches the reader as an error, or as an early end when
        // it overtakes the last data.
        {"connection reset", "Reset-Setup.exe", digest, size,
         {L"下载中断，请重试", L"安装包下载不完整，请重试。"}},
    };

    long long baseline = -1;
    std::vector<long long> counts;
    for (int run = 0; run < kWarmUpRuns + kMeasuredRuns; ++run) {
        const Variant& variant = variants[static_cast<std::size_t>(run) % variants.size()];
        Publish(L"/downloads/release.ini", Section("windows", variant.file, variant.sha256, variant.size));
        {
            InstallerApp app;
            app.systemMode = SystemMode::Windows10;
            const auto failure = FailureOf([&] { VerifyProduct(app.Context(), app.systemMode); });
            ASSERT_EQ(failure.has_value(), !variant.expected.empty())
                << "run " << run << ": " << variant.what << ": " << Narrow(failure.value_or(L""));
            ASSERT_TRUE(!failure || std::any_of(variant.expected.begin(), variant.expected.end(),
                                                [&](const std::wstring& start) { return failure->rfind(start, 0) == 0; }))
                << "run " << run << ": " << variant.what << ": " << Narrow(*failure);
        }
        const long long now = OwnHandles();
        if (run == kWarmUpRuns - 1) baseline = now;
        if (run >= kWarmUpRuns) counts.push_back(now);
    }

    const long long highest = *std::max_element(counts.begin(), counts.end());
    std::printf("handles: %lld at the start, %lld after %d warm-up runs, %lld after %d more "
                "(highest %lld)\n",
                before, baseline, kWarmUpRuns, counts.back(), kMeasuredRuns, highest);
    EXPECT_LE(highest, baseline + kAllowedGrowth);
    // No creeping either: the second half ends no higher than the first half.
    const auto half = counts.begin() + static_cast<std::ptrdiff_t>(counts.size() / 2);
    EXPECT_LE(*std::max_element(half, counts.end()),
              *std::max_element(counts.begin(), half) + 1);
}

}  // namespace
