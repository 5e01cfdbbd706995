#include <windows.h>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/failure.h"
#include "support/scoped_handle.h"
#include "support/text_format.h"

using namespace vantrel;

TEST(ToDecimal, WritesUnsignedDecimalWithoutSignOrPadding) {
    EXPECT_EQ(ToDecimal(0), L"0");
    EXPECT_EQ(ToDecimal(7), L"7");
    EXPECT_EQ(ToDecimal(1223), L"1223");
    EXPECT_EQ(ToDecimal(0x80092004u), L"2148081668");
    EXPECT_EQ(ToDecimal(0xC0000005u), L"3221225477");
    EXPECT_EQ(ToDecimal(4294967295u), L"4294967295");
    EXPECT_EQ(ToDecimal(4294967296ull), L"4294967296");  // byte counts go past 32 bits
    EXPECT_EQ(ToDecimal(18446744073709551615ull), L"18446744073709551615");
}

TEST(CheckSystemCall, SuccessThrowsNothingAndKeepsLastError) {
    SetLastError(1234);
    CheckSystemCall(true, L"x");
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(CheckSystemCall, FailureCarriesTheLastErrorAsFullWidthSuffix) {
    const struct { DWORD code; const wchar_t* expected; } cases[] = {
        {183, L"无法创建临时目录（错误码 183）"},
        {0, L"无法创建临时目录（错误码 0）"},
        {0x80092004u, L"无法创建临时目录（错误码 2148081668）"},
    };
    for (const auto& c : cases) {
        SetLastError(c.code);
        try {
            CheckSystemCall(false, L"无法创建临时目录");
            FAIL() << "no Failure thrown";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.message, c.expected);
        }
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
