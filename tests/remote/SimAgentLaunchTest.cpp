// Simulated guests run the deployed agent: a service whose binary lies below the guest's share
// starts the real agent executable from the share's folder, is running once the agent says so,
// and stops with the agent's exit code when it ends.
#include "remote/RemoteScm.h"

#include "foundation/Handle.h"
#include "tests/remote/RemoteTestSupport.h"
#include "tests/sim/SimScm.h"

using remote::CRemoteScm;
using remote_test::ExpectWin32Sentences;

namespace
{
const wchar_t kHost[] = L"agentguest";
const wchar_t kService[] = L"NimboVssSupport";
const wchar_t kBinaryPath[] = L"C:\\Windows\\NimboVssSupport\\NimboGuestAgent.exe";
// The package files of the test's own processor: the guest's agent runs in the test prefix.
const wchar_t kPlugin[] = L"NimboVssSupport2003_" NIMBO_NATIVE_AGENT_SUFFIX L".dll";
const std::wstring kGoodConfig =
    L"<?xml version=\"1.0\"?>\r\n<GuestAgentConfig ServiceName=\"NimboVssSupport\"><PluginsCnt>"
    L"<Plugin Path=\"NimboVssSupport2003_" NIMBO_NATIVE_AGENT_SUFFIX L".dll\"/></PluginsCnt><PortsCfg UseDynPort=\"true\"/>"
    L"</GuestAgentConfig>\r\n";
// Long enough for a cold agent start under a loaded machine; failures show much sooner.
const DWORD kPollMs = 50;
const DWORD kSettleMs = 20000;

std::wstring Folder(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

// The package folder the build fills beside the test DLL: tests\simbin\NimboGuestAgents.
std::wstring PackageFolder()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return Folder(Folder(self)) + L"\\simbin\\NimboGuestAgents";
}

void WriteUtf8(const std::wstring& path, const std::wstring& text)
{
    std::string bytes(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], static_cast<int>(bytes.size()), nullptr, nullptr);
    bytes.pop_back();
    util::CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    util::CFindHandle search(FindFirstFileW((path + L"\\*").c_str(), &found));
    for (bool more = search.valid(); more; more = FindNextFileW(search.get(), &found))
    {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTree(path + L"\\" + name);
        else
            DeleteFileW((path + L"\\" + name).c_str());
    }
    search.reset();
    RemoveDirectoryW(path.c_str());
}

// A guest whose ADMIN$ is a fresh folder holding the agent's folder as the installer lays it
// out: the agent as NimboGuestAgent.exe, the plugin and (unless null) the configuration.
class CAgentGuest
{
public:
    explicit CAgentGuest(const wchar_t* config, bool withAgent = true, const std::string& serviceLine = "")
    {
        static unsigned counter = 0;
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_share = std::wstring(temp) + L"nimbo_simagent_" + std::to_wstring(GetCurrentProcessId()) +
                  L"_" + std::to_wstring(++counter);
        EXPECT_TRUE(CreateDirectoryW(m_share.c_str(), nullptr)) << GetLastError();
        EXPECT_TRUE(CreateDirectoryW(AgentFolder().c_str(), nullptr)) << GetLastError();
        const std::wstring package = PackageFolder();
        if (withAgent)
        {
            EXPECT_TRUE(CopyFileW((package + L"\\NimboGuestAgent_" NIMBO_NATIVE_AGENT_SUFFIX L".exe").c_str(),
                                  (AgentFolder() + L"\\NimboGuestAgent.exe").c_str(), FALSE))
                << "package " << package << ": " << GetLastError();
        }
        EXPECT_TRUE(CopyFileW((package + L"\\" + kPlugin).c_str(),
                              (AgentFolder() + L"\\" + kPlugin).c_str(), FALSE)) << GetLastError();
        if (config)
            WriteUtf8(AgentFolder() + L"\\NimboAgentConfig.xml", config);

        std::string share(m_share.begin(), m_share.end());
        remote_test::UseGuests("[guest agentguest]\nadmin_share = " + share +
                               "\nshare_path = C:\\Windows\n" + serviceLine);
        sim::ScmReset();
    }

