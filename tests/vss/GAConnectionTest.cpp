// The two guest connection classes (VSS and remote console) as a caller sees them: InitLogging,
// Connect and Disconnect against simulated guests, in every calling order, with the HRESULT,
// the error information and the lines of the connection's log file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/foundation/LogRecorder.h"
#include "tests/module/ComTestSupport.h"
#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "foundation/Messages.h"
#include "module/ClassMap.h"
#include "sim/SimGuest.h"

namespace
{
using util::CBstr;
using util::CComPtr;

const wchar_t kPassword[] = L"S3cr3t-Pa55";

HRESULT CreateVssConnection(REFIID iid, void** ppv)
{
    return vss::CreateNimboVssGAConnection(nullptr, iid, ppv);
}

struct SConnectionClass
{
    const char* name;
    HRESULT (*create)(REFIID, void**);
    const wchar_t* progId;
};

const SConnectionClass kClasses[] = {
    {"Vss", CreateVssConnection, L"NimboGuestAgentCtrl.NimboVssGAConnection.1"},
    {"RemoteConsole", rconsole::com::CreateRcConnection, L"NimboGuestAgentCtrl.NimboRemoteConsoleConnection.1"},
};

void PrintTo(const SConnectionClass& c, std::ostream* os) { *os << c.name; }

std::wstring Win32Sentence(DWORD code)
{
    return L"Win32 error:" + GetWin32ErrorText(code) + L" Code: " + std::to_wstring(code);
}

// "<level word>  <text>" of every line a message becomes in the log file.
std::vector<std::wstring> InLog(const wchar_t* level, const std::wstring& message)
{
    std::vector<std::wstring> lines;
    for (const std::wstring& line : logtest::LinesOf(message))
        lines.push_back(std::wstring(level) + L"  " + line);
    return lines;
}

bool SessionHas(const std::wstring& remoteName)
{
    auto lock = sim::WorldLock();
    for (const auto& c : sim::Session())
        if (c.hasRemoteName && sim::EqualNoCase(c.remoteName, remoteName))
            return true;
    return false;
}

class GAConnection : public testing::TestWithParam<SConnectionClass>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        std::string unique = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : unique)
            if (c == '/')
                c = '_';
        m_dir = std::wstring(temp) + L"nimbo-conn-" + std::wstring(unique.begin(), unique.end()) + L"-" +
                std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(m_dir.c_str(), nullptr);
        logPath = m_dir + L"\\conn.log";
        DeleteFileW(logPath.c_str());
        WriteGuests(L"");
        ASSERT_EQ(S_OK, GetParam().create(IID_INimboGAConnection, conn.put_void()));
        SetErrorInfo(0, nullptr);
    }

    void TearDown() override
    {
        conn.reset();
        SetErrorInfo(0, nullptr);
        CoUninitialize();
    }

    // host1 knows one account; open1 accepts the session's default credentials.
    void WriteGuests(const std::wstring& session)
    {
        const std::wstring path = m_dir + L"\\guests-" + std::to_wstring(++m_generation) + L".txt";
        std::wstring text = L"[guest host1]\nalias = host1.corp.example\naccount = admin|" + std::wstring(kPassword) +
                            L"\n\n[guest open1]\ndefault_credentials = accept\n";
        if (!session.empty())
            text += L"\n[session]\n" + session;
        FILE* f = _wfopen(path.c_str(), L"wb");
        ASSERT_NE(nullptr, f);
        fwrite(std::string(text.begin(), text.end()).data(), 1, text.size(), f);
        fclose(f);
        ASSERT_TRUE(SetEnvironmentVariableW(L"NIMBO_SIM_GUESTS", path.c_str()));
        sim::Refresh();
    }

    HRESULT InitLogging(int level, const wchar_t* path)
    {
        CBstr bstr;
        if (path)
            bstr = CBstr(std::wstring(path));
        return conn->InitLogging(static_cast<ENimboGuestAgentLogLevel>(level), bstr.get());
    }

    HRESULT Connect(const wchar_t* machine, const wchar_t* login, const wchar_t* pwd)
    {
        CBstr m, l, p;
        if (machine)
            m = CBstr(std::wstring(machine));
        if (login)
            l = CBstr(std::wstring(login));
        if (pwd)
            p = CBstr(std::wstring(pwd));
        return conn->Connect(m.get(), l.get(), p.get());
    }

    // The log after the rule and the version banner.
    std::vector<std::wstring> Log() const
    {
        const std::vector<std::wstring> lines = logtest::ReadLogFile(logPath);
        const auto end = std::find(lines.begin(), lines.end(), L"Info  }");
        return std::vector<std::wstring>(end == lines.end() ? lines.begin() : end + 1, lines.end());
    }

    std::wstring logPath;
    CComPtr<INimboGAConnection> conn;

private:
    std::wstring m_dir;
    int m_generation = 0;
};

