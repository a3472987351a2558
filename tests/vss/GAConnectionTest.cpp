// The two guest connection classes (VSS and remote console) as a caller sees them: InitLogging,
// Connect and Disconnect against simulated guests, in every calling order, with the HRESULT,
// the error information and the lines of the connection's log file.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/foundation/LogRecorder.h"
#include "tests/module/ComTestSupport.h"
#include "tests/remote/RemoteTestSupport.h"
#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "foundation/Messages.h"
#include "module/ClassMap.h"
#include "sim/SimGuest.h"

namespace
{
using util::CBstr;
using util::CComPtr;
using Lines = std::vector<std::wstring>;

const wchar_t kPassword[] = L"S3cr3t-Pa55";

HRESULT CreateVssConnection(REFIID iid, void** ppv) { return vss::CreateNimboVssGAConnection(nullptr, iid, ppv); }

struct SConnectionClass { const char* name; HRESULT (*create)(REFIID, void**); const wchar_t* progId; };

const SConnectionClass kClasses[] = {
    {"Vss", CreateVssConnection, L"NimboGuestAgentCtrl.NimboVssGAConnection.1"},
    {"RemoteConsole", rconsole::com::CreateRcConnection, L"NimboGuestAgentCtrl.NimboRemoteConsoleConnection.1"},
};

void PrintTo(const SConnectionClass& c, std::ostream* os) { *os << c.name; }

std::wstring Win32Sentence(DWORD code) { return L"Win32 error:" + GetWin32ErrorText(code) + L" Code: " + std::to_wstring(code); }

// "<level word>  <text>" of every line the messages become in the log file.
Lines InLog(const wchar_t* level, std::initializer_list<std::wstring> messages)
{
    Lines lines;
    for (const std::wstring& message : messages)
        for (const std::wstring& line : logtest::LinesOf(message))
            lines.push_back(std::wstring(level) + L"  " + line);
    return lines;
}

Lines operator+(Lines a, const Lines& b) { return logtest::Append(a, b), a; }

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
        logPath = temp + filestest::UniqueName(L"nimbo-conn") + L".log";
        // host1 knows one account; open1 accepts the session's default credentials.
        remote_test::UseGuests("[guest host1]\naccount = admin|" + std::string(kPassword, kPassword + wcslen(kPassword)) +
                               "\n[guest open1]\ndefault_credentials = accept\n");
        ASSERT_EQ(S_OK, GetParam().create(IID_INimboGAConnection, conn.put_void()));
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override
    {
        conn.reset();
        SetErrorInfo(0, nullptr);
        DeleteFileW(logPath.c_str());
        CoUninitialize();
    }

    HRESULT InitLogging(int level, const wchar_t* path)
    {
        return conn->InitLogging(static_cast<ENimboGuestAgentLogLevel>(level), path ? CBstr(std::wstring(path)).get() : nullptr);
    }
    HRESULT Connect(const wchar_t* machine, const wchar_t* login, const wchar_t* pwd)
    {
        const auto bstr = [](const wchar_t* text) { return text ? CBstr(std::wstring(text)) : CBstr(); };
        return conn->Connect(bstr(machine).get(), bstr(login).get(), bstr(pwd).get());
    }
    // The log after the rule and the version banner.
    Lines Log() const
    {
        const Lines lines = logtest::ReadLogFile(logPath);
        const auto end = std::find(lines.begin(), lines.end(), L"Info  }");
        return Lines(end == lines.end() ? lines.begin() : end + 1, lines.end());
    }

    std::wstring logPath;
    CComPtr<INimboGAConnection> conn;
};

std::string ClassName(const testing::TestParamInfo<SConnectionClass>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Classes, GAConnection, testing::ValuesIn(kClasses), ClassName);

