// What a COM caller sees when a method fails: the HRESULT and the error object read back with
// GetErrorInfo, as a script host or a .NET runtime would read it.
#include <gtest/gtest.h>

#include <stdexcept>
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

struct SErrorObject
{
    bool present = false;
    std::wstring description;
    std::wstring source;
    std::wstring helpFile;
    DWORD helpContext = 0xFFFFFFFF;
    GUID guid = GUID_NULL;
};

SErrorObject TakeErrorObject()
{
    SErrorObject result;
    util::CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info)
        return result;
    result.present = true;
    util::CBstr text;
    if (SUCCEEDED(info->GetDescription(text.put())))
        result.description = text.Text();
    if (SUCCEEDED(info->GetSource(text.put())))
        result.source = text.Text();
    if (SUCCEEDED(info->GetHelpFile(text.put())))
        result.helpFile = text.Text();
    info->GetHelpContext(&result.helpContext);
    info->GetGUID(&result.guid);
    return result;
}

// Leaves a stale error object on the thread, as an earlier failed call would.
void LeaveStaleErrorObject()
{
    util::SetComErrorInfo(nullptr, kTestIid, L"stale", E_FAIL);
}

class ComBoundary : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        util::CRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kTestClsidKey) + L"\\ProgID").c_str(),
                                                 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(kTestProgId),
                                                sizeof(kTestProgId)));
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestClsidKey);
        SetErrorInfo(0, nullptr);
        CoUninitialize();
    }
};

TEST_F(ComBoundary, CExcBecomesItsHResultAndAFullErrorObject)
{
    HRESULT hr = util::ComBoundary(&kTestClsid, kTestIid, []() -> HRESULT {
        CExc e(L"A", static_cast<HRESULT>(0x80070003));
        e.AddMessage(L"B");
        throw e;
    });
    EXPECT_EQ(static_cast<HRESULT>(0x80070003), hr);
    SErrorObject info = TakeErrorObject();
    ASSERT_TRUE(info.present);
    EXPECT_EQ(L"B\r\nA", info.description);
    EXPECT_EQ(kTestProgId, info.source);
    EXPECT_EQ(L"", info.helpFile);
    EXPECT_EQ(0u, info.helpContext);
    EXPECT_TRUE(IsEqualGUID(kTestIid, info.guid));
}

TEST_F(ComBoundary, DerivedExceptionsKeepTheirSystemLine)
{
    HRESULT hr = util::ComBoundary(&kTestClsid, kTestIid, []() -> HRESULT { throw CWin32Exc(L"Cannot open.", 5); });
    EXPECT_EQ(static_cast<HRESULT>(0x80070005), hr);
    const std::wstring system = GetWin32ErrorText(5);
    EXPECT_EQ(L"Cannot open.\r\nWin32 error:" + system + L" Code: 5",
              TakeErrorObject().description);
}

TEST_F(ComBoundary, InternalObjectsHaveNoSource)
{
    HRESULT hr = util::ComBoundary(nullptr, kTestIid, []() -> HRESULT { throw CExc(L"A", E_FAIL); });
    EXPECT_EQ(E_FAIL, hr);
    SErrorObject info = TakeErrorObject();
    ASSERT_TRUE(info.present);
    EXPECT_EQ(L"A", info.description);
    EXPECT_EQ(L"", info.source);
}

TEST_F(ComBoundary, AFailureNeverReadsAsSuccess)
{
    EXPECT_EQ(E_FAIL, util::ComBoundary(nullptr, kTestIid, []() -> HRESULT { throw CExc(L"A", S_OK); }));
    EXPECT_EQ(L"A", TakeErrorObject().description);
    EXPECT_EQ(E_FAIL, util::ComBoundary(nullptr, kTestIid, []() -> HRESULT { throw CExc(L"A", S_FALSE); }));
}

TEST_F(ComBoundary, BodyResultPassesThroughWithoutErrorObject)
{
    EXPECT_EQ(S_OK, util::ComBoundary(&kTestClsid, kTestIid, []() -> HRESULT { return S_OK; }));
    EXPECT_EQ(S_FALSE, util::ComBoundary(&kTestClsid, kTestIid, []() -> HRESULT { return S_FALSE; }));
    EXPECT_EQ(E_INVALIDARG, util::ComBoundary(&kTestClsid, kTestIid, []() -> HRESULT { return E_INVALIDARG; }));
    EXPECT_FALSE(TakeErrorObject().present);
}

TEST_F(ComBoundary, OutOfMemoryBecomesEOutOfMemoryAndClearsStaleErrors)
{
    LeaveStaleErrorObject();
    EXPECT_EQ(E_OUTOFMEMORY, util::ComBoundary(&kTestClsid, kTestIid, []() -> HRESULT { throw std::bad_alloc(); }));
    EXPECT_FALSE(TakeErrorObject().present);
}

TEST_F(ComBoundary, ForeignExceptionsBecomeEUnexpectedWithADescription)
{
    const struct
    {
        const char* what;
        HRESULT (*run)();
    } cases[] = {
        {"std::runtime_error",
         [] { return util::ComBoundary(&kTestClsid, kTestIid, []() -> HRESULT { throw std::runtime_error("x"); }); }},
        {"int", [] { return util::ComBoundary(&kTestClsid, kTestIid, []() -> HRESULT { throw 42; }); }},
        {"STermExc", [] { return util::ComBoundary(&kTestClsid, kTestIid, []() -> HRESULT { throw STermExc(); }); }},
    };
    for (const auto& c : cases)
    {
        LeaveStaleErrorObject();
        EXPECT_EQ(E_UNEXPECTED, c.run()) << c.what;
        SErrorObject info = TakeErrorObject();
        ASSERT_TRUE(info.present) << c.what;
        EXPECT_NE(std::wstring::npos, info.description.find(L"internal error")) << c.what;
        EXPECT_EQ(kTestProgId, info.source) << c.what;
    }
}
}