std::string ClassName(const testing::TestParamInfo<SConnectionClass>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Classes, GAConnection, testing::ValuesIn(kClasses), ClassName);

struct SConnectCase
{
    const char* name;
    const wchar_t* machine;
    const wchar_t* login;
    const wchar_t* pwd;
    DWORD win32Code;           // 0: success
    const wchar_t* account;    // as the messages show it
};

TEST_P(GAConnection, ConnectResultErrorInfoAndLog)
{
    const SConnectCase cases[] = {
        {"right account", L"host1", L"admin", kPassword, 0, L"admin"},
        {"guest by its full name", L"host1.corp.example", L"admin", kPassword, 0, L"admin"},
        {"default credentials accepted", L"open1", nullptr, nullptr, 0, L""},
        {"wrong password", L"host1", L"admin", L"nope", ERROR_LOGON_FAILURE, L"admin"},
        {"right password, wrong account", L"host1", L"guest", kPassword, ERROR_LOGON_FAILURE, L"guest"},
        {"no account where one is needed", L"host1", nullptr, nullptr, ERROR_LOGON_FAILURE, L""},
        {"unknown host", L"nohost", L"admin", kPassword, ERROR_BAD_NETPATH, L"admin"},
    };
    for (const SConnectCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(S_OK, GetParam().create(IID_INimboGAConnection, conn.put_void()));
        DeleteFileW(logPath.c_str());
        ASSERT_EQ(S_OK, InitLogging(ENimboGuestAgentLogTrace, logPath.c_str()));

        const HRESULT hr = Connect(c.machine, c.login, c.pwd);
        const comtest::SErrorInfo error = comtest::TakeErrorInfo();
        const std::wstring announce =
            L"Connecting to a remote host. Host: [" + std::wstring(c.machine) + L"]. Specified account: [" + c.account + L"].";
        const std::wstring failure = L"Cannot connect to the host's administrative share. Host:  [" +
                                     std::wstring(c.machine) + L"]. Account: [" + c.account + L"].";
        conn.reset();  // also closes the share connection, so the next case starts clean
        const std::vector<std::wstring> log = Log();

        std::vector<std::wstring> expected = InLog(L"Info", announce);
        if (c.win32Code == 0)
        {
            EXPECT_EQ(S_OK, hr);
            EXPECT_FALSE(error.present);
            // Releasing the object cancels the connection it made.
            const std::wstring cancel = MsgText(120, L"\\\\" + std::wstring(c.machine) + L"\\ADMIN$");
            for (const std::wstring& line : {announce + L"Ok.", cancel, cancel + L"Ok."})
                logtest::Append(expected, InLog(L"Info", line));
        }
        else
        {
            EXPECT_EQ(HRESULT_FROM_WIN32(c.win32Code), hr);
            ASSERT_TRUE(error.present);
            EXPECT_EQ(failure + L"\r\n" + Win32Sentence(c.win32Code), error.description);
            EXPECT_EQ(GetParam().progId, error.source);
            EXPECT_TRUE(IsEqualGUID(IID_INimboGAConnection, error.guid));
            // The scope closes as failed, then the failure and the error's sentences follow.
            logtest::Append(expected, InLog(L"Info", announce + L"Failed."));
            logtest::Append(expected, InLog(L"Error", failure));
            logtest::Append(expected, InLog(L"Error", Win32Sentence(c.win32Code)));
        }
        EXPECT_EQ(expected, log);
        for (const std::wstring& line : log)
            EXPECT_EQ(std::wstring::npos, line.find(kPassword)) << "the password reached the log";
        EXPECT_EQ(std::wstring::npos, error.description.find(kPassword)) << "the password reached the error";
    }
}

TEST_P(GAConnection, CredentialConflictIsRepaired)
{
    WriteGuests(L"connection = \\\\HOST1\\IPC$ user=someone\n");
    ASSERT_TRUE(SessionHas(L"\\\\HOST1\\IPC$"));
    ASSERT_EQ(S_OK, InitLogging(ENimboGuestAgentLogInfo, logPath.c_str()));

    EXPECT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
    EXPECT_FALSE(SessionHas(L"\\\\HOST1\\IPC$"));
    EXPECT_TRUE(SessionHas(L"\\\\host1\\ADMIN$"));
    const std::wstring announce = MsgText(115, L"host1", L"admin");
    std::vector<std::wstring> expected = InLog(L"Info", announce);
    logtest::Append(expected, InLog(L"Warning", MsgText(117)));
    logtest::Append(expected, InLog(L"Warning", MsgText(119, L"\\\\HOST1\\IPC$")));
    logtest::Append(expected, InLog(L"Info", announce + L"Ok."));
    EXPECT_EQ(expected, Log());
    EXPECT_EQ(S_OK, conn->Disconnect());
}

