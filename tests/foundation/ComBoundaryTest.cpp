// What a COM caller sees when a method fails: the HRESULT and the error object read back with
// GetErrorInfo, as a script host or a .NET runtime would read it.
#include <gtest/gtest.h>

#include <stdexcept>
#include "tests/module/ComTestSupport.h"
#include "foundation/ComBoundary.h"
#include "foundation/ComTypes.h"
#include "foundation/Handle.h"

namespace
{
// A class registered only for these tests, so that the error source has a ProgID to show.
const CLSID kTestClsid = {0x6f1c2d3e, 0x4a5b, 0x4c6d, {0x8e, 0x9f, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab}};
const wchar_t kTestClsidKey[] = L"Software\\Classes\\CLSID\\{6F1C2D3E-4A5B-4C6D-8E9F-0123456789AB}";
const wchar_t kTestProgId[] = L"NimboTests.BoundaryProbe.1";
const IID kTestIid = {0x0a1b2c3d, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

class ComBoundary : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, (std::wstring(kTestClsidKey) + L"\\ProgID").c_str(), nullptr,
                                                 REG_SZ, kTestProgId, sizeof(kTestProgId)));
    }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestClsidKey);
        SetErrorInfo(0, nullptr);
        CoUninitialize();
    }
};

HRESULT ThrowCExc()
{
    CExc e(L"A", static_cast<HRESULT>(0x80070003));
    e.AddMessage(L"B");
    throw e;
}

// Every body starts with a stale error object on the thread, as an earlier failed call leaves;
// a failure must replace or clear it. A null description means no error object.
TEST_F(ComBoundary, ResultAndErrorObjectForEveryOutcome)
{
    const std::wstring accessDenied = L"Cannot open.\r\nWin32 error:" + GetWin32ErrorText(5) + L" Code: 5";
    const struct
    {
        const char* what;
        const CLSID* clsid;
        HRESULT (*body)();
        HRESULT hr;
        const wchar_t* description;  // for E_UNEXPECTED: a part of it
    } cases[] = {
        {"CExc", &kTestClsid, ThrowCExc, static_cast<HRESULT>(0x80070003), L"B\r\nA"},
        {"CWin32Exc keeps its system line", &kTestClsid, []() -> HRESULT { throw CWin32Exc(L"Cannot open.", 5); },
         static_cast<HRESULT>(0x80070005), accessDenied.c_str()},
        {"internal object: no source", nullptr, []() -> HRESULT { throw CExc(L"A", E_FAIL); }, E_FAIL, L"A"},
        {"S_OK never reads as success", nullptr, []() -> HRESULT { throw CExc(L"A", S_OK); }, E_FAIL, L"A"},
        {"S_FALSE never reads as success", nullptr, []() -> HRESULT { throw CExc(L"A", S_FALSE); }, E_FAIL, L"A"},
        // A returned success leaves the thread's error object alone; a returned failure (an
        // argument check) clears it, so that the caller cannot read a stale one for it.
        {"S_OK passes", nullptr, []() -> HRESULT { return S_OK; }, S_OK, L"stale"},
        {"S_FALSE passes", nullptr, []() -> HRESULT { return S_FALSE; }, S_FALSE, L"stale"},
        {"failure passes", &kTestClsid, []() -> HRESULT { return E_INVALIDARG; }, E_INVALIDARG, nullptr},
        {"bad_alloc", &kTestClsid, []() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY, nullptr},
        {"runtime_error", &kTestClsid, []() -> HRESULT { throw std::runtime_error("x"); }, E_UNEXPECTED, L"internal error"},
        {"int", &kTestClsid, []() -> HRESULT { throw 42; }, E_UNEXPECTED, L"internal error"},
        {"STermExc", &kTestClsid, []() -> HRESULT { throw STermExc(); }, E_UNEXPECTED, L"internal error"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        util::SetComErrorInfo(nullptr, kTestIid, L"stale", E_FAIL);
        EXPECT_EQ(c.hr, util::ComBoundary(c.clsid, kTestIid, c.body));
        const comtest::SErrorInfo info = comtest::TakeErrorInfo();
        ASSERT_EQ(c.description != nullptr, info.present);
        if (!info.present)
            continue;
        if (c.hr == E_UNEXPECTED)
            EXPECT_NE(std::wstring::npos, info.description.find(c.description)) << info.description;
        else
            EXPECT_EQ(c.description, info.description);
        EXPECT_EQ(c.clsid ? kTestProgId : L"", info.source);
        EXPECT_EQ(L"", info.helpFile);
        EXPECT_EQ(0u, info.helpContext);
        EXPECT_TRUE(IsEqualGUID(kTestIid, info.guid));
    }
}
}
