// Connect-or-install against the real console agent on a simulated guest: the first install,
// a reconnect, an older but compatible package, a refused downgrade and an upgrade, each
// deciding on what the running agent itself answers over RPC.
#include <gtest/gtest.h>

#include "console/RcInstallContext.h"
#include "console/RcInstallPolicy.h"
#include "deploy/Installer.h"
#include "tests/foundation/LogRecorder.h"
#include "sim/SimScm.h"
#include "tests/vss/VssAgentGuest.h"

namespace
{
using util::SNimboAgentVersion;
using Lines = std::vector<std::wstring>;

const wchar_t kHost[] = L"rcguest";

class RcAgentRoad : public testing::Test
{
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const std::string share(m_share.Path().begin(), m_share.Path().end());
        remote_test::UseGuests("[guest rcguest]\nadmin_share = " + share + "\naccount = RCLAB\\backup | Rc-Pa55\nos_version = 5.2\n"
                               "reg = SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment | PROCESSOR_ARCHITECTURE | REG_SZ | AMD64\n");
        sim::ScmReset();
        m_connection = std::make_shared<CAdminShareConnection>(L"\\\\rcguest\\ADMIN$", L"RCLAB\\backup", L"Rc-Pa55",
                                                               std::make_shared<util::CLog>());
    }
    void TearDown() override
    {
        m_slot->Set(nullptr);
        sim::ScmReset();   // ends the agent, so that its files can go
        util::RemoveFolderWithRetry(m_share.Path() + L"\\NimboRemoteConsole", 100, 50);
        CoUninitialize();
    }

    // One installer object's connect-or-install with the package declared as `version`,
    // compatible with `compatibility`; its log from `level` up goes to `m_recorder`.
    void ConnectOrInstall(const SNimboAgentVersion& version, std::vector<SNimboAgentVersion> compatibility = {},
                          int level = util::LogInfo)
    {
        m_recorder = std::make_shared<logtest::CLogRecorder>();
        rconsole::CRcInstallContext context(m_connection, m_slot, logtest::RecordingLog(m_recorder, level));
        rconsole::CRcSpecificInstall& policy = *context.GetPolicy();
        policy.SetAgentVersion(version);
        for (const SNimboAgentVersion& v : compatibility)
            policy.AddCompatibility(v);
        policy.AddPackageFile(vsstest::Parent(vsstest::Parent(vsstest::BinFolder())) + L"\\agents\\bin\\NimboConsoleProbe.exe",
                              L"probe\\NimboConsoleProbe.exe");
        policy.SetExecPath(L"probe\\NimboConsoleProbe.exe");
        context.GetInstaller()->SetPackageFolder(vsstest::TestPackage());
        context.SetNotifyPauseMs(20);
        context.GetInstaller()->CollectGuestMetrics();
        m_recorder->lines.clear();
        context.ConnectOrInstall();
    }
    // The agent process the service runs: a new one only when the agent was (re)installed.
    DWORD Agent() const
    {
        sim::SServiceRecord record;
        EXPECT_TRUE(sim::ScmFindService(kHost, L"NimboRemoteConsole", record));
        return record.agentProcessId;
    }
    // The information lines with their depth; warnings (the endpoint map's lookups) left out.
    Lines Info() const
    {
        Lines info;
        for (const std::wstring& line : m_recorder->lines)
            if (line[0] == L'I')
                info.push_back(line);
        return info;
    }
    bool Logged(int level, const std::wstring& text) const { return m_recorder->Has(level, text); }

    filestest::CScratchFolder m_share;
    std::shared_ptr<CAdminShareConnection> m_connection;
    std::shared_ptr<rconsole::CRcRpcClientSlot> m_slot = std::make_shared<rconsole::CRcRpcClientSlot>();
    std::shared_ptr<logtest::CLogRecorder> m_recorder;
};

