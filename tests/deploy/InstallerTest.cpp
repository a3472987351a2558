// The installer engine with the VSS policy against simulated guests: what an installation
// leaves on the guest's share and in its service control manager, what a failed one leaves
// after its rollback, and the sentences and log lines of each failure.
#include "deploy/Installer.h"

#include <algorithm>

#include "remote/AdminShareConnection.h"
#include "tests/deploy/DeployTestSupport.h"
#include "tests/foundation/LogRecorder.h"
#include "sim/SimScm.h"
#include "vss/VssInstallPolicy.h"

using namespace deploytest;
using install::CInstaller;
using install::EInstallPhase;
using logtest::CLogRecorder;

namespace
{
// The guest's share is linked by host name for the whole Wine prefix, and the cases of this
// program run in parallel processes: each process gets a guest of its own.
const std::wstring kHost = L"vmdeploy" + std::to_wstring(GetCurrentProcessId()) + L".example.test";
const std::wstring kRemote = L"\\\\" + kHost + L"\\ADMIN$";
const wchar_t kService[] = L"NimboVssSupport";
const std::wstring kStartFailed = L"Cannot start service. Machine: [" + kHost + L"]. Service: [NimboVssSupport].";
const wchar_t* const kPackageFiles[] = {L"NimboGuestAgent_X86.exe", L"NimboGuestAgent_X64.exe", L"NimboVssSupportXP_X86.dll",
                                        L"NimboVssSupport2003_X86.dll", L"NimboVssSupport2003_X64.dll"};

// The guest's Windows (os_version, server_type: 0x9003 server, 0x1003 workstation) and processor.
struct SGuestOs { const wchar_t *version, *serverType, *architecture; };
const SGuestOs k2003Amd64 = {L"5.2", L"0x9003", L"AMD64"};

// A copy of the package whose files end in their own names, so that a file on the guest shows
// where it came from (the test package holds one build under all names); the tag lies after
// the image, where the loader does not look. `missing` is left out; `agent`, a system
// program, replaces the 64-bit agent.
std::wstring CopyPackage(const std::wstring& missing = L"", const std::wstring& agent = L"")
{
    const std::wstring folder = ScratchFolder();
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    for (const std::wstring name : kPackageFiles)
        if (name != missing)
            WriteTextFile(folder + L"\\" + name, ReadBytes(!agent.empty() && name == L"NimboGuestAgent_X64.exe"
                                                                        ? system + (L"\\" + agent)
                                                                        : NIMBO_TEST_PACKAGE L"/" + name) +
                                                              std::string(name.begin(), name.end()));
    return folder;
}

// The VSS policy, leaving a folder where the configuration file goes.
class CConfigBlockedPolicy : public vss::CVssSpecificInstall
{
    void CopyAgentFiles(const std::wstring& package, const std::wstring& target) const override
    {
        CVssSpecificInstall::CopyAgentFiles(package, target);
        CreateDirectoryW((target + L"\\NimboAgentConfig.xml").c_str(), nullptr);
    }
};

class InstallerTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(m_com.hr)); }
    void TearDown() override { Clean(); }

    // Describes the guest (`extra`: more lines of its section) and starts its services afresh.
    CInstaller& UseGuest(const SGuestOs& os, const std::wstring& extra,
                         std::shared_ptr<install::CAgentSpecificInstall> policy = std::make_shared<vss::CVssSpecificInstall>(),
                         const std::wstring& windowsFolder = L"D:\\GuestWin")
    {
        UseGuests(L"[guest " + kHost + L"]\nadmin_share = " + m_share + L"\nshare_path = " + windowsFolder +
                              L"\naccount = admin | pw\nos_version = " + os.version +
                              L"\nserver_type = " + os.serverType +
                              L"\nreg = SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment | "
                              L"PROCESSOR_ARCHITECTURE | REG_SZ | " + os.architecture + L"\n" + extra);
        sim::ScmReset();
        m_recorder->lines.clear();
        m_installer = std::make_unique<CInstaller>(
            std::make_shared<CAdminShareConnection>(kRemote, L"admin", L"pw", m_log), policy, m_log);
        m_installer->SetServicePollInterval(50);  // a launched agent comes up within 30 polls
        m_installer->SetPackageFolder(m_package);
        return *m_installer;
    }

    // Removes what a case left: the agent (it must not outlive the test) and the files.
    void Clean()
    {
        UseGuests(L"[guest " + kHost + L"]\n");  // without injected failures
        if (m_installer)
            Raised([&] { m_installer->Uninstall(); throw CExc(); });
        m_installer.reset();
        sim::ScmReset();
        RemoveTree(m_share);
        RemoveTree(m_package);
    }

    std::wstring AgentFile(const wchar_t* name) const { return m_share + L"\\NimboVssSupport\\" + name; }
    bool FindService(sim::SServiceRecord& record) const { return sim::ScmFindService(kHost, kService, record); }

    // Everything an installation logs: its scope, the service account once it registers, and
    // on failure message 122 with the exception's sentences.
    static std::vector<std::wstring> InstallLog(bool registers, const CExc* failure = nullptr)
    {
        std::vector<std::wstring> log = CLogRecorder::Expect(util::LogInfo, 1, MsgText(121));
        if (registers)
            logtest::Append(log, CLogRecorder::Expect(util::LogInfo, 2, MsgText(246, L"")));
        logtest::Append(log, CLogRecorder::Expect(util::LogInfo, 1, MsgText(121) + (failure ? L"Failed." : L"Ok.")));
        if (failure)
            logtest::Append(log, CLogRecorder::Expect(util::LogError, 0, MsgText(122)));
        for (const std::wstring& sentence : failure ? failure->GetMessages() : std::list<std::wstring>())
            logtest::Append(log, CLogRecorder::Expect(util::LogError, 1, sentence));
        return log;
    }

    const SComScope m_com;
    std::wstring m_share = ScratchFolder();
    std::wstring m_package = CopyPackage();
    std::shared_ptr<CLogRecorder> m_recorder = std::make_shared<CLogRecorder>();
    std::shared_ptr<util::CLog> m_log = logtest::RecordingLog(m_recorder);
    std::unique_ptr<CInstaller> m_installer;
};
}  // namespace

