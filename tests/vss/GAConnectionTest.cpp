// The two guest connection classes (VSS and remote console) as a caller sees them: InitLogging,
// Connect and Disconnect against simulated guests, in every calling order, with the HRESULT,
// the error information and the lines of the connection's log file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

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

struct SLogLine
{
    std::wstring level;
    std::wstring text;
};

bool operator==(const SLogLine& a, const SLogLine& b) { return a.level == b.level && a.text == b.text; }

std::string Narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result.push_back(c < 128 ? static_cast<char>(c) : '?');
    return result;
}

void PrintTo(const SLogLine& line, std::ostream* os) { *os << Narrow(line.level) << ": " << Narrow(line.text); }

std::wstring ReadFileText(const std::wstring& path)
{
    std::string bytes;
    if (FILE* f = _wfopen(path.c_str(), L"rb"))
    {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            bytes.append(buffer, n);
        fclose(f);
    }
    if (bytes.empty())
        return std::wstring();
    int chars = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], chars);
    return text;
}

// "[<time stamp>]<level>  <text>" per line.
std::vector<SLogLine> ReadLog(const std::wstring& path)
{
    std::vector<SLogLine> lines;
    const std::wstring text = ReadFileText(path);
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 2;
        size_t stamp = line.find(L']');
        size_t gap = line.find(L"  ", stamp);
        if (line.empty() || line[0] != L'[' || stamp == std::wstring::npos || gap == std::wstring::npos)
        {
            lines.push_back({L"?", line});
            continue;
        }
        lines.push_back({line.substr(stamp + 1, gap - stamp - 1), line.substr(gap + 2)});
    }
    return lines;
}

// The log lines from the first line holding `text` on.
std::vector<SLogLine> From(const std::vector<SLogLine>& lines, const std::wstring& text)
{
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].text == text)
            return std::vector<SLogLine>(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end());
    return {};
}

bool Contains(const std::vector<SLogLine>& lines, const SLogLine& wanted)
{
    for (const auto& line : lines)
        if (line == wanted)
            return true;
    return false;
}

std::wstring Win32Sentence(DWORD code)
{
    return L"Win32 error:" + GetWin32ErrorText(code) + L" Code: " + std::to_wstring(code);
}

