// The administrative share connection over the real Windows networking functions. Wine has
// no network redirector, so connecting fails the way it fails on a host without one.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "NimboGuestAgentCtrl.h"
#include "foundation/Exc.h"
#include "foundation/Log.h"
#include "remote/AdminShareConnection.h"

namespace
{
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

std::wstring Win32Line(DWORD code)
{
    return CWin32Exc(code).GetMessages().back();
}
}

TEST(AdminShareRealSeam, ConnectFailsWithTheRedirectorsCode)
{
    try
    {
        CAdminShareConnection connection(L"\\\\vm1\\ADMIN$", L"EXAMPLE\\admin", L"pw", std::make_shared<util::CLog>());
        ADD_FAILURE() << "connect succeeded";
    }
    catch (const CExc& e)
    {
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_NETWORK), e.GetHResult());
        EXPECT_EQ(Win32Line(ERROR_NO_NETWORK), e.GetFullText());
    }
}

// The shipped library, loaded directly: its Connect reports the refusal with the connection
// sentence in front.
TEST(AdminShareRealSeam, ShippedLibraryConnectReportsTheRefusal)
{
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
        HMODULE dll = LoadLibraryW(NIMBO_SHIPPED_DLL);
        ASSERT_NE(nullptr, dll) << GetLastError();
        auto getClassObject = reinterpret_cast<GetClassObjectFn>(
            reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
        ASSERT_NE(nullptr, getClassObject);
        IClassFactory* factory = nullptr;
        ASSERT_EQ(S_OK, getClassObject(CLSID_NimboVssGAConnection, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        INimboGAConnection* connection = nullptr;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_INimboGAConnection, reinterpret_cast<void**>(&connection)));
        factory->Release();

        BSTR machine = SysAllocString(L"vm1"), login = SysAllocString(L"EXAMPLE\\admin"), pwd = SysAllocString(L"S3cret-pw");
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_NETWORK), connection->Connect(machine, login, pwd));
        IErrorInfo* info = nullptr;
        ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
        BSTR description = nullptr;
        info->GetDescription(&description);
        const std::wstring text = description ? description : L"";
        EXPECT_EQ(MsgText(101, L"vm1", L"EXAMPLE\\admin") + L"\r\n" + Win32Line(ERROR_NO_NETWORK), text);
        EXPECT_EQ(std::wstring::npos, text.find(L"S3cret-pw"));
        SysFreeString(description);
        info->Release();
        SysFreeString(machine);
        SysFreeString(login);
        SysFreeString(pwd);
        connection->Release();
    }
    CoUninitialize();
}