TEST_F(InstallerTest, SupportedGuestGetsTheFilesForItsSystemAndARunningService)
{
    // The package files expected as NimboGuestAgent.exe and NimboVssSupport.dll.
    struct SCase { SGuestOs os; const wchar_t *agent, *plugin, *windowsFolder; } cases[] = {
        {{L"5.1", L"0x1003", L"x86"}, L"NimboGuestAgent_X86.exe", L"NimboVssSupportXP_X86.dll", L"D:\\GuestWin"},
        {{L"5.2", L"0x9003", L"x86"}, L"NimboGuestAgent_X86.exe", L"NimboVssSupport2003_X86.dll", L"D:\\GuestWin"},
        {k2003Amd64, L"NimboGuestAgent_X64.exe", L"NimboVssSupport2003_X64.dll", L"D:\\GuestWin"},
        {{L"6.0", L"0x9003", L"x86"}, L"NimboGuestAgent_X86.exe", L"NimboVssSupport2003_X86.dll", L"D:\\GuestWin"},
        // A Windows folder with blanks: the binary path is quoted, or the service manager
        // could run "C:\Program.exe" under LocalSystem.
        {{L"6.0", L"0x9003", L"AMD64"}, L"NimboGuestAgent_X64.exe", L"NimboVssSupport2003_X64.dll", L"C:\\Program Files\\Win dows"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::wstring(c.os.version) + L" " + c.os.architecture);
        CInstaller& installer = UseGuest(c.os, L"", std::make_shared<vss::CVssSpecificInstall>(), c.windowsFolder);
        installer.CollectGuestMetrics();
        ASSERT_TRUE(installer.IsInstallPossible());
        m_recorder->lines.clear();
        std::vector<std::pair<EInstallPhase, bool>> phases, inOrder;  // each phase as it begins and ends
        installer.SetPhaseObserver([&](EInstallPhase p, bool finished) { phases.emplace_back(p, finished); });
        installer.Install();
        for (EInstallPhase p : {EInstallPhase::Upload, EInstallPhase::Configuration, EInstallPhase::Registration, EInstallPhase::Start})
            inOrder.insert(inOrder.end(), {{p, false}, {p, true}});
        EXPECT_EQ(phases, inOrder);
        EXPECT_TRUE(ReadBytes(AgentFile(L"NimboGuestAgent.exe")) == ReadBytes(m_package + L"\\" + c.agent));
        EXPECT_TRUE(ReadBytes(AgentFile(L"NimboVssSupport.dll")) == ReadBytes(m_package + L"\\" + c.plugin));
        EXPECT_EQ(SavedXml(AgentFile(L"NimboAgentConfig.xml")),
                  L"<GuestAgentConfig ServiceName=\"NimboVssSupport\"><PluginsCnt><Plugin Path=\"NimboVssSupport.dll\"/>"
                  L"</PluginsCnt><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>");
        sim::SServiceRecord r;
        ASSERT_TRUE(FindService(r));
        EXPECT_EQ(r.displayName, kService);
        const std::wstring binaryPath = c.windowsFolder + std::wstring(L"\\NimboVssSupport\\NimboGuestAgent.exe");
        EXPECT_EQ(r.binaryPath, binaryPath.find(L' ') == std::wstring::npos ? binaryPath : L"\"" + binaryPath + L"\"");
        EXPECT_EQ(r.dependencies, std::vector<std::wstring>{L"VSS"});
        EXPECT_FALSE(r.hasAccount);  // LocalSystem
        EXPECT_EQ(r.startType, DWORD(SERVICE_AUTO_START));
        EXPECT_EQ(installer.GetAgentState(), ENimboVssInstalledRunning);
        EXPECT_EQ(m_recorder->lines, InstallLog(true));
        installer.Uninstall();
    }
}