    ~CAgentGuest()
    {
        sim::ScmReset();   // kills what still runs, so that its files can go
        RemoveTree(m_share);
    }

    std::wstring AgentFolder() const { return m_share + L"\\NimboVssSupport"; }
    std::wstring Log() const { return sim::ReadUtf8File(AgentFolder() + L"\\NimboGuestAgent.log"); }

private:
    std::wstring m_share;
};

sim::SServiceRecord Record()
{
    sim::SServiceRecord record;
    EXPECT_TRUE(sim::ScmFindService(kHost, kService, record));
    return record;
}

// The service through the seam's own calls (its handle outlives the manager's).
remote::CScHandle SeamService(DWORD access)
{
    remote::CScHandle manager(remote::Platform().OpenSCManagerW(kHost, nullptr, SC_MANAGER_CONNECT));
    return remote::CScHandle(remote::Platform().OpenServiceW(manager.get(), kService, access));
}

// The status as QueryServiceStatus gives it.
SERVICE_STATUS Status()
{
    SERVICE_STATUS status = {};
    EXPECT_TRUE(remote::Platform().QueryServiceStatus(SeamService(SERVICE_QUERY_STATUS).get(), &status))
        << GetLastError();
    return status;
}

// Looks at the service until it leaves the pending states (or the time is up).
SERVICE_STATUS Settled()
{
    SERVICE_STATUS status = Status();
    for (DWORD waited = 0; waited < kSettleMs && (status.dwCurrentState == SERVICE_START_PENDING ||
                                                  status.dwCurrentState == SERVICE_STOP_PENDING);
         waited += kPollMs)
    {
        Sleep(kPollMs);
        status = Status();
    }
    return status;
}

remote::CRemoteServicePtr CreateAgentService(const std::wstring& binaryPath)
{
    CRemoteScm scm(kHost, SC_MANAGER_ALL_ACCESS);
    scm.SetPollInterval(kPollMs);
    return scm.CreateService(kService, kService, binaryPath, {}, L"", L"", true, SERVICE_ALL_ACCESS);
}

remote::CRemoteServicePtr OpenAgentService()
{
    CRemoteScm scm(kHost, SC_MANAGER_ALL_ACCESS);
    scm.SetPollInterval(kPollMs);
    return scm.OpenService(kService, SERVICE_ALL_ACCESS);
}

// A handle that sees the agent's process end even after the simulation lets go of it.
util::CKernelHandle OpenAgentProcess()
{
    const DWORD id = Record().agentProcessId;
    util::CKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    EXPECT_TRUE(process) << "process " << id << ": " << GetLastError();
    return process;
}

bool Ended(const util::CKernelHandle& process, DWORD timeoutMs)
{
    return WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

bool Contains(const std::wstring& text, const std::wstring& part)
{
    return text.find(part) != std::wstring::npos;
}

const DWORD kRunTimeout = kSettleMs / kPollMs;
const std::wstring kPluginLoaded = L"VSS support plugin 2003_" NIMBO_NATIVE_AGENT_SUFFIX L" ";
}  // namespace

