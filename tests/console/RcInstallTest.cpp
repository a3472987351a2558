// The console install policy's files and configuration, the installation lock between two
// installers of one guest, endpoints that refuse the session, and a connection object used from
// several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "NimboGuestAgentCtrl.h"
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

// `lines` as a recorder writes them, all at one level and depth.
Lines At(const wchar_t* prefix, const Lines& lines)
{
    Lines out;
    for (const std::wstring& line : lines)
        out.push_back(prefix + line);
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
    std::function<void(rconsole::CRcSpecificInstall&)> describe;
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
    const std::wstring pkg = package.Path(), agent = package / L"agent";
    const SPolicyCase cases[] = {
        {"defaults, no package file", [](auto&) {},
         {L"NimboRemoteConsole.dll=plugin"},
         "<ApplicationCfg AutoUninstall=\"true\" RpcSvcName=\"NimboRemoteConsole\"><Versioning AgentVersion=\"0.0.0.0\">"
         "<CompatibilityList/></Versioning><StartupCfg RelativePath=\"\" CmdLine=\"\" WorkingDir=\"\"/></ApplicationCfg>\n",
         {L"W2 The agent package does not contain any files."}},
        {"full description, sub-folders, repeated versions",
         [&](rconsole::CRcSpecificInstall& p) {
             p.SetServiceName(L"RcLab");
             p.SetAgentVersion(SNimboAgentVersion(2, 1, 0, 7));
             for (auto v : {SNimboAgentVersion(2, 0, 0, 0), SNimboAgentVersion(1, 5, 0, 0), SNimboAgentVersion(2, 0, 0, 0)})
                 p.AddCompatibility(v);
             p.SetAutoUninstall(false);
             p.AddPackageFile(pkg + L"\\probe.exe", L"bin\\probe.exe");
             p.AddPackageFile(pkg + L"\\data.txt", L"bin\\deep\\er\\data.txt");
             p.SetExecPath(L"bin\\probe.exe");
             p.SetWorkingDir(L"bin");
         },
         {L"NimboRemoteConsole.dll=plugin", L"bin\\probe.exe=probe", L"bin\\deep\\er\\data.txt=data"},
         "<ApplicationCfg AutoUninstall=\"false\" RpcSvcName=\"RcLab\"><Versioning AgentVersion=\"2.1.0.7\"><CompatibilityList>"
         "<Entry AgentVersion=\"1.5.0.0\"/><Entry AgentVersion=\"2.0.0.0\"/></CompatibilityList></Versioning>"
         "<StartupCfg RelativePath=\"bin\\probe.exe\" CmdLine=\"\" WorkingDir=\"bin\"/></ApplicationCfg>\n",
         {L"T2 File [" + pkg + L"\\probe.exe] is installed. Target path: [bin\\probe.exe].",
          L"T2 File [" + pkg + L"\\data.txt] is installed. Target path: [bin\\deep\\er\\data.txt]."}},
        {"missing package file",
         [&](rconsole::CRcSpecificInstall& p) {
             p.AddPackageFile(pkg + L"\\probe.exe", L"probe.exe");
             p.AddPackageFile(pkg + L"\\gone.exe", L"gone.exe");
         },
         {L"NimboRemoteConsole.dll=plugin", L"probe.exe=probe"}, "",
         {L"Cannot upload the agent package to the target machine.",
          L"Cannot copy file. Source file: [" + pkg + L"\\gone.exe]. Target file: [" + agent + L"\\gone.exe].", L"CopyFile() failed."}},
    };
    for (const SPolicyCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        filestest::CScratchFolder target(agent);
        auto recorder = std::make_shared<CLogRecorder>();
        rconsole::CRcSpecificInstall policy(logtest::RecordingLog(recorder));
        c.describe(policy);
        const std::wstring config = target / L"RemoteConsoleCfg.xml";
        if (c.config.empty())
        {
            CExc e = filestest::Raised([&] { policy.CopyAgentFiles(pkg, agent); });
            filestest::ExpectSentencesAndWin32Line(e, c.log, ERROR_FILE_NOT_FOUND);
            EXPECT_FALSE(util::FileExists(config));
        }
        else
        {
            policy.CopyAgentFiles(pkg, agent);
            EXPECT_EQ(filestest::ReadAll(config), c.config);
            Lines expected = At(L"T1 ", {L"Uploading console files.", L"Uploading console files.Ok.",
                                         L"Uploading the agent package to the target machine."});
            logtest::Append(expected, c.log);
            logtest::Append(expected, At(L"T1 ", {L"Uploading the agent package to the target machine.Ok.",
                                                  MsgText(189, agent), MsgText(189, agent) + L"Ok."}));
            EXPECT_EQ(recorder->lines, expected);
        }
        for (const std::wstring& file : c.files)
        {
            const size_t eq = file.find(L'=');
            EXPECT_EQ(filestest::ReadAll(target / file.substr(0, eq)), std::string(file.begin() + eq + 1, file.end())) << file;
        }
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
        // The lookups' own warnings (no authentication under Wine) are not this scenario's.
        Lines own;
        for (const std::wstring& line : recorder->Texts(util::LogWarning))
            if (std::find(warnings.begin(), warnings.end(), line) != warnings.end())
                own.push_back(line);
        EXPECT_EQ(own, warnings);
        EXPECT_EQ(slot->Get(), nullptr);
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
