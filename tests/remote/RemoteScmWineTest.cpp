// Service control through the shipped platform binding, against Wine's own service control
// manager, with a real service executable (nimbo_test_service.exe beside this program).
#include "remote/RemoteScm.h"

#include "tests/remote/RemoteTestSupport.h"

#include <iostream>

using remote::CRemoteScm;
using remote_test::ComputerName;
using remote_test::ExpectWin32Sentences;
using remote_test::Raised;

namespace
{
std::wstring TestServicePath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L'\\') + 1);
    return folder + L"nimbo_test_service.exe";
}

using filestest::UniqueName;

// A value of the service's registration, read back from this machine's registry.
std::vector<BYTE> ServiceValue(const std::wstring& service, const wchar_t* value, DWORD& type)
{
    std::vector<BYTE> data(4096);
    DWORD size = static_cast<DWORD>(data.size());
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + service;
    LSTATUS rc = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_ANY | RRF_NOEXPAND,
                              &type, data.data(), &size);
    EXPECT_EQ(rc, ERROR_SUCCESS) << value;
    data.resize(rc == ERROR_SUCCESS ? size : 0);
    return data;
}

DWORD ServiceDword(const std::wstring& service, const wchar_t* value)
{
    DWORD type = 0;
    std::vector<BYTE> data = ServiceValue(service, value, type);
    EXPECT_EQ(type, DWORD(REG_DWORD)) << value;
    return data.size() == sizeof(DWORD) ? *reinterpret_cast<DWORD*>(data.data()) : 0;
}

std::wstring ServiceText(const std::wstring& service, const wchar_t* value)
{
    DWORD type = 0;
    std::vector<BYTE> data = ServiceValue(service, value, type);
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
}
}  // namespace

// The whole life of a service, with the manager named by nothing (this machine) and by the
// machine's own name, and with a name full of characters that need no quoting.
TEST(RemoteScmOnWine, CreatesStartsStopsAndDeletesARealService)
{
    struct SCase
    {
        std::wstring machine;
        std::wstring name;
    } cases[] = {
        {L"", UniqueName(L"NimboTestSvc")},
        {ComputerName(), UniqueName(L"Nimbo Test $#&()[]%1 \x0421\x043B")},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        {
            CRemoteScm scm(c.machine, SC_MANAGER_ALL_ACCESS);
            scm.SetPollInterval(100);
            auto service =
                scm.CreateService(c.name, c.name, L"\"" + TestServicePath() + L"\"", {}, L"", L"", false, SERVICE_ALL_ACCESS);
            EXPECT_EQ(service->QueryCurrentState(), DWORD(SERVICE_STOPPED));
            service->Start(50);
            EXPECT_EQ(service->QueryCurrentState(), DWORD(SERVICE_RUNNING));
            service->Stop(50);
            EXPECT_EQ(service->QueryCurrentState(), DWORD(SERVICE_STOPPED));
            service->Delete();
        }
        // Once its last handle is closed and its process has ended the service is gone. The
        // process may still be on its way out after it reported SERVICE_STOPPED.
        CWin32Exc gone;
        for (DWORD waited = 0;; waited += 100)
        {
            try
            {
                CRemoteScm(c.machine, SC_MANAGER_CONNECT).OpenService(c.name, SERVICE_QUERY_STATUS);
            }
            catch (CWin32Exc& e)
            {
                gone = e;
                break;
            }
            ASSERT_LT(waited, 30000u) << "the deleted service stays";
            Sleep(100);
        }
        ExpectWin32Sentences(gone, ERROR_SERVICE_DOES_NOT_EXIST,
                             {L"Cannot open service. Machine: [" + c.machine + L"]. Service name: [" + c.name + L"]."});
    }
}

TEST(RemoteScmOnWine, RegistrationReachesTheServiceDatabase)
{
    const std::wstring name = UniqueName(L"NimboTestReg");
    const std::wstring path = L"\"" + TestServicePath() + L"\" -x";
    CRemoteScm scm(L"", SC_MANAGER_ALL_ACCESS);
    auto service = scm.CreateService(name, L"Display of " + name, path, {L"RpcSs", L"Tcpip"}, L"",
                                     L"", true, SERVICE_ALL_ACCESS);
    EXPECT_EQ(ServiceDword(name, L"Start"), DWORD(SERVICE_AUTO_START));
    EXPECT_EQ(ServiceDword(name, L"Type"), DWORD(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(ServiceDword(name, L"ErrorControl"), DWORD(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(ServiceText(name, L"DisplayName"), L"Display of " + name + std::wstring(1, L'\0'));
    EXPECT_EQ(ServiceText(name, L"ObjectName"), std::wstring(L"LocalSystem", 12));
    EXPECT_EQ(ServiceText(name, L"DependOnService"), std::wstring(L"RpcSs\0Tcpip\0\0", 13));
    service->Delete();
}

TEST(RemoteScmOnWine, ServiceThatNeverRunsTimesOutWith1053)
{
    const std::wstring name = UniqueName(L"NimboTestNoStart");
    CRemoteScm scm(L"", SC_MANAGER_ALL_ACCESS);
    scm.SetPollInterval(100);
    auto service = scm.CreateService(name, name, L"\"" + TestServicePath() + L"\" nostart", {}, L"",
                                     L"", false, SERVICE_ALL_ACCESS);
    ExpectWin32Sentences(Raised<CWin32Exc>([&] { service->Start(3); }), ERROR_SERVICE_REQUEST_TIMEOUT,
                         {L"Cannot start service. Machine: []. Service: [" + name + L"].",
                          L"Service start timeout. Timeout (sec): [3]."});
    EXPECT_EQ(service->QueryCurrentState(), DWORD(SERVICE_START_PENDING));
    // A second start only waits for the pending one.
    EXPECT_THROW(service->Start(1), CWin32Exc);
    try
    {
        service->Stop(30);
    }
    catch (const CExc& e)
    {
        std::wcout << L"cleanup: " << e.GetFullText() << std::endl;
    }
    service->Delete();
}
