#include <windows.h>

#include <gtest/gtest.h>

#include "app/command_line.h"
#include "support/failure.h"

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

TEST(RecognizeMode, OnlyExactLiteralsSelectHeadlessModes) {
    EXPECT_EQ(RecognizeMode(L"--certificate"), LaunchMode::Certificate);
    EXPECT_EQ(RecognizeMode(L"--verify"), LaunchMode::Verify);
    EXPECT_EQ(RecognizeMode(L"--verify-ucrt"), LaunchMode::VerifyUcrt);
    const wchar_t* windowed[] = {
        L"", L"--VERIFY", L"--verify ", L"\"--verify\"", L"--verify x", L" --verify",
        L"--CERTIFICATE", L"--certificate ", L"\"--certificate\"", L"--certificate --verify",
        L"--VERIFY-UCRT", L"--verify-ucrt ", L"\"--verify-ucrt\"", L"--verify-ucrt 1",
        L"--verify-", L"-verify", L"/verify",
    };
    for (const wchar_t* text : windowed) {
        EXPECT_EQ(RecognizeMode(text), LaunchMode::Windowed) << text;
    }
    EXPECT_EQ(RecognizeMode(nullptr), LaunchMode::Windowed);
}
