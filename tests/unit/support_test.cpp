// The small support pieces: number text, system-call failures, handle
// owners, and what every noexcept entry point does without its system DLL.
#include "app/worker.h"
#include "download/sha256.h"
#include "prereq/certificate_helper.h"
#include "prereq/certificate_prompt.h"
#include "prereq/root_certificate.h"
#include "support/exit_codes.h"
#include "support/scoped_handle.h"
#include "support/system_api.h"
#include "support/text_format.h"
#include "workflow/runtime_update.h"
#include "tests/test_support.h"

#include <wintrust.h>

using namespace vantrel;
using test_support::FailureOf;

TEST(Decimal, WritesUnsignedDecimalWithoutSignOrPaddingAndReadsOnlyPlainDigitsThatFit) {
    EXPECT_EQ(ToDecimal(0), L"0");
    EXPECT_EQ(ToDecimal(7), L"7");
    EXPECT_EQ(ToDecimal(0xC0000005u), L"3221225477");
    EXPECT_EQ(ToDecimal(4294967296ull), L"4294967296");  // byte counts go past 32 bits
    EXPECT_EQ(ToDecimal(18446744073709551615ull), L"18446744073709551615");

    const struct { const wchar_t* text; bool parsed; std::uint64_t value; } reads[] = {
        {L"0", true, 0}, {L"007", true, 7}, {L"4294967296", true, 4294967296ull},
        {L"18446744073709551615", true, 18446744073709551615ull},
        {L"18446744073709551616", false, 0}, {L"99999999999999999999", false, 0},
        {L"", false, 0}, {L"-1", false, 0}, {L"+1", false, 0}, {L" 1", false, 0}, {L"1 ", false, 0},
        {L"0x10", false, 0}, {L"1,000", false, 0}, {L"\xFF11", false, 0},  // a full-width digit
    };
    for (const auto& row : reads) {
        std::uint64_t value = 12345;
        EXPECT_EQ(ParseDecimal(row.text, value), row.parsed) << row.text;
        EXPECT_EQ(value, row.parsed ? row.value : 12345u) << row.text;
    }
}

TEST(CheckSystemCall, SuccessKeepsLastErrorAndFailureCarriesItAsFullWidthSuffix) {
    SetLastError(1234);
    CheckSystemCall(true, L"x");
    EXPECT_EQ(GetLastError(), 1234u);
    const struct { DWORD code; const wchar_t* expected; } cases[] = {
        {183, L"无法创建临时目录（错误码 183）"},
        {0, L"无法创建临时目录（错误码 0）"},
        {0x80092004u, L"无法创建临时目录（错误码 2148081668）"},
    };
    for (const auto& c : cases) {
        SetLastError(c.code);
        EXPECT_EQ(FailureOf([] { CheckSystemCall(false, L"无法创建临时目录"); }), std::wstring(c.expected));
    }
}

// A handle kind that records its closes, so the owner's moves and resets can
// be watched: every value is closed exactly once, and never a moved-from one.
struct CountingTraits {
    using Type = int;
    static std::vector<int>* closed;
    static Type Invalid() noexcept { return 0; }
    static void Close(Type value) noexcept { closed->push_back(value); }
};
std::vector<int>* CountingTraits::closed = nullptr;

TEST(ScopedHandle, MovesAndResetsCloseEachValueOnce) {
    std::vector<int> closed;
    CountingTraits::closed = &closed;
    {
        ScopedHandle<CountingTraits> a(1);
        ScopedHandle<CountingTraits> b(std::move(a));
        EXPECT_FALSE(a.Valid());
        EXPECT_EQ(b.Get(), 1);
        ScopedHandle<CountingTraits> c(2);
        c = std::move(b);  // 2 is closed, 1 moves on
        EXPECT_EQ(closed, std::vector<int>({2}));
        c.Reset(3);        // 1 is closed
        EXPECT_EQ(c.Release(), 3);
        c.Reset();         // nothing to close
        ScopedHandle<CountingTraits> d(4);
        d = std::move(d);  // self-move keeps the value
        EXPECT_EQ(d.Get(), 4);
    }
    EXPECT_EQ(closed, std::vector<int>({2, 1, 4}));
    CountingTraits::closed = nullptr;
}