// The lines a multi-line sentence becomes in the log (split at LF, CR before it dropped).
std::vector<SLogLine> AsLogLines(const std::wstring& level, const std::wstring& sentence)
{
    std::vector<SLogLine> lines;
    size_t start = 0;
    while (start < sentence.size())
    {
        size_t lf = sentence.find(L'\n', start);
        size_t end = lf == std::wstring::npos ? sentence.size() : lf;
        std::wstring part = sentence.substr(start, end - start);
        if (!part.empty() && part.back() == L'\r')
            part.pop_back();
        lines.push_back({level, part});
        if (lf == std::wstring::npos)
            break;
        start = lf + 1;
    }
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
        std::string bytes = Narrow(text);
        fwrite(bytes.data(), 1, bytes.size(), f);
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
        const std::vector<SLogLine> log = From(ReadLog(logPath), announce);
        ASSERT_FALSE(log.empty()) << "no line announces the connection";

        if (c.win32Code == 0)
        {
            EXPECT_EQ(S_OK, hr);
            EXPECT_FALSE(error.present);
            EXPECT_TRUE(Contains(log, {L"Info", announce + L"Ok."}));
            EXPECT_FALSE(Contains(log, {L"Info", announce + L"Failed."}));
        }
        else
        {
            EXPECT_EQ(HRESULT_FROM_WIN32(c.win32Code), hr);
            ASSERT_TRUE(error.present);
            EXPECT_EQ(failure + L"\r\n" + Win32Sentence(c.win32Code), error.description);
            EXPECT_EQ(GetParam().progId, error.source);
            EXPECT_TRUE(IsEqualGUID(IID_INimboGAConnection, error.guid));

            // The scope closes as failed, then the failure and the error's sentences follow.
            std::vector<SLogLine> expected = {{L"Info", announce + L"Failed."}, {L"Error", failure}};
            for (const auto& line : AsLogLines(L"Error", Win32Sentence(c.win32Code)))
                expected.push_back(line);
            ASSERT_GE(log.size(), expected.size() + 1);
            EXPECT_EQ(expected, std::vector<SLogLine>(log.end() - static_cast<std::ptrdiff_t>(expected.size()), log.end()));
        }
        EXPECT_EQ(std::wstring::npos, ReadFileText(logPath).find(kPassword)) << "the password reached the log";
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
    const auto log = From(ReadLog(logPath), L"Connecting to a remote host. Host: [host1]. Specified account: [admin].");
    EXPECT_TRUE(Contains(log, {L"Warning", L"There are multiple connections to the target server opened under a "
                                           L"security context that differs from the specified. These connections "
                                           L"will be closed."}));
    EXPECT_TRUE(Contains(log, {L"Warning", L"The network connection [\\\\HOST1\\IPC$] was cancelled."}));
    EXPECT_TRUE(Contains(log, {L"Info", L"Connecting to a remote host. Host: [host1]. Specified account: [admin].Ok."}));
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

TEST_P(GAConnection, ReleasingTheObjectClosesTheShare)
{
    ASSERT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
    ASSERT_TRUE(SessionHas(L"\\\\host1\\ADMIN$"));
    conn.reset();
    EXPECT_FALSE(SessionHas(L"\\\\host1\\ADMIN$"));
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
    const auto log = From(ReadLog(logPath), L"Connecting to a remote host. Host: [host1]. Specified account: [admin].");
    std::vector<std::wstring> texts;
    for (const auto& line : log)
        texts.push_back(line.text);
    const std::vector<std::wstring> expectedStart = {
        L"Connecting to a remote host. Host: [host1]. Specified account: [admin].",
        L"Connecting to a remote host. Host: [host1]. Specified account: [admin].Ok.",
        L"Connecting to a remote host. Host: [host1]. Specified account: [admin].",
        L"Cancelling connection to the network resource [\\\\host1\\ADMIN$].",
        L"Cancelling connection to the network resource [\\\\host1\\ADMIN$].Ok.",
        L"Connecting to a remote host. Host: [host1]. Specified account: [admin].Ok.",
        L"Connecting to a remote host. Host: [host1]. Specified account: [admin].",
        L"Cancelling connection to the network resource [\\\\host1\\ADMIN$].",
        L"Cancelling connection to the network resource [\\\\host1\\ADMIN$].Ok.",
        L"Connecting to a remote host. Host: [host1]. Specified account: [admin].Failed.",
    };
    ASSERT_GE(texts.size(), expectedStart.size());
    EXPECT_EQ(expectedStart, std::vector<std::wstring>(texts.begin(), texts.begin() + 10));
}

TEST_P(GAConnection, NullArgumentsAreRefusedWithoutErrorInfoOrSideEffects)
{
    ASSERT_EQ(S_OK, InitLogging(ENimboGuestAgentLogInfo, logPath.c_str()));

    // An earlier failure's error object must not be read as the reason for these.
    EXPECT_NE(S_OK, Connect(L"no-such-host", L"admin", kPassword));
    EXPECT_EQ(E_INVALIDARG, Connect(nullptr, L"admin", kPassword));
    EXPECT_FALSE(comtest::TakeErrorInfo().present);
    EXPECT_NE(S_OK, Connect(L"no-such-host", L"admin", kPassword));
    const size_t linesBefore = ReadLog(logPath).size();
    EXPECT_EQ(E_INVALIDARG, InitLogging(ENimboGuestAgentLogTrace, nullptr));
    EXPECT_FALSE(comtest::TakeErrorInfo().present);
    EXPECT_EQ(linesBefore, ReadLog(logPath).size());

    // The earlier writer is still the one in use.
    EXPECT_EQ(S_OK, Connect(L"host1", L"admin", kPassword));
    EXPECT_GT(ReadLog(logPath).size(), linesBefore);
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
        const auto log = ReadLog(logPath);
        if (!c.writes)
        {
            EXPECT_EQ(0u, log.size());
            continue;
        }
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ((SLogLine{L"Info", std::wstring(82, L'=')}), log[0]);
        EXPECT_EQ((SLogLine{L"Info", L"Guest agent control version info"}), log[1]);
        EXPECT_EQ((SLogLine{L"Info", L"{"}), log[2]);
        EXPECT_TRUE(Contains(log, {L"Info", L"Connecting to a remote host. Host: [host1]. Specified account: [admin].Ok."}));
    }
}

// A minimal outer object that aggregates the VSS connection.
class COuter final : public IUnknown
{
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override
    {
        if (IsEqualIID(iid, IID_IUnknown))
        {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(iid, ppv) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }

    ULONG refs = 1;
    IUnknown* inner = nullptr;
};

TEST(VssGAConnectionAggregation, WorksInsideAnAggregate)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    COuter outer;
    ASSERT_EQ(S_OK, vss::CreateNimboVssGAConnection(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    ASSERT_NE(nullptr, outer.inner);
    {
        CComPtr<INimboGAConnection> conn;
        ASSERT_EQ(S_OK, outer.QueryInterface(IID_INimboGAConnection, conn.put_void()));
        CComPtr<IUnknown> identity;
        ASSERT_EQ(S_OK, conn.QueryInterface(IID_IUnknown, identity));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.get()) << "the aggregate keeps one identity";
        EXPECT_EQ(S_OK, conn->Disconnect());
        EXPECT_EQ(E_INVALIDARG, conn->Connect(nullptr, nullptr, nullptr));
    }
    EXPECT_EQ(1u, outer.refs);
    outer.inner->Release();
    CoUninitialize();
}
}