TEST_P(GAConnection, DisconnectSucceedsInEveryStateAndClosesTheShare)
{
    EXPECT_EQ(S_OK, conn->Disconnect()) << "before any Connect";
    EXPECT_EQ(S_OK, conn->Disconnect()) << "twice";
    ASSERT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
    EXPECT_TRUE(SessionHas(L"\\\\host1\\ADMIN$"));
    EXPECT_EQ(S_OK, conn->Disconnect());
    EXPECT_FALSE(SessionHas(L"\\\\host1\\ADMIN$"));
    EXPECT_EQ(S_OK, conn->Disconnect()) << "after a Disconnect";

    // Everything works again after a Disconnect.
    EXPECT_EQ(S_OK, InitLogging(ENimboGuestAgentLogInfo, logPath.c_str()));
    EXPECT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
    EXPECT_TRUE(SessionHas(L"\\\\host1\\ADMIN$"));
}

TEST_P(GAConnection, ConnectAgainReleasesThePreviousConnectionFirst)
{
    ASSERT_EQ(S_OK, InitLogging(ENimboGuestAgentLogInfo, logPath.c_str()));
    ASSERT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
    EXPECT_EQ(S_OK, Connect(L"host1", L"admin", kPassword)) << "the same connection again";
    EXPECT_TRUE(SessionHas(L"\\\\host1\\ADMIN$"));

    // A failing reconnect leaves no connection behind: the old one went before the attempt.
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_LOGON_FAILURE), Connect(L"host1", L"admin", L"nope"));
    EXPECT_FALSE(SessionHas(L"\\\\host1\\ADMIN$"));
    const std::wstring announce = MsgText(115, L"host1", L"admin"), cancel = MsgText(120, L"\\\\host1\\ADMIN$");
    std::vector<std::wstring> expected;
    for (const std::wstring& line : {announce, announce + L"Ok.", announce, cancel, cancel + L"Ok.", announce + L"Ok.",
                                     announce, cancel, cancel + L"Ok.", announce + L"Failed."})
        logtest::Append(expected, InLog(L"Info", line));
    logtest::Append(expected, InLog(L"Error", MsgText(101, L"host1", L"admin")));
    logtest::Append(expected, InLog(L"Error", Win32Sentence(ERROR_LOGON_FAILURE)));
    EXPECT_EQ(expected, Log());
}

TEST_P(GAConnection, NullArgumentsAreRefusedWithoutErrorInfoOrSideEffects)
{
    ASSERT_EQ(S_OK, InitLogging(ENimboGuestAgentLogInfo, logPath.c_str()));

    // An earlier failure's error object must not be read as the reason for these.
    EXPECT_NE(S_OK, Connect(L"no-such-host", L"admin", kPassword));
    EXPECT_EQ(E_INVALIDARG, Connect(nullptr, L"admin", kPassword));
    EXPECT_FALSE(comtest::TakeErrorInfo().present);
    EXPECT_NE(S_OK, Connect(L"no-such-host", L"admin", kPassword));
    const size_t linesBefore = logtest::ReadLogFile(logPath).size();
    EXPECT_EQ(E_INVALIDARG, InitLogging(ENimboGuestAgentLogTrace, nullptr));
    EXPECT_FALSE(comtest::TakeErrorInfo().present);
    EXPECT_EQ(linesBefore, logtest::ReadLogFile(logPath).size());

    // The earlier writer is still the one in use.
    EXPECT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
    EXPECT_GT(logtest::ReadLogFile(logPath).size(), linesBefore);
}

TEST_P(GAConnection, InitLoggingWritesRuleAndBannerOnlyWhenTheLevelWrites)
{
    struct SCase
    {
        int level;
        bool writes;
    } cases[] = {{ENimboGuestAgentLogNone, false}, {ENimboGuestAgentLogInfo, true}, {ENimboGuestAgentLogTrace, true},
                 {3, false}, {-1, false}, {0x7FFFFFFF, false}};
    for (const SCase& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "level " << c.level);
        DeleteFileW(logPath.c_str());
        ASSERT_EQ(S_OK, InitLogging(c.level, logPath.c_str()));
        ASSERT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
        const std::vector<std::wstring> log = logtest::ReadLogFile(logPath);
        if (!c.writes)
        {
            EXPECT_EQ(0u, log.size());
            continue;
        }
        // The rule, the banner, then the connection (which replaces the one of the case before).
        ASSERT_GE(log.size(), 7u);
        const std::vector<std::wstring> head = {L"Info  " + std::wstring(82, L'='), L"Info  " + MsgText(245), L"Info  {"};
        EXPECT_EQ(head, std::vector<std::wstring>(log.begin(), log.begin() + 3));
        const std::wstring announce = MsgText(115, L"host1", L"admin"), cancel = MsgText(120, L"\\\\host1\\ADMIN$");
        std::vector<std::wstring> expected;
        for (const std::wstring& line : {announce, cancel, cancel + L"Ok.", announce + L"Ok."})
            logtest::Append(expected, InLog(L"Info", line));
        EXPECT_EQ(expected, Log());
    }
}

}