TEST_F(InstallerTest, FailedInstallationIsRolledBackAndKeepsItsError)
{
    const SGuestOs xp64 = {L"5.2", L"0x1003", L"AMD64"}, vista = {L"6.0", L"0x1003", L"x86"},
                   win2000 = {L"5.0", L"0x9003", L"x86"}, ia64 = {L"5.2", L"0x9003", L"IA64"};
    const std::wstring getStatusFailed =
        L"Cannot retrieve the current status of the service. Machine: [" + kHost + L"]. Service: [NimboVssSupport].";
    enum EDamage { Intact, NoPackage, NoAgent, NoPlugin, AgentEndsAtOnce, ConfigBlocked };
    // os: every system but 2003 AMD64 is one the agent does not support; sentences: %1 the
    // package folder, %2 the agent folder; left: the agent folder and service stay.
    struct SCase { const SGuestOs& os; const wchar_t* guestLines; EDamage damage; std::vector<std::wstring> sentences; bool left; }
    cases[] = {
        {xp64, L"", Intact, {MsgText(109, kRemote), MsgText(147), MsgText(148, L"Windows XP")}, false},
        {vista, L"", Intact, {MsgText(109, kRemote), MsgText(147), MsgText(148, L"Vista")}, false},
        {win2000, L"", Intact, {MsgText(109, kRemote), MsgText(147), MsgText(148, L"Windows 2000")}, false},
        {ia64, L"", Intact, {MsgText(109, kRemote), MsgText(146, L"IA64")}, false},
        {k2003Amd64, L"", NoPackage, {MsgText(109, kRemote), MsgText(111, L"%1")}, false},
        {k2003Amd64, L"", NoAgent,
         {MsgText(109, kRemote), L"Cannot copy file. Source file: [%1\\NimboGuestAgent_X64.exe]. Target file: [%2\\NimboGuestAgent.exe]."},
         false},
        {k2003Amd64, L"", NoPlugin,
         {MsgText(109, kRemote), MsgText(147),
          L"Cannot copy file. Source file: [%1\\NimboVssSupport2003_X64.dll]. Target file: [%2\\NimboVssSupport.dll]."},
         false},
        {k2003Amd64, L"", ConfigBlocked,
         {MsgText(109, kRemote), MsgText(158, L"%2"),
          L"Cannot initialize agent's configuration document. Document path: [%2\\NimboAgentConfig.xml]."},
         false},
        {k2003Amd64, L"fail.CreateServiceW = 5\n", Intact, {MsgText(112, kService)}, false},
        {k2003Amd64, L"fail.StartServiceW = 1058\n", Intact, {kStartFailed}, false},
        {k2003Amd64, L"", AgentEndsAtOnce,
         {kStartFailed, L"The service stopped while it was starting. Service-specific exit code: [1]."}, false},
        // The start fails once the service runs and the rollback's stop cannot learn its state:
        // the rollback ends there, the service and its files stay.
        {k2003Amd64, L"fail.QueryServiceStatus = 5 after 1\n", Intact, {kStartFailed, getStatusFailed}, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.sentences.back());
        Clean();
        CreateDirectoryW(m_share.c_str(), nullptr);
        m_package = CopyPackage(c.damage == NoAgent ? L"NimboGuestAgent_X64.exe" : c.damage == NoPlugin ? L"NimboVssSupport2003_X64.dll" : L"",
                                c.damage == AgentEndsAtOnce ? L"hostname.exe" : L"");  // a program that ends at once
        if (c.damage == NoPackage)
            RemoveTree(m_package);
        CInstaller& installer = UseGuest(c.os, c.guestLines,
                                         c.damage == ConfigBlocked ? std::make_shared<CConfigBlockedPolicy>()
                                                                   : std::make_shared<vss::CVssSpecificInstall>());
        installer.CollectGuestMetrics();
        EXPECT_EQ(installer.IsInstallPossible(), &c.os == &k2003Amd64);
        m_recorder->lines.clear();
        const CExc e = Raised([&] { installer.Install(); });
        std::vector<std::wstring> expected;
        for (const auto& sentence : c.sentences)
            expected.push_back(FormatText(sentence, m_package, std::wstring(kRemote) + L"\\NimboVssSupport"));
        EXPECT_EQ(Sentences(e, expected.size()), expected);
        EXPECT_EQ(Exists(AgentFile(L"")), c.left);
        sim::SServiceRecord r;
        EXPECT_EQ(FindService(r), c.left);
        EXPECT_FALSE(r.markedForDelete);  // a failed undo ends the rollback
        // Nothing of the rollback reaches the log, also when it ends early.
        EXPECT_EQ(m_recorder->lines, InstallLog(c.sentences.front() != MsgText(109, kRemote), &e));
    }
}

