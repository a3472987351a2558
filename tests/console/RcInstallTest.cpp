// The console install policy's files and configuration, the compatibility decision with its
// log, the installation lock between two installers of one guest, the install-info and
// installer objects over one context, and a connection object used from several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "NimboGuestAgentCtrl.h"
#include "console/CoRcInstaller.h"
#include "console/RcInstallContext.h"
#include "console/RcInstallPolicy.h"
#include "foundation/ComTypes.h"
#include "module/ClassMap.h"
#include "remote/AdminShareConnection.h"
#include "tests/foundation/FilesTestSupport.h"
#include "tests/foundation/LogRecorder.h"
#include "tests/remote/RemoteTestSupport.h"

namespace
{
using logtest::CLogRecorder;
using util::CBstr;
using util::CComPtr;
using util::SNimboAgentVersion;
using Lines = std::vector<std::wstring>;

// `lines` as a recorder writes them, all at one level and depth unless a line says otherwise
// with its own "<letter><depth> " prefix.
Lines At(const wchar_t* prefix, const Lines& lines)
{
    Lines out;
    for (const std::wstring& line : lines)
        out.push_back(line.size() > 2 && line[2] == L' ' && iswdigit(line[1]) ? line : prefix + line);
    return out;
}

struct CComApartment
{
    explicit CComApartment(DWORD model = COINIT_APARTMENTTHREADED) { CoInitializeEx(nullptr, model); }
    ~CComApartment() { CoUninitialize(); }
};

struct SPolicyCase
{
    const char* name;
    std::function<void(rconsole::CRcSpecificInstall&, const filestest::CScratchFolder& package)> describe;
    Lines files;            // relative to the agent folder, with their content
    std::string config;     // "RemoteConsoleCfg.xml"; empty: the copy fails
    Lines log;              // every line, or the error's sentences when the copy fails
};

TEST(RcInstallPolicy, CopiesPluginAndPackageAndWritesTheConsoleConfiguration)
{
    CComApartment com;
    filestest::CScratchFolder package;
    filestest::WriteTextFile(package / L"NimboRemoteConsole_X86.dll", "plugin");
    filestest::WriteTextFile(package / L"probe.exe", "probe");
    filestest::WriteTextFile(package / L"data.txt", "data");
    const SPolicyCase cases[] = {
        {"defaults, no package file", [](auto&, auto&) {},
         {L"NimboRemoteConsole.dll=plugin"},
         "<ApplicationCfg AutoUninstall=\"true\" RpcSvcName=\"NimboRemoteConsole\"><Versioning AgentVersion=\"0.0.0.0\">"
         "<CompatibilityList/></Versioning><StartupCfg RelativePath=\"\" CmdLine=\"\" WorkingDir=\"\"/></ApplicationCfg>\n",
         {L"W2 The agent package does not contain any files."}},
        {"full description, sub-folders, repeated versions",
         [](rconsole::CRcSpecificInstall& p, auto& pkg) {
             p.SetServiceName(L"RcLab");
             p.SetAgentVersion(SNimboAgentVersion(2, 1, 0, 7));
             for (auto v : {SNimboAgentVersion(2, 0, 0, 0), SNimboAgentVersion(1, 5, 0, 0), SNimboAgentVersion(2, 0, 0, 0)})
                 p.AddCompatibility(v);
             p.SetAutoUninstall(false);
             p.AddPackageFile(pkg / L"probe.exe", L"bin\\probe.exe");
             p.AddPackageFile(pkg / L"data.txt", L"bin\\deep\\er\\data.txt");
             p.SetExecPath(L"bin\\probe.exe");
             p.SetWorkingDir(L"bin");
         },
         {L"NimboRemoteConsole.dll=plugin", L"bin\\probe.exe=probe", L"bin\\deep\\er\\data.txt=data"},
         "<ApplicationCfg AutoUninstall=\"false\" RpcSvcName=\"RcLab\"><Versioning AgentVersion=\"2.1.0.7\"><CompatibilityList>"
         "<Entry AgentVersion=\"1.5.0.0\"/><Entry AgentVersion=\"2.0.0.0\"/></CompatibilityList></Versioning>"
         "<StartupCfg RelativePath=\"bin\\probe.exe\" CmdLine=\"\" WorkingDir=\"bin\"/></ApplicationCfg>\n",
         {L"T2 File [<pkg>\\probe.exe] is installed. Target path: [bin\\probe.exe].",
          L"T2 File [<pkg>\\data.txt] is installed. Target path: [bin\\deep\\er\\data.txt]."}},
        {"missing package file",
         [](rconsole::CRcSpecificInstall& p, auto& pkg) {
             p.AddPackageFile(pkg / L"probe.exe", L"probe.exe");
             p.AddPackageFile(pkg / L"gone.exe", L"gone.exe");
         },
         {L"NimboRemoteConsole.dll=plugin", L"probe.exe=probe"}, "",
         {L"Cannot upload the agent package to the target machine.",
          L"Cannot copy file. Source file: [<pkg>\\gone.exe]. Target file: [<target>\\gone.exe].", L"CopyFile() failed."}},
    };
    for (const SPolicyCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        filestest::CScratchFolder target;
        auto recorder = std::make_shared<CLogRecorder>();
        rconsole::CRcSpecificInstall policy(logtest::RecordingLog(recorder));
        c.describe(policy, package);
        auto expand = [&](std::wstring s) {
            for (auto [key, value] : {std::pair<std::wstring, std::wstring>{L"<pkg>", package.Path()}, {L"<target>", target.Path()}})
                if (s.find(key) != std::wstring::npos)
                    s.replace(s.find(key), key.size(), value);
            return s;
        };
        const std::wstring config = target / L"RemoteConsoleCfg.xml";
        if (c.config.empty())
        {
            CExc e = filestest::Raised([&] { policy.CopyAgentFiles(package.Path(), target.Path()); });
            Lines expected;
            for (const std::wstring& s : c.log)
                expected.push_back(expand(s));
            filestest::ExpectSentencesAndWin32Line(e, expected, ERROR_FILE_NOT_FOUND);
            EXPECT_FALSE(util::FileExists(config));
        }
        else
        {
            policy.CopyAgentFiles(package.Path(), target.Path());
            EXPECT_EQ(filestest::ReadAll(config), c.config);
            const std::wstring folder = target.Path();
            Lines expected = At(L"T1 ", {L"Uploading console files.", L"Uploading console files.Ok.",
                                         L"Uploading the agent package to the target machine."});
            for (const std::wstring& line : c.log)
                expected.push_back(expand(line));
            logtest::Append(expected, At(L"T1 ", {L"Uploading the agent package to the target machine.Ok.",
                                                  MsgText(189, folder), MsgText(189, folder) + L"Ok."}));
            EXPECT_EQ(recorder->lines, expected);
        }
        for (const std::wstring& file : c.files)
        {
            const size_t eq = file.find(L'=');
            EXPECT_EQ(filestest::ReadAll(target / file.substr(0, eq)), std::string(file.begin() + eq + 1, file.end())) << file;
        }
    }
}

struct SCompatibilityCase
{
    const char* name;
    SNimboAgentVersion installed, declared;
    std::vector<SNimboAgentVersion> compatibility;
    int outcome;            // 0 keep, 1 upgrade, -1 refused
    Lines log;              // the lines between the scope's opening and its close
};

TEST(RcInstallContext, DecidesCompatibilityAndLogsTheAgentsList)
{
    const SNimboAgentVersion v1(1, 0, 0, 0), v15(1, 5, 0, 0), v2(2, 0, 0, 0);
    auto versions = [](const std::wstring& installed) {
        return Lines{L"I2 Declared agent version: [1.5.0.0].", L"I2 Version of the already installed agent: [" + installed + L"]."};
    };
    auto plus = [](Lines a, const Lines& b) { return logtest::Append(a, b), a; };
    const Lines listHead = At(L"I2 ", {L"Compatibility list for the installed agent:", L"{"});
    const SCompatibilityCase cases[] = {
        {"same version: no list", v15, v15, {v1}, 0, versions(L"1.5.0.0")},
        {"newer, declared in its list", v2, v15, {v15, v1}, 0,
         plus(plus(versions(L"2.0.0.0"), listHead),
              {L"I3 1.0.0.0", L"I3 1.5.0.0", L"I2 }", L"I2 The specified agent package is compatible with the installed agent."})},
        {"newer, not in its list", v2, v15, {}, -1, plus(plus(versions(L"2.0.0.0"), listHead), {L"I2 }"})},
        {"older, not in its list", v1, v15, {v2}, 1,
         plus(plus(versions(L"1.0.0.0"), listHead),
              {L"I3 2.0.0.0", L"I2 }", L"W2 The newer agent package should be installed on the remote host."})},
    };
    for (const SCompatibilityCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        auto recorder = std::make_shared<CLogRecorder>();
        rconsole::CRcInstallContext context(nullptr, std::make_shared<rconsole::CRcRpcClientSlot>(), logtest::RecordingLog(recorder));
        context.GetPolicy()->SetAgentVersion(c.declared);
        const rconsole::CRcCompatibilitySet set(c.compatibility.begin(), c.compatibility.end());
        const std::wstring scope = L"T1 Checking whether already installed agent is compatible with the specified one.";
        Lines expected{scope};
        logtest::Append(expected, c.log);
        if (c.outcome < 0)
        {
            CExc e = filestest::Raised([&] { context.CheckCompatibility(c.installed, set); });
            EXPECT_EQ(filestest::Sentences(e), (Lines{MsgText(162), MsgText(163, L"2.0.0.0", L"1.5.0.0")}));
            EXPECT_EQ(e.GetHResult(), E_FAIL);
            expected.push_back(scope + L"Failed.");
        }
        else
        {
            EXPECT_EQ(context.CheckCompatibility(c.installed, set), c.outcome == 1);
            expected.push_back(scope + L"Ok.");
        }
        EXPECT_EQ(recorder->lines, expected);
    }
}

// A guest whose share is a scratch folder; the account is admin / pw.
class CShareGuest
{
public:
    explicit CShareGuest(const char* host, const std::string& moreLines = std::string()) : m_host(host, host + strlen(host))
    {
        const std::string share(m_share.Path().begin(), m_share.Path().end());
        remote_test::UseGuests(std::string("[guest ") + host + "]\nadmin_share = " + share + "\naccount = admin | pw\n" + moreLines);
    }
    std::shared_ptr<CAdminShareConnection> Connect() const
    {
        return std::make_shared<CAdminShareConnection>(L"\\\\" + m_host + L"\\ADMIN$", L"admin", L"pw", std::make_shared<util::CLog>());
    }
    const filestest::CScratchFolder& Share() const { return m_share; }
    const std::wstring& Host() const { return m_host; }

private:
    std::wstring m_host;
    filestest::CScratchFolder m_share;
};

TEST(RcInstallContext, TwoInstallersOfOneGuestTakeTheLockInTurn)
{
    CShareGuest guest("lockguest");
    auto slot = std::make_shared<rconsole::CRcRpcClientSlot>();
    rconsole::CRcInstallContext first(guest.Connect(), slot, std::make_shared<util::CLog>());
    rconsole::CRcInstallContext second(guest.Connect(), slot, std::make_shared<util::CLog>());
    first.GetPolicy()->SetServiceName(L"RcLab");
    second.GetPolicy()->SetServiceName(L"RcLab");
    auto held = first.LockInstallation();
    EXPECT_TRUE(util::FileExists(guest.Share() / L"RcLab.lck"));
    std::atomic<bool> released{false}, overlapped{false}, taken{false};
    std::thread waiter([&] {
        auto lock = second.LockInstallation();
        overlapped = !released;
        taken = true;
    });
    Sleep(1500);   // the second installer retries once a second
    EXPECT_FALSE(taken);
    released = true;
    held.reset();
    waiter.join();
    EXPECT_TRUE(taken);
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(util::FileExists(guest.Share() / L"RcLab.lck"));
}

// An endpoint that refuses the session: still published, the RPC failure is the answer; gone
// from the map by the second look, the agent counts as missing and is installed (which fails
// here: the guest's metrics were never collected).
TEST(RcInstallContext, PublishedEndpointThatRefusesTheSession)
{
    const std::string endpoint = "endpoint = {659904BC-90B4-4731-BDAC-58F840593214} | 1.0 | ncacn_ip_tcp:127.0.0.1[1] | NimboRemoteConsole\n";
    const std::wstring binding = L"ncacn_ip_tcp:127.0.0.1[1]";
    for (bool vanishes : {false, true})
    {
        SCOPED_TRACE(vanishes ? "vanished" : "still published");
        CShareGuest guest("deadguest", endpoint + (vanishes ? "[fail]\nRpcMgmtEpEltInqNextW = 1772 after 1\n" : ""));
        auto recorder = std::make_shared<CLogRecorder>();
        auto slot = std::make_shared<rconsole::CRcRpcClientSlot>();
        rconsole::CRcInstallContext context(guest.Connect(), slot, logtest::RecordingLog(recorder, util::LogWarning));
        CExc e = filestest::Raised([&] { context.ConnectOrInstall(); });
        const Lines sentences = filestest::Sentences(e);
        const Lines connectFailure = {MsgText(220, L"deadguest"), MsgText(124, L"RcConnect", L"deadguest")};
        Lines expected = {MsgText(149, L"deadguest"), MsgText(vanishes ? 155 : 153)};
        if (!vanishes)
            logtest::Append(expected, connectFailure);
        ASSERT_GE(sentences.size(), expected.size()) << e.GetFullText();
        EXPECT_EQ(Lines(sentences.begin(), sentences.begin() + expected.size()), expected);
        CRpcExc refused(RPC_S_SERVER_UNAVAILABLE);
        refused.AddMessage(124, L"RcConnect", L"deadguest");
        refused.AddMessage(220, L"deadguest");
        Lines warnings = {MsgText(216, binding)};
        for (const std::wstring& sentence : refused.GetMessages())
            logtest::Append(warnings, logtest::LinesOf(sentence));
        warnings.push_back(MsgText(vanishes ? 218 : 217));
        // Every endpoint-map lookup warns that it goes on unauthenticated (Wine's runtime has no
        // authentication service): those groups, whatever they say, are not this scenario's.
        const Lines logged = recorder->Texts(util::LogWarning);
        const auto first = std::find(logged.begin(), logged.end(), warnings[0]);
        const Lines lookup(logged.begin(), first);
        Lines own;
        for (auto it = first; it != logged.end();)
        {
            const bool skip = !lookup.empty() && size_t(logged.end() - it) >= lookup.size() && std::equal(lookup.begin(), lookup.end(), it);
            it = skip ? it + lookup.size() : (own.push_back(*it), it + 1);
        }
        EXPECT_EQ(Lines(own.begin(), own.begin() + std::min(own.size(), warnings.size())), warnings);
        EXPECT_EQ(slot->Get(), nullptr);
    }
}

// Installer and install-info objects work on one context: every install-info object writes
// the same policy, and the members that take nothing from the caller check nothing.
TEST(RcInstallerObjects, ShareOneContextAndStoreTheDescriptionAsGiven)
{
    CComApartment com;
    auto context = std::make_shared<rconsole::CRcInstallContext>(nullptr, std::make_shared<rconsole::CRcRpcClientSlot>(),
                                                                 std::make_shared<util::CLog>());
    CComPtr<INimboGAInstaller> installer = rconsole::com::CreateRcInstaller(context);
    EXPECT_EQ(installer->Uninstall(), E_NOTIMPL);
    EXPECT_EQ(installer->get_PluginSpecificInfo(nullptr), E_INVALIDARG);
    CComPtr<IDispatch> one, two;
    ASSERT_EQ(installer->get_PluginSpecificInfo(one.put()), S_OK);
    ASSERT_EQ(installer->get_PluginSpecificInfo(two.put()), S_OK);
    EXPECT_NE(one.get(), two.get());
    CComPtr<INimboRemoteConsoleInstallInfo> first, second;
    ASSERT_EQ(one.QueryInterface(IID_INimboRemoteConsoleInstallInfo, first), S_OK);
    ASSERT_EQ(two.QueryInterface(IID_INimboRemoteConsoleInstallInfo, second), S_OK);
    const rconsole::CRcSpecificInstall& policy = *context->GetPolicy();

    EXPECT_EQ(first->put_AgentExecPath(CBstr(std::wstring(L"a.exe")).get()), S_OK);
    EXPECT_EQ(second->put_AgentExecPath(CBstr(std::wstring(L"b.exe")).get()), S_OK);
    EXPECT_EQ(policy.GetExecPath(), L"b.exe");
    EXPECT_EQ(first->put_AgentExecPath(nullptr), E_INVALIDARG);
    EXPECT_EQ(first->AddAgentPckgFile(CBstr(std::wstring(L"x")).get(), nullptr), E_INVALIDARG);
    EXPECT_EQ(policy.GetExecPath(), L"b.exe");
    EXPECT_TRUE(policy.GetPackageFiles().empty());
    for (auto [value, stored] : {std::pair<VARIANT_BOOL, bool>{1, false}, {VARIANT_TRUE, true}, {0, false}, {-2, false}})
    {
        EXPECT_EQ(second->put_AgentAutoUninstall(value), S_OK);
        EXPECT_EQ(policy.GetAutoUninstall(), stored) << value;
    }
}

// The connection is registered "Both": with a plain count or unguarded fields, threads that
// take references, connect, hand out installers and disconnect at once corrupt it.
TEST(RcConnection, OneObjectServesSeveralThreadsAtOnce)
{
    CShareGuest guest("threadguest");
    CComApartment com(COINIT_MULTITHREADED);
    CComPtr<INimboGAConnection> conn;
    ASSERT_EQ(rconsole::com::CreateRcConnection(IID_INimboGAConnection, conn.put_void()), S_OK);
    std::atomic<int> unexpected{0}, installers{0}, ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            CComApartment mta(COINIT_MULTITHREADED);
            for (++ready; ready < 4;)
                ;   // start together: the races need both cores at once
            // First the count alone, then the members that share the fields.
            for (const ULONGLONG end = GetTickCount64() + 1000; GetTickCount64() < end;)
                for (int r = 0; r < 2000; ++r)
                    conn->AddRef(), conn->Release();
            for (const ULONGLONG end = GetTickCount64() + 1000; GetTickCount64() < end;)
            {
                HRESULT hr = S_OK;
                if (t == 0)
                    hr = conn->Connect(CBstr(guest.Host()).get(), CBstr(std::wstring(L"admin")).get(), CBstr(std::wstring(L"pw")).get());
                else if (t == 1)
                    hr = conn->Disconnect();
                CComPtr<IDispatch> ctrl;
                if (t == 2 && conn->get_Ctrl(ctrl.put()) == S_OK && !ctrl)
                    ++unexpected;
                CComPtr<INimboGAInstaller> installer;
                CComPtr<IDispatch> info;
                const HRESULT got = conn->get_Installer(installer.put());
                installers += got == S_OK;
                unexpected += hr != S_OK || (got != S_OK && got != E_FAIL) ||
                              (got == S_OK && installer->get_PluginSpecificInfo(info.put()) != S_OK);
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(unexpected, 0);
    EXPECT_GT(installers, 0);
    EXPECT_EQ(conn->AddRef(), 2u);
    EXPECT_EQ(conn->Release(), 1u);
}
}
