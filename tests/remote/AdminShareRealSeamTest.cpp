// The administrative share connection over the real Windows networking functions. Wine has
// no network redirector, so connecting fails the way it fails on a host without one.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "foundation/Exc.h"
#include "foundation/Log.h"
#include "remote/AdminShareConnection.h"
#include "tests/foundation/FilesTestSupport.h"

namespace
{
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
std::wstring Win32Line(DWORD code) { return CWin32Exc(code).GetMessages().back(); }
}

TEST(AdminShareRealSeam, ConnectFailsWithTheRedirectorsCode)
{
    const CExc e = filestest::Raised(
        [] { CAdminShareConnection(L"\\\\vm1\\ADMIN$", L"EXAMPLE\\admin", L"pw", std::make_shared<util::CLog>()); });
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_NETWORK), e.GetHResult());
    EXPECT_EQ(Win32Line(ERROR_NO_NETWORK), e.GetFullText());
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
        util::CComPtr<IClassFactory> factory;
        ASSERT_EQ(S_OK, getClassObject(CLSID_NimboVssGAConnection, IID_IClassFactory, factory.put_void()));
        util::CComPtr<INimboGAConnection> connection;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_INimboGAConnection, connection.put_void()));

        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_NETWORK),
                  connection->Connect(util::CBstr(std::wstring(L"vm1")).get(), util::CBstr(std::wstring(L"EXAMPLE\\admin")).get(),
                                      util::CBstr(std::wstring(L"S3cret-pw")).get()));
        util::CComPtr<IErrorInfo> info;
        ASSERT_EQ(S_OK, GetErrorInfo(0, info.put()));
        util::CBstr description;
        info->GetDescription(description.put());
        EXPECT_EQ(MsgText(101, L"vm1", L"EXAMPLE\\admin") + L"\r\n" + Win32Line(ERROR_NO_NETWORK), description.Text());
        EXPECT_EQ(std::wstring::npos, description.Text().find(L"S3cret-pw"));
    }
    CoUninitialize();
}