// Every noexcept function that reaches a lazily loaded system table, run with
// that table's DLL unavailable: each gives its own answer. One that lets the
// loader's Failure escape ends this program in std::terminate, failing the
// whole run. The rows run whole flows (the helper, a worker run), so a
// noexcept added anywhere on their way is exercised too; a new noexcept entry
// point that reaches a table gets a row of its own.
class UnavailableLibrary {
public:
    explicit UnavailableLibrary(const char* dllName) { SimulateUnavailableLibrary(dllName); }
    ~UnavailableLibrary() { SimulateUnavailableLibrary(nullptr); }
    UnavailableLibrary(const UnavailableLibrary&) = delete;
    UnavailableLibrary& operator=(const UnavailableLibrary&) = delete;
};

// The status line a worker run ends with, and the result it posts.
std::wstring WorkerOutcome() {
    InstallerApp app;
    app.systemMode = SystemMode::Windows10;
    RunWorker(app);  // no window: the end message goes to this thread's queue
    MSG ended{};
    const bool posted = PeekMessageW(&ended, reinterpret_cast<HWND>(-1), kRunEndedMessage, kRunEndedMessage,
                                     PM_REMOVE) != FALSE;
    return (posted ? L"ended " + ToDecimal(ended.wParam) : std::wstring(L"no end message")) + L": " +
           app.StatusText();
}

TEST(UnavailableSystemLibrary, NoexceptFunctionsGiveTheirOwnAnswer) {
    // Opened while the DLLs are there; their owners are released with the DLL
    // gone, which must neither load nor throw: a Close that went through the
    // loading accessor would end this program in those rows.
    std::optional<CertificateStore> store(OpenLocalMachineStore(L"ROOT", 0x2C000));
    std::optional<CertificateContext> certificate(LoadEmbeddedCertificate());
    std::optional<Sha256Context> hash(std::in_place);
    ASSERT_TRUE(store->Valid() && certificate->Valid());

    const std::wstring stillGone = L"still gone";
    const struct {
        const char* dll;
        const char* name;
        std::function<std::wstring()> run;
        std::wstring expected;
    } cases[] = {
        // What the others rely on: the table fails as a missing DLL does.
        {"crypt32.dll", "the table itself", [] { return FailureOf([] { Crypt32(); }).value_or(L"none"); },
         L"无法加载系统组件 crypt32.dll（错误码 126）"},
        {"crypt32.dll", "--certificate: the embedded pin can't be checked",
         [] { return ToDecimal(static_cast<std::uint32_t>(RunCertificateHelper())); },
         ToDecimal(kExitCertificateNotEmbedded)},
        {"crypt32.dll", "a store can't be opened",
         [] { return std::wstring(OpenLocalMachineStore(L"Disallowed", 0x28000) == nullptr ? L"null" : L"open"); },
         L"null"},
        {"crypt32.dll", "the window's check: an unreadable store",
         [] { return FailureOf([] { EnsureRootCertificate(nullptr, SystemMode::Windows7); }).value_or(L"none"); },
         L"无法读取系统根证书库，请检查系统权限。"},
        {"crypt32.dll", "owners opened before are released",
         [&] { store.reset(); certificate.reset(); return stillGone; }, stillGone},
        {"bcrypt.dll", "owners opened before are released", [&] { hash.reset(); return stillGone; }, stillGone},
        {"wintrust.dll", "no signature can be trusted",
         [] { return ToDecimal(static_cast<std::uint32_t>(VerifyAuthenticodeSignature(L"C:\\windows\\notepad.exe", nullptr))); },
         ToDecimal(static_cast<std::uint32_t>(TRUST_E_PROVIDER_UNKNOWN))},
        // A run fails at its first step that needs the DLL, as any step does.
        {"bcrypt.dll", "worker run: no workspace", WorkerOutcome, L"ended 0: 无法加载系统组件 bcrypt.dll（错误码 126）"},
        {"winhttp.dll", "worker run: no download", WorkerOutcome, L"ended 0: 无法加载系统组件 winhttp.dll（错误码 126）"},
    };
    for (const auto& c : cases) {
        const UnavailableLibrary gone(c.dll);
        EXPECT_EQ(c.run(), c.expected) << c.dll << ": " << c.name;
    }
    EXPECT_NO_THROW(Crypt32()) << "the tables are back once the simulation ends";
}
