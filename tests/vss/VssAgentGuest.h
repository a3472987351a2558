#pragma once
// A simulated guest with the VSS agent deployed on its ADMIN$ share as the installer lays it
// out (agent, plugin, configuration) and registered as the service "NimboVssSupport": starting
// the service runs the real agent, which serves the plugin's RPC interface on this machine and
// registers it in the guest's (simulated) endpoint map.
#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/FileSystem.h"
#include "remote/AdminShareConnection.h"
#include "remote/PlatformSeam.h"
#include "remote/ScHandle.h"
#include "tests/foundation/FilesTestSupport.h"
#include "tests/remote/RemoteTestSupport.h"
#include "sim/SimScm.h"

namespace vsstest
{
const wchar_t kService[] = L"NimboVssSupport";
const wchar_t kLogin[] = L"VSSLAB\\backup";
const wchar_t kPassword[] = L"Fr33ze-Pa55";

inline std::wstring BinFolder()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\'));
}

inline std::wstring Parent(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// The package beside the test DLL (build\tests\simbin): its plugin is the test build, whose
// freeze is simulated.
inline std::wstring TestPackage() { return Parent(BinFolder()) + L"\\simbin\\NimboGuestAgents"; }
// The package beside the shipped DLL (build\bin).
inline std::wstring ShippedPackage() { return Parent(Parent(BinFolder())) + L"\\bin\\NimboGuestAgents"; }

class CVssAgentGuest
{
public:
    // `plugin`: the plugin file to deploy; by default the test build from the test package.
    explicit CVssAgentGuest(const std::wstring& host, std::wstring plugin = std::wstring(),
                            const std::string& moreGuestLines = std::string())
        : m_host(host), m_share(filestest::UniqueName(TempFolder() + L"nimbo_vssguest"))
    {
        util::CreateFolderTree(AgentFolder());
        const std::wstring suffix = NIMBO_NATIVE_AGENT_SUFFIX;
        util::CopyFileTo(TestPackage() + L"\\NimboGuestAgent_" + suffix + L".exe", AgentFolder() + L"\\NimboGuestAgent.exe",
                         false);
        util::CopyFileTo(plugin.empty() ? TestPackage() + L"\\NimboVssSupport2003_" + suffix + L".dll" : plugin,
                         AgentFolder() + L"\\NimboVssSupport.dll", false);
        WriteConfig(0);
        const std::string share(m_share.begin(), m_share.end());
        const std::string name(host.begin(), host.end());
        remote_test::UseGuests("[guest " + name + "]\nadmin_share = " + share +
                               "\naccount = VSSLAB\\backup | Fr33ze-Pa55"
                               "\nservice = NimboVssSupport | stopped | path=C:\\Windows\\NimboVssSupport\\NimboGuestAgent.exe\n" +
                               moreGuestLines);
        sim::ScmReset();
    }
    ~CVssAgentGuest()
    {
        sim::ScmReset();   // kills what still runs, so that its files can go
        try
        {
            util::RemoveFolderWithRetry(m_share, 100, 50);
        }
        catch (CExc&)
        {
        }
    }
    CVssAgentGuest(const CVssAgentGuest&) = delete;
    CVssAgentGuest& operator=(const CVssAgentGuest&) = delete;

    std::wstring AgentFolder() const { return m_share + L"\\NimboVssSupport"; }

    // 0: a dynamic port; otherwise this static port.
    void WriteConfig(DWORD staticPort)
    {
        const std::wstring ports = staticPort ? L"UseDynPort=\"false\" StaticPort=\"" + std::to_wstring(staticPort) + L"\""
                                              : std::wstring(L"UseDynPort=\"true\"");
        const std::wstring xml = L"<?xml version=\"1.0\"?>\r\n<GuestAgentConfig ServiceName=\"NimboVssSupport\">"
                                 L"<PluginsCnt><Plugin Path=\"NimboVssSupport.dll\"/></PluginsCnt><PortsCfg " +
                                 ports + L"/></GuestAgentConfig>\r\n";
        filestest::WriteTextFile(AgentFolder() + L"\\NimboAgentConfig.xml", std::string(xml.begin(), xml.end()));
    }

    // What the test build's freeze does next (see agents/FreezeBackends.h).
    void Simulate(const std::string& settings) const
    {
        filestest::WriteTextFile(AgentFolder() + L"\\SimulatedFreeze.txt", settings);
    }

    std::wstring AgentLog() const { return sim::ReadUtf8File(AgentFolder() + L"\\NimboGuestAgent.log"); }

    // Starts or stops the service and waits until it has settled; the state it settled in.
    DWORD Start() { return Control(true); }
    DWORD Stop() { return Control(false); }

    std::shared_ptr<CAdminShareConnection> Connect(std::shared_ptr<util::CLog> log) const
    {
        return std::make_shared<CAdminShareConnection>(L"\\\\" + m_host + L"\\ADMIN$", kLogin, kPassword, std::move(log));
    }

private:
    static std::wstring TempFolder()
    {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        return temp;
    }

    DWORD Control(bool start)
    {
        remote::IPlatform& seam = remote::Platform();
        remote::CScHandle manager(seam.OpenSCManagerW(m_host.c_str(), nullptr, SC_MANAGER_CONNECT));
        remote::CScHandle service(seam.OpenServiceW(manager.get(), kService, SERVICE_ALL_ACCESS));
        SERVICE_STATUS status = {};
        EXPECT_TRUE(start ? seam.StartServiceW(service.get(), 0, nullptr)
                          : seam.ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            << GetLastError();
        // Long enough for a cold agent start on a loaded machine; failures show much sooner.
        for (int polls = 0; polls < 600; ++polls)
        {
            EXPECT_TRUE(seam.QueryServiceStatus(service.get(), &status));
            if (status.dwCurrentState != SERVICE_START_PENDING && status.dwCurrentState != SERVICE_STOP_PENDING)
                break;
            Sleep(50);
        }
        return status.dwCurrentState;
    }

    std::wstring m_host;
    std::wstring m_share;
};
}