TEST_F(RcAgentRoad, InstallsReconnectsKeepsCompatibleRefusesNewerAndUpgradesOlder)
{
    const SNimboAgentVersion v10(1, 0, 0, 0), v11(1, 1, 0, 0), v12(1, 2, 0, 0), v13(1, 3, 0, 0);
    ASSERT_NO_THROW(ConnectOrInstall(v12, {v11, v11}));
    const std::wstring folder = m_share.Path() + L"\\NimboRemoteConsole\\";
    for (const wchar_t* file : {L"NimboGuestAgent.exe", L"NimboRemoteConsole.dll", L"probe\\NimboConsoleProbe.exe",
                                L"RemoteConsoleCfg.xml", L"NimboAgentConfig.xml"})
        EXPECT_TRUE(util::FileExists(folder + file)) << file;
    sim::SServiceRecord record;
    ASSERT_TRUE(sim::ScmFindService(kHost, L"NimboRemoteConsole", record));
    EXPECT_EQ(record.account, L"RCLAB\\backup");
    EXPECT_EQ(record.state, static_cast<DWORD>(SERVICE_RUNNING));
    const DWORD agent = record.agentProcessId;
    std::shared_ptr<rconsole::CRcRpcClient> installed = m_slot->Get();
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->GetAgentVersion(), v12);
    EXPECT_EQ(installed->GetCompatibilityList(), rconsole::CRcCompatibilitySet{v11});
    // Same version, then an older package the agent declares itself compatible with: the
    // running agent is kept and a new session of it fills the slot.
    for (const SNimboAgentVersion& declared : {v12, v11})
    {
        ConnectOrInstall(declared);
        EXPECT_EQ(Agent(), agent) << declared.ToText();
        EXPECT_NE(m_slot->Get(), installed);
        EXPECT_EQ(Logged(util::LogInfo, MsgText(166)), declared == v11);
        EXPECT_EQ(Logged(util::LogInfo, MsgText(165)), declared == v11) << "the list only when the versions differ";
    }

    // A newer agent that does not list the declared version is never downgraded.
    const auto kept = m_slot->Get();
    CExc refused = filestest::Raised([&] { ConnectOrInstall(v10); });
    EXPECT_EQ(filestest::Sentences(refused), (Lines{MsgText(149, kHost), MsgText(153), MsgText(162), MsgText(163, L"1.2.0.0", L"1.0.0.0")}));
    EXPECT_EQ(refused.GetHResult(), E_FAIL);
    const std::wstring scope = MsgText(135), connect = MsgText(221, kHost);
    EXPECT_EQ(Info(), (Lines{L"I1 " + scope,
                             L"I2 Found the next entry in the endpoint map having the specified interface ID. Annotation: [NimboRemoteConsole].",
                             L"I2 Port used by the specified service is found. Port number: [" + kept->GetBindingText() + L"].",
                             L"I3 " + connect, L"I3 " + connect + L"Ok.", L"I2 Declared agent version: [1.0.0.0].",
                             L"I2 Version of the already installed agent: [1.2.0.0].", L"I2 " + MsgText(165), L"I2 {",
                             L"I3 1.1.0.0", L"I2 }", L"I1 " + scope + L"Failed."}));
    EXPECT_EQ(Agent(), agent);
    EXPECT_EQ(m_slot->Get(), kept);

    // An older agent that does not list the declared version is told, then replaced.
    ASSERT_NO_THROW(ConnectOrInstall(v13, {}, util::LogTrace));
    EXPECT_TRUE(Logged(util::LogWarning, MsgText(164)));
    // Three sessions of the old agent are open here (two in this test, the check's own): the
    // notice is repeated until the attempts run out, and the install goes on.
    EXPECT_TRUE(Logged(util::LogTrace, MsgText(172, kHost) + L"Ok."));
    EXPECT_FALSE(Logged(util::LogTrace, MsgText(173)));
    EXPECT_FALSE(Logged(util::LogError, MsgText(171, kHost)));
    EXPECT_NE(Agent(), agent);
    EXPECT_EQ(m_slot->Get()->GetAgentVersion(), v13);
    // The replaced agent's sessions are gone with it: closing them raises nothing.
    installed.reset();
    EXPECT_EQ(m_slot->Get()->GetCompatibilityList(), rconsole::CRcCompatibilitySet{});
}
}
