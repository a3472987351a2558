// Placeholder substitution, the exception family's sentences and HRESULTs, and the joined
// description a COM caller finally sees.
#include <gtest/gtest.h>

#include <vector>
#include "foundation/ComTypes.h"
#include "foundation/Exc.h"

namespace
{
TEST(FormatText, SubstitutesOnlyValidPlaceholders)
{
    const struct { const wchar_t* pattern; std::vector<std::wstring> args; const wchar_t* expected; } cases[] = {
        {L"Guest OS version: [%1.%2]", {L"5", L"2"}, L"Guest OS version: [5.2]"},
        {L"no placeholders", {L"a"}, L"no placeholders"},
        {L"%5%4%3%2%1", {L"a", L"b", L"c", L"d", L"e"}, L"edcba"},
        {L"%1%1", {L"x"}, L"xx"},
        // A "%" without a number stays; there is no "%%" escape.
        {L"[%]", {L"a"}, L"[%]"},
        {L"100%", {L"a"}, L"100%"},
        {L"%%1", {L"a"}, L"%a"},
        {L"%x", {L"a"}, L"%x"},
        // Numbers outside 1..count stay as written (in decimal).
        {L"%3", {L"a"}, L"%3"},
        {L"%0", {L"a"}, L"%0"},
        {L"%-1", {L"a"}, L"%-1"},
        {L"%1", {}, L"%1"},
        {L"%12", {L"a", L"b", L"c", L"d", L"e"}, L"%12"},
        // The number is read like wcstol: blanks, a sign and leading zeros are accepted and the
        // whole number is consumed; a value past the long range is clamped.
        {L"[% 1]", {L"a"}, L"[a]"},
        {L"[%+2]", {L"a", L"b"}, L"[b]"},
        {L"[%01]", {L"a"}, L"[a]"},
        {L"[%007]", {L"a"}, L"[%7]"},
        {L"%99999999999", {L"a"}, L"%2147483647"},
        // Arguments are inserted as they are, not scanned again.
        {L"%1 %2", {L"%2", L"b"}, L"%2 b"},
        {L"", {L"a"}, L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::wstring(c.expected), FormatTextList(c.pattern, c.args)) << "pattern " << c.pattern;
}

TEST(HResultFromSystemCode, PositiveCodesBecomeWin32HResults)
{
    const struct { long code; HRESULT expected; } cases[] = {
        {5, static_cast<HRESULT>(0x80070005)},
        {1722, static_cast<HRESULT>(0x800706BA)},
        {0x12345, static_cast<HRESULT>(0x80072345)},  // only the low 16 bits survive
        {0, 0},
        {-5, -5},
        {static_cast<long>(0x80004005), static_cast<HRESULT>(0x80004005)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, HResultFromSystemCode(c.code)) << "code " << c.code;
}

TEST(CExc, FullTextDropsOneTrailingLineBreakPerElement)
{
    const struct { std::vector<std::wstring> frontToBack; const wchar_t* expected; } cases[] = {
        {{}, L""},
        {{L"A"}, L"A"},
        {{L"B\r\n", L"A"}, L"B\r\nA"},
        {{L"B", L"A\r\n"}, L"B\r\nA"},
        {{L"B", L"A\r\n\r\n"}, L"B\r\nA\r\n"},
        {{L"\r\n", L"A"}, L"\r\nA"},
        {{L"B\n", L"A\r"}, L"B\n\r\nA\r"},
    };
    for (const auto& c : cases)
    {
        CExc e;
        for (auto it = c.frontToBack.rbegin(); it != c.frontToBack.rend(); ++it)
            e.AddMessage(*it);
        EXPECT_EQ(std::wstring(c.expected), e.GetFullText()) << "case " << c.expected;
    }
}

// The line a system code contributes, built from the parts the caller can check separately.
std::wstring SystemLine(const wchar_t* prefix, DWORD code, const wchar_t* decimal)
{
    return prefix + GetWin32ErrorText(code) + L" Code: " + decimal;
}

TEST(CWin32Exc, AddsTheSystemTextAndTheSignedCodeFromTheCallOrGetLastError)
{
    const std::wstring accessDenied = GetWin32ErrorText(5);
    ASSERT_EQ(L"\r\n", accessDenied.substr(accessDenied.size() - 2)) << "system texts end in CR LF";
    // The system text keeps its line break inside the line, before " Code: ".
    struct { CWin32Exc e; DWORD code; HRESULT hr; std::vector<std::wstring> sentences; } cases[] = {
        {CWin32Exc(5), 5, static_cast<HRESULT>(0x80070005), {L"Win32 error:" + accessDenied + L" Code: 5"}},
        {CWin32Exc(0xC0000005), 0xC0000005, static_cast<HRESULT>(0xC0000005), {SystemLine(L"Win32 error:", 0xC0000005, L"-1073741819")}},
        {(SetLastError(ERROR_FILE_NOT_FOUND), CWin32Exc()), 2, static_cast<HRESULT>(0x80070002), {SystemLine(L"Win32 error:", 2, L"2")}},
        {(SetLastError(ERROR_ACCESS_DENIED), CWin32Exc(L"text", CWin32Exc::kLastError)), 5, static_cast<HRESULT>(0x80070005),
         {L"text", SystemLine(L"Win32 error:", 5, L"5")}},
        {(SetLastError(ERROR_PATH_NOT_FOUND), CWin32Exc(121, L"a", CWin32Exc::kLastError)), 3, static_cast<HRESULT>(0x80070003),
         {L"Installing agent.", SystemLine(L"Win32 error:", 3, L"3")}},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.code, c.e.GetCode());
        EXPECT_EQ(c.hr, c.e.GetHResult()) << c.code;
        EXPECT_EQ(c.sentences, std::vector<std::wstring>(c.e.GetMessages().begin(), c.e.GetMessages().end()));
    }
    EXPECT_EQ(L"Win32 error:" + accessDenied + L" Code: 5", CWin32Exc(5).GetFullText());
    EXPECT_EQ(0, CWin32Exc(0).GetHResult());
}

TEST(CRpcExc, AddsTheRpcLine)
{
    CRpcExc e(124, L"Freeze", RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE, e.GetStatus());
    EXPECT_EQ(static_cast<HRESULT>(0x800706BA), e.GetHResult());
    EXPECT_EQ((std::vector<std::wstring>{L"RPC function call failed. Function name: [Freeze]. Target machine: [%2].",
                                         SystemLine(L"RPC error:", 1722, L"1722")}),
              std::vector<std::wstring>(e.GetMessages().begin(), e.GetMessages().end()));
    EXPECT_EQ(1u, CRpcExc(1722).GetMessages().size());
    EXPECT_EQ(L"Installing agent.", CRpcExc(121, 1722).GetMessages().front());
    EXPECT_EQ(L"text", CRpcExc(L"text", 1722).GetMessages().front());
}

TEST(CComExc, AddsTheDescriptionOfTheThreadsErrorObject)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        util::CComPtr<ICreateErrorInfo> create;
        ASSERT_EQ(S_OK, CreateErrorInfo(create.put()));
        create->SetDescription(const_cast<LPOLESTR>(L"Server refused."));
        util::CComPtr<IErrorInfo> info;
        ASSERT_EQ(S_OK, create.QueryInterface(IID_IErrorInfo, info));
        ASSERT_EQ(S_OK, SetErrorInfo(0, info.get()));

        CComExc e(L"Cannot create [%1].", L"x", E_NOINTERFACE);
        EXPECT_EQ(E_NOINTERFACE, e.GetHResult());
        EXPECT_EQ(L"Cannot create [x].\r\nCOM error: Server refused. Code: 0x80004002", e.GetFullText());

        // The error object was taken off the thread by the first exception.
        EXPECT_EQ(L"COM error:  Code: 0x80004005", CComExc(E_FAIL).GetFullText());
        EXPECT_EQ(L"text", CComExc(L"text", E_FAIL).GetMessages().front());
    }
    CoUninitialize();
}
}