// start: the error of Start (a start that the agent ends is left to time out at once); the
// rest: the status once the service has settled.
TEST(SimAgentLaunch, StartRunsTheAgentFromTheShareAndStopsWithItsExitCode)
{
    const std::wstring missingPlugin =
        L"<GuestAgentConfig ServiceName=\"NimboVssSupport\"><PluginsCnt><Plugin Path=\"Gone.dll\"/>"
        L"</PluginsCnt><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>";
    const DWORD kAgentEnds = ERROR_SERVICE_REQUEST_TIMEOUT;
    struct SCase
    {
        const char* what;
        const wchar_t* config;
        bool withAgent;
        const wchar_t* binaryPath;
        DWORD start;
        DWORD state;
        DWORD win32Exit;
        DWORD specificExit;
        bool launched;
    } cases[] = {
        {"agent and plugin run", kGoodConfig.c_str(), true, kBinaryPath, 0, SERVICE_RUNNING, 0, 0, true},
        {"quoted path with arguments, other case", kGoodConfig.c_str(), true,
         L"\"c:\\WINDOWS\\NimboVssSupport\\NimboGuestAgent.exe\" -x", 0, SERVICE_RUNNING, 0, 0, true},
        {"unquoted path without extension, with arguments", kGoodConfig.c_str(), true,
         L"C:\\Windows\\NimboVssSupport\\NimboGuestAgent -x", 0, SERVICE_RUNNING, 0, 0, true},
        {"malformed configuration", L"<GuestAgentConfig", true, kBinaryPath, kAgentEnds, SERVICE_STOPPED,
         ERROR_SERVICE_SPECIFIC_ERROR, 1, true},
        {"no configuration", nullptr, true, kBinaryPath, kAgentEnds, SERVICE_STOPPED,
         ERROR_SERVICE_SPECIFIC_ERROR, 1, true},
        {"missing plugin", missingPlugin.c_str(), true, kBinaryPath, kAgentEnds, SERVICE_STOPPED,
         ERROR_SERVICE_SPECIFIC_ERROR, 2, true},
        {"no agent executable", kGoodConfig.c_str(), false, kBinaryPath, ERROR_FILE_NOT_FOUND,
         SERVICE_STOPPED, 0, 0, false},
        {"no agent folder", kGoodConfig.c_str(), true, L"C:\\Windows\\Elsewhere\\NimboGuestAgent.exe",
         ERROR_PATH_NOT_FOUND, SERVICE_STOPPED, 0, 0, false},
        {"not a program", kGoodConfig.c_str(), true, L"C:\\Windows\\NimboVssSupport\\NimboAgentConfig.xml",
         ERROR_BAD_EXE_FORMAT, SERVICE_STOPPED, 0, 0, false},
        {"binary outside the share: state only", nullptr, false, L"C:\\Agent\\agent.exe", 0,
         SERVICE_RUNNING, 0, 0, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CAgentGuest guest(c.config, c.withAgent);
        auto service = CreateAgentService(c.binaryPath);
        try
        {
            service->Start(c.start == kAgentEnds ? 0 : kRunTimeout);
            EXPECT_EQ(c.start, 0u);
        }
        catch (const CWin32Exc& e)
        {
            EXPECT_EQ(e.GetCode(), c.start) << e.GetFullText();
            if (c.start != kAgentEnds)
                ExpectWin32Sentences(e, c.start, {L"Cannot start service. Machine: [agentguest]. "
                                                  L"Service: [NimboVssSupport]."});
        }
        const SERVICE_STATUS status = Settled();
        EXPECT_EQ(status.dwCurrentState, c.state);
        EXPECT_EQ(status.dwWin32ExitCode, c.win32Exit);
        EXPECT_EQ(status.dwServiceSpecificExitCode, c.specificExit);
        EXPECT_EQ(status.dwControlsAccepted, DWORD(c.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0));
        const sim::SServiceRecord r = Record();
        EXPECT_EQ(r.startRequests, 1u);
        EXPECT_EQ(r.agentProcessId != 0, c.launched);
        // What the agent logged says why it ran or ended.
        const std::wstring log = guest.Log();
        EXPECT_EQ(Contains(log, kPluginLoaded), c.launched && c.specificExit == 0) << log;
        if (c.specificExit != 0)
        {
            EXPECT_TRUE(Contains(log, L"The agent stops with exit code " + std::to_wstring(c.specificExit)))
                << log;
        }
    }
}

TEST(SimAgentLaunch, StopAsksTheAgentAndIsStoppedOnceItsProcessHasEnded)
{
    CAgentGuest guest(kGoodConfig.c_str());
    auto service = CreateAgentService(kBinaryPath);
    ASSERT_NO_THROW(service->Start(kRunTimeout));
    util::CKernelHandle process = OpenAgentProcess();
    EXPECT_FALSE(Ended(process, 0));

    // Pending until the agent has stopped its plugins and ended.
    SERVICE_STATUS status = {};
    ASSERT_TRUE(remote::Platform().ControlService(SeamService(SERVICE_STOP).get(), SERVICE_CONTROL_STOP,
                                                  &status))
        << GetLastError();
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOP_PENDING));
    ASSERT_NO_THROW(service->Stop(kRunTimeout));
    EXPECT_EQ(service->QueryCurrentState(), DWORD(SERVICE_STOPPED));
    EXPECT_TRUE(Ended(process, 0));
    status = Status();
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    const std::wstring log = guest.Log();
    EXPECT_TRUE(Contains(log, L"VSS support plugin 2003_" NIMBO_NATIVE_AGENT_SUFFIX L" stopped.")) << log;
    EXPECT_TRUE(Contains(log, L"The agent has stopped.")) << log;

    // A second start launches a new process.
    ASSERT_NO_THROW(service->Start(kRunTimeout));
    EXPECT_NE(Record().agentProcessId, 0u);
    EXPECT_EQ(Record().startRequests, 2u);
}