TEST_P(GAConnection, ConnectResultErrorInfoAndLog)
{
    const struct { const char* name; const wchar_t *machine, *login, *pwd; DWORD win32Code; const wchar_t* account; } cases[] = {
        // win32Code 0: success; account: as the messages show it.
        {"right account", L"host1", L"admin", kPassword, 0, L"admin"},
        {"default credentials accepted", L"open1", nullptr, nullptr, 0, L""},
        {"wrong password", L"host1", L"admin", L"nope", ERROR_LOGON_FAILURE, L"admin"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(S_OK, GetParam().create(IID_INimboGAConnection, conn.put_void()));
        DeleteFileW(logPath.c_str());
        ASSERT_EQ(S_OK, InitLogging(ENimboGuestAgentLogTrace, logPath.c_str()));
        const HRESULT hr = Connect(c.machine, c.login, c.pwd);
        const comtest::SErrorInfo error = comtest::TakeErrorInfo();
        const std::wstring announce = MsgText(115, c.machine, c.account), failure = MsgText(101, c.machine, c.account);
        conn.reset();  // also closes the share connection, so the next case starts clean
        const Lines log = Log();
        if (c.win32Code == 0)
        {
            EXPECT_EQ(S_OK, hr);
            EXPECT_FALSE(error.present);
            // Releasing the object cancels the connection it made.
            const std::wstring cancel = MsgText(120, L"\\\\" + std::wstring(c.machine) + L"\\ADMIN$");
            EXPECT_EQ(InLog(L"Info", {announce, announce + L"Ok.", cancel, cancel + L"Ok."}), log);
            continue;
        }
        EXPECT_EQ(HRESULT_FROM_WIN32(c.win32Code), hr);
        ASSERT_TRUE(error.present);
        EXPECT_EQ(failure + L"\r\n" + Win32Sentence(c.win32Code), error.description);
        EXPECT_EQ(GetParam().progId, error.source);
        EXPECT_TRUE(IsEqualGUID(IID_INimboGAConnection, error.guid));
        // The scope closes as failed, then the failure and the error's sentences follow.
        EXPECT_EQ(InLog(L"Info", {announce, announce + L"Failed."}) + InLog(L"Error", {failure, Win32Sentence(c.win32Code)}),
                  log);
        for (const std::wstring& line : log)
            EXPECT_EQ(std::wstring::npos, line.find(kPassword)) << "the password reached the log";
        EXPECT_EQ(std::wstring::npos, error.description.find(kPassword)) << "the password reached the error";
    }
}

// Disconnect succeeds in every state and closes the share; everything works again after it;
// connecting again releases the previous connection first, so a failing reconnect leaves none.
// Null arguments are refused without error information (an earlier failure's is cleared) and
// change nothing: the writer in use stays.
TEST_P(GAConnection, DisconnectReconnectAndNullArgumentsInEveryOrder)
{
    EXPECT_EQ(S_OK, conn->Disconnect()) << "before any Connect";
    EXPECT_EQ(S_OK, conn->Disconnect()) << "twice";
    ASSERT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
    EXPECT_TRUE(SessionHas(L"\\\\host1\\ADMIN$"));
    EXPECT_EQ(S_OK, conn->Disconnect());
    EXPECT_FALSE(SessionHas(L"\\\\host1\\ADMIN$"));
    EXPECT_EQ(S_OK, conn->Disconnect()) << "after a Disconnect";

    ASSERT_EQ(S_OK, InitLogging(ENimboGuestAgentLogInfo, logPath.c_str()));
    ASSERT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
    EXPECT_EQ(S_OK, Connect(L"host1", L"admin", kPassword)) << "the same connection again";
    EXPECT_TRUE(SessionHas(L"\\\\host1\\ADMIN$"));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_LOGON_FAILURE), Connect(L"host1", L"admin", L"nope"));
    EXPECT_FALSE(SessionHas(L"\\\\host1\\ADMIN$"));
    const std::wstring announce = MsgText(115, L"host1", L"admin"), cancel = MsgText(120, L"\\\\host1\\ADMIN$");
    EXPECT_EQ(InLog(L"Info", {announce, announce + L"Ok.", announce, cancel, cancel + L"Ok.", announce + L"Ok.", announce,
                              cancel, cancel + L"Ok.", announce + L"Failed."}) +
                  InLog(L"Error", {MsgText(101, L"host1", L"admin"), Win32Sentence(ERROR_LOGON_FAILURE)}),
              Log());

    EXPECT_EQ(E_INVALIDARG, Connect(nullptr, L"admin", kPassword));
    EXPECT_FALSE(comtest::TakeErrorInfo().present);
    EXPECT_NE(S_OK, Connect(L"no-such-host", L"admin", kPassword));
    const size_t linesBefore = logtest::ReadLogFile(logPath).size();
    EXPECT_EQ(E_INVALIDARG, InitLogging(ENimboGuestAgentLogTrace, nullptr));
    EXPECT_FALSE(comtest::TakeErrorInfo().present);
    EXPECT_EQ(linesBefore, logtest::ReadLogFile(logPath).size());
    EXPECT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
    EXPECT_GT(logtest::ReadLogFile(logPath).size(), linesBefore);
}

TEST_P(GAConnection, InitLoggingWritesRuleAndBannerOnlyWhenTheLevelWrites)
{
    // Which COM levels write at all is LogTest's; here the banner and the first lines.
    const struct { int level; bool writes; } cases[] = {{ENimboGuestAgentLogNone, false}, {ENimboGuestAgentLogInfo, true},
                                                        {ENimboGuestAgentLogTrace, true}, {3, false}};
    const std::wstring announce = MsgText(115, L"host1", L"admin"), cancel = MsgText(120, L"\\\\host1\\ADMIN$");
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "level " << c.level);
        DeleteFileW(logPath.c_str());
        ASSERT_EQ(S_OK, InitLogging(c.level, logPath.c_str()));
        ASSERT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
        const Lines log = logtest::ReadLogFile(logPath);
        if (!c.writes)
        {
            EXPECT_EQ(0u, log.size());
            continue;
        }
        // The rule, the banner, then the connection (which replaces the one of the case before).
        ASSERT_GE(log.size(), 7u);
        EXPECT_EQ((Lines{L"Info  " + std::wstring(82, L'='), L"Info  " + MsgText(245), L"Info  {"}), Lines(log.begin(), log.begin() + 3));
        EXPECT_EQ(InLog(L"Info", {announce, cancel, cancel + L"Ok.", announce + L"Ok."}), Log());
    }
}
}