// Installing again over a running agent stops it before its files are replaced (or its
// executable could not be overwritten and its configuration would be lost half way), and logs
// no more than any installation; uninstalling logs nothing, with or without a service.
TEST_F(InstallerTest, ReinstallOverARunningAgentAndUninstallLogOnlyWhatTheyShould)
{
    CInstaller& installer = UseGuest(k2003Amd64, L"");
    installer.CollectGuestMetrics();
    installer.Install();
    sim::SServiceRecord first;
    ASSERT_TRUE(FindService(first));
    ASSERT_EQ(first.state, DWORD(SERVICE_RUNNING));

    m_recorder->lines.clear();
    installer.Install();
    EXPECT_EQ(m_recorder->lines, InstallLog(true));
    sim::SServiceRecord second;
    ASSERT_TRUE(FindService(second));
    EXPECT_EQ(second.state, DWORD(SERVICE_RUNNING));
    EXPECT_NE(second.agentProcessId, first.agentProcessId);
    EXPECT_NE(SavedXml(AgentFile(L"NimboAgentConfig.xml")), L"");

    m_recorder->lines.clear();
    installer.Uninstall();
    installer.Uninstall();
    EXPECT_EQ(m_recorder->lines, std::vector<std::wstring>());
    EXPECT_FALSE(FindService(second));
}

TEST_F(InstallerTest, ServiceOperationsUseThePolicysService)
{
    struct SCase { const wchar_t* services; bool folder; ENimboGuestAgentState state; } cases[] = {
        {L"", true, ENimboVssNotInstalled},
        {L"service = NimboGuestAgent | running\n", false, ENimboVssNotInstalled},
        {L"service = NimboVssSupport | stopped\nservice = NimboGuestAgent | stopped\n", true, ENimboVssInstalledStopped},
        {L"service = NimboVssSupport | start_pending | pending_polls=2\n", false, ENimboVssInstalledStopped},
        {L"service = NimboVssSupport | running\n", true, ENimboVssInstalledRunning},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.services);
        CInstaller& installer = UseGuest(k2003Amd64, c.services);
        if (c.folder)
            CreateDirectoryW(AgentFile(L"").c_str(), nullptr);
        EXPECT_EQ(installer.GetAgentState(), c.state);
        if (c.state != ENimboVssNotInstalled)
        {
            installer.StartAgent();
            EXPECT_EQ(installer.GetAgentState(), ENimboVssInstalledRunning);
        }
        sim::SServiceRecord other;
        EXPECT_FALSE(sim::ScmFindService(kHost, L"NimboGuestAgent", other) && other.startRequests);
        installer.Uninstall();
        EXPECT_FALSE(Exists(AgentFile(L"")));
        EXPECT_EQ(installer.GetAgentState(), ENimboVssNotInstalled);
    }
}