// Hooks of the description combine with a real launch: the agent runs, but the service is
// held pending; a held service's process goes with the simulation's services.
TEST(SimAgentLaunch, HeldStartKeepsTheAgentRunningUntilTheServicesGo)
{
    const std::string line = "service = NimboVssSupport | stopped | start=pending | path=C:\\Windows"
                             "\\NimboVssSupport\\NimboGuestAgent.exe\n";
    CAgentGuest guest(kGoodConfig.c_str(), true, line);
    auto service = OpenAgentService();
    EXPECT_THROW(service->Start(3), CWin32Exc);
    util::CKernelHandle process = OpenAgentProcess();
    for (DWORD waited = 0; waited < kSettleMs && !Contains(guest.Log(), L"The agent is running"); waited += kPollMs)
        Sleep(kPollMs);
    EXPECT_TRUE(Contains(guest.Log(), L"The agent is running")) << guest.Log();
    EXPECT_EQ(Status().dwCurrentState, DWORD(SERVICE_START_PENDING));
    EXPECT_FALSE(Ended(process, 0));

    sim::ScmReset();
    EXPECT_TRUE(Ended(process, 0));
}

TEST(SimAgentLaunch, CountedStartHoldEndsOnlyOnceTheAgentRuns)
{
    const std::string line = "service = NimboVssSupport | stopped | start=pending:1 | path=C:\\Windows"
                             "\\NimboVssSupport\\NimboGuestAgent.exe\n";
    CAgentGuest guest(kGoodConfig.c_str(), true, line);
    auto service = OpenAgentService();
    ASSERT_NO_THROW(service->Start(kRunTimeout));
    EXPECT_TRUE(Contains(guest.Log(), L"The agent is running")) << guest.Log();
    EXPECT_GE(Record().statusQueries, 3u);
}

// A deleted service goes with its last handle once stopped, also when its agent ended by
// itself and nobody asked for its state since.
TEST(SimAgentLaunch, DeletedServiceWhoseAgentEndedGoesWithItsLastHandle)
{
    CAgentGuest guest(L"<GuestAgentConfig");
    {
        auto service = CreateAgentService(kBinaryPath);
        EXPECT_THROW(service->Start(0), CWin32Exc);
        util::CKernelHandle process = OpenAgentProcess();
        service->Delete();
        ASSERT_TRUE(Ended(process, kSettleMs));
    }
    sim::SServiceRecord record;
    EXPECT_FALSE(sim::ScmFindService(kHost, kService, record));
}
