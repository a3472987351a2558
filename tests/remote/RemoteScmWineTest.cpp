// Service control through the shipped platform binding, against Wine's own service control
// manager, with a real service executable (nimbo_test_service.exe beside this program).
#include "remote/RemoteScm.h"

#include "tests/remote/RemoteTestSupport.h"

using remote::CRemoteScm;
using remote_test::ComputerName;
using remote_test::ExpectWin32Sentences;
using remote_test::Raised;

namespace
{
std::wstring TestServicePath() { return filestest::SiblingProgram(L"nimbo_test_service.exe"); }

using filestest::UniqueName;

// A value of the service's registration, read back from this machine's registry: a DWORD as
// its decimal text, any other type as the text of its bytes.
std::wstring ServiceValue(const std::wstring& service, const wchar_t* value)
{
    BYTE data[4096] = {};
    DWORD size = sizeof(data), type = 0;
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + service;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size))
        << value;
    if (type == REG_DWORD)
        return std::to_wstring(*reinterpret_cast<DWORD*>(data));
    return std::wstring(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
}
}  // namespace

// The whole life of a service, with the manager named by nothing (this machine) and by the
// machine's own name, and with a name full of characters that need no quoting.
TEST(RemoteScmOnWine, CreatesStartsStopsAndDeletesARealService)
{
    const struct { std::wstring machine, name; } cases[] = {
        {L"", UniqueName(L"NimboTestSvc")}, {ComputerName(), UniqueName(L"Nimbo Test $#&()[]%1 \x0421\x043B")}};
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
    const struct { const wchar_t* value; std::wstring data; } values[] = {
        {L"Start", std::to_wstring(SERVICE_AUTO_START)}, {L"Type", std::to_wstring(SERVICE_WIN32_OWN_PROCESS)},
        {L"ErrorControl", std::to_wstring(SERVICE_ERROR_NORMAL)}, {L"DisplayName", L"Display of " + name + std::wstring(1, L'\0')},
        {L"ObjectName", std::wstring(L"LocalSystem", 12)}, {L"DependOnService", std::wstring(L"RpcSs\0Tcpip\0\0", 13)}};
    for (const auto& v : values)
        EXPECT_EQ(v.data, ServiceValue(name, v.value)) << v.value;
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
    EXPECT_NO_THROW(service->Stop(30));
    service->Delete();
}
