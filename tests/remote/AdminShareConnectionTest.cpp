// CAdminShareConnection against simulated guests.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/Exc.h"
#include "remote/AdminShareConnection.h"
#include "remote/RemoteTestSupport.h"
#include "tests/sim/SimGuest.h"

using namespace remote_test;

namespace
{
const char kGuest[] =
    "[guest vm1.example.test]\n"
    "account = EXAMPLE\\admin | S3cret-pw\n"
    "account = localadmin | S3cret-pw\n"
    "share_path = D:\\WINNT\n";

const std::wstring kShare = L"\\\\vm1.example.test\\ADMIN$";
const std::wstring kPassword = L"S3cret-pw";

std::wstring Win32Line(DWORD code)
{
    return CWin32Exc(code).GetMessages().back();
}

// The remote names of the session's connections ("(none)" for an entry without one), read
// from the simulation so that injected failures do not hide them.
std::vector<std::wstring> SessionConnections()
{
    auto lock = sim::WorldLock();
    std::vector<std::wstring> names;
    for (const auto& c : sim::Session())
        names.push_back(c.hasRemoteName ? c.remoteName : L"(none)");
    return names;
}

// Runs the constructor and returns the exception it raised; fails the test if none.
CExc ConnectFailure(const std::wstring& login, const std::wstring& password,
                    const std::shared_ptr<util::CLog>& log = RecordingLog(std::make_shared<CLineRecorder>()),
                    const std::wstring& share = kShare)
{
    return Raised([&] { CAdminShareConnection(share, login, password, log); });
}

bool Mentions(const std::vector<std::wstring>& texts, const std::wstring& what)
{
    for (const auto& t : texts)
        if (t.find(what) != std::wstring::npos)
            return true;
    return false;
}
}

TEST(AdminShareConnection, ConnectsAndCancelsItsConnectionWhenDestroyed)
{
    UseGuests(kGuest);
    auto recorder = std::make_shared<CLineRecorder>();
    {
        CAdminShareConnection connection(kShare, L"EXAMPLE\\admin", kPassword, RecordingLog(recorder));
        EXPECT_TRUE(connection.IsConnected());
        EXPECT_EQ(std::vector<std::wstring>{kShare}, SessionConnections());
    }
    EXPECT_EQ(std::vector<std::wstring>{}, SessionConnections());
    EXPECT_TRUE(recorder->Has(util::LogInfo, MsgText(120, kShare) + L"Ok."));
}

TEST(AdminShareConnection, DestructorDropsAFailedCancellation)
{
    UseGuests(std::string(kGuest) + "fail.WNetCancelConnectionW = 2401\n");
    auto recorder = std::make_shared<CLineRecorder>();
    {
        CAdminShareConnection connection(kShare, L"EXAMPLE\\admin", kPassword, RecordingLog(recorder));
    }
    EXPECT_EQ(std::vector<std::wstring>{kShare}, SessionConnections());
    EXPECT_TRUE(recorder->Has(util::LogInfo, MsgText(120, kShare) + L"Failed."));
    // Nothing reaches the caller, so the log says why the share stays connected.
    EXPECT_EQ(recorder->Texts(util::LogWarning),
              (std::vector<std::wstring>{MsgText(107, kShare), L"Win32 error:" + GetWin32ErrorText(2401) + L" Code: 2401"}));
}

TEST(AdminShareConnection, ConnectFailuresCarryTheSystemCodeOnly)
{
    struct
    {
        const char* guests;
        std::wstring share;
        std::wstring login;
        std::wstring password;
        DWORD code;
    } cases[] = {
        {kGuest, kShare, L"EXAMPLE\\admin", L"wrong", ERROR_LOGON_FAILURE},
        {kGuest, kShare, L"EXAMPLE\\nobody", kPassword, ERROR_LOGON_FAILURE},
        {kGuest, kShare, L"", L"", ERROR_LOGON_FAILURE},
        {kGuest, L"\\\\vm9\\ADMIN$", L"EXAMPLE\\admin", kPassword, ERROR_BAD_NETPATH},
        {"[guest vm1.example.test]\nfail.WNetAddConnection2W = 1311\n", kShare, L"a", L"b", ERROR_NO_LOGON_SERVERS},
        // A conflict is repaired once; a second refusal is raised as it is.
        {"[guest vm1.example.test]\nfail.WNetAddConnection2W = 1219\n", kShare, L"a", L"b",
         ERROR_SESSION_CREDENTIAL_CONFLICT},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.guests);
        UseGuests(c.guests);
        auto recorder = std::make_shared<CLineRecorder>();
        CExc e = ConnectFailure(c.login, c.password, RecordingLog(recorder), c.share);
        EXPECT_EQ(HRESULT_FROM_WIN32(c.code), e.GetHResult());
        EXPECT_EQ(std::vector<std::wstring>{Win32Line(c.code)}, Sentences(e));
        for (const auto& line : recorder->lines)
            EXPECT_EQ(std::wstring::npos, line.find(kPassword)) << line;
    }
}

TEST(AdminShareConnection, ShareMappedToALocalDeviceIsUsedButNeverCancelled)
{
    UseGuests(std::string(kGuest) + "[session]\nconnection = \\\\vm1.example.test\\ADMIN$ local=Z: user=EXAMPLE\\admin\n");
    auto recorder = std::make_shared<CLineRecorder>();
    {
        CAdminShareConnection connection(kShare, L"EXAMPLE\\admin", kPassword, RecordingLog(recorder));
        EXPECT_FALSE(connection.IsConnected());
    }
    EXPECT_EQ(std::vector<std::wstring>{kShare}, SessionConnections());
    EXPECT_TRUE(recorder->Has(util::LogTrace, MsgText(116, kShare)));
    EXPECT_TRUE(recorder->Texts(util::LogInfo).empty());
}

TEST(AdminShareConnection, CredentialConflictCancelsTheServersConnectionsByFullOrShortName)
{
    UseGuests(std::string(kGuest) +
              "[guest vm2.example.test]\n"
              "[session]\n"
              "connection = \\\\VM1\\IPC$\n"
              "connection = \\\\vm2.example.test\\IPC$\n"
              "connection = (none)\n"
              "connection = x\n"
              "connection = \\\\vm1.example.test\n"
              "connection = \\\\vm1.other.test\\C$ user=OTHER\\op\n"
              "connection = \\\\VM1.EXAMPLE.TEST\\C$ user=EXAMPLE\\backup\n");
    auto recorder = std::make_shared<CLineRecorder>();
    CAdminShareConnection connection(kShare, L"EXAMPLE\\admin", kPassword, RecordingLog(recorder));

    EXPECT_TRUE(connection.IsConnected());
    const std::vector<std::wstring> left = {L"\\\\vm2.example.test\\IPC$", L"(none)", L"x",
                                            L"\\\\vm1.example.test", kShare};
    EXPECT_EQ(left, SessionConnections());
    EXPECT_EQ(std::vector<std::wstring>({MsgText(117), MsgText(119, L"\\\\VM1\\IPC$"),
                                         MsgText(119, L"\\\\vm1.other.test\\C$"),
                                         MsgText(119, L"\\\\VM1.EXAMPLE.TEST\\C$")}),
              recorder->Texts(util::LogWarning));
    // Every named entry is looked at, whatever the server.
    EXPECT_TRUE(recorder->Has(util::LogTrace, MsgText(118, L"\\\\vm2.example.test\\IPC$")));
    EXPECT_TRUE(recorder->Has(util::LogTrace, MsgText(118, L"x")));
    EXPECT_FALSE(Mentions(recorder->Texts(util::LogTrace), L"(none)"));
}

// The defaults are asked for with null pointers; after a conflict the empty strings are
// passed as they are.
TEST(AdminShareConnection, EmptyAccountIsNullFirstAndEmptyOnTheRetry)
{
    const std::string guest = std::string(kGuest) + "default_credentials = accept\n";
    for (bool conflict : {false, true})
    {
        SCOPED_TRACE(conflict);
        UseGuests(guest + (conflict ? "[session]\nconnection = \\\\vm1\\IPC$ user=EXAMPLE\\admin\n" : ""));
        CAdminShareConnection connection(kShare, L"", L"", RecordingLog(std::make_shared<CLineRecorder>()));
        auto lock = sim::WorldLock();
        ASSERT_EQ(1u, sim::Session().size());
        EXPECT_EQ(!conflict, sim::Session()[0].userWasNull);
        EXPECT_EQ(!conflict, sim::Session()[0].passwordWasNull);
    }
}

TEST(AdminShareConnection, FailedConflictRepairNamesEveryStep)
{
    const std::string conflict = std::string(kGuest) +
                                 "[session]\n"
                                 "connection = \\\\vm1\\IPC$\n"
                                 "connection = \\\\vm1\\C$ cancel=2401\n"
                                 "connection = \\\\vm1\\D$\n";
    const std::wstring step102 = MsgText(102, kShare);
    const std::wstring step106 = MsgText(106, L"vm1.example.test");
    struct
    {
        std::string guests;
        std::vector<std::wstring> messages;
        std::vector<std::wstring> left;
    } cases[] = {
        {conflict + "[fail]\nWNetOpenEnumW = 1222\n",
         {step102, step106, MsgText(104), Win32Line(1222)},
         {L"\\\\vm1\\IPC$", L"\\\\vm1\\C$", L"\\\\vm1\\D$"}},
        {conflict + "[fail]\nWNetEnumResourceW = 1208\n",
         {step102, step106, MsgText(105), Win32Line(1208)},
         {L"\\\\vm1\\IPC$", L"\\\\vm1\\C$", L"\\\\vm1\\D$"}},
        // The second of three cannot be cancelled: the third stays open.
        {conflict, {step102, MsgText(107, L"\\\\vm1\\C$"), Win32Line(2401)}, {L"\\\\vm1\\C$", L"\\\\vm1\\D$"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.guests);
        UseGuests(c.guests);
        EXPECT_EQ(c.messages, Sentences(ConnectFailure(L"EXAMPLE\\admin", kPassword)));
        EXPECT_EQ(c.left, SessionConnections());
    }
}

TEST(AdminShareConnection, ShareLocalPathComesFromTheGuestsShareInformation)
{
    UseGuests(kGuest);
    CAdminShareConnection connection(kShare, L"EXAMPLE\\admin", kPassword, RecordingLog(std::make_shared<CLineRecorder>()));
    EXPECT_EQ(L"D:\\WINNT", connection.GetShareLocalPath());

    UseGuests(std::string(kGuest) + "[fail]\nNetShareGetInfo = 2310\n");
    EXPECT_EQ(std::vector<std::wstring>({MsgText(108, kShare), Win32Line(2310)}),
              Sentences(Raised([&] { connection.GetShareLocalPath(); })));
}

TEST(AdminShareConnection, CredentialsSplitTheLoginAtTheFirstBackslash)
{
    struct
    {
        std::wstring login;
        std::wstring domain;
        std::wstring user;
    } cases[] = {
        {L"EXAMPLE\\admin", L"EXAMPLE", L"admin"},
        {L"localadmin", L"vm1.example.test", L"localadmin"},
        {L"", L"vm1.example.test", L""},
    };
    UseGuests(std::string(kGuest) + "default_credentials = accept\n");
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.login);
        CAdminShareConnection connection(kShare, c.login, c.login.empty() ? L"" : kPassword,
                                         RecordingLog(std::make_shared<CLineRecorder>()));
        std::wstring domain, user, password;
        connection.GetCredentials(domain, user, password);
        EXPECT_EQ(c.domain, domain);
        EXPECT_EQ(c.user, user);
        EXPECT_EQ(c.login.empty() ? L"" : kPassword, password);
        EXPECT_EQ(L"vm1.example.test", connection.GetHost());
    }
}

TEST(AdminShareConnection, ParseConnectionNameStrictAndTolerant)
{
    struct
    {
        std::wstring name;
        CAdminShareConnection::EParseMode mode;
        bool raises;
        std::wstring host, shortHost, share;
    } cases[] = {
        {L"\\\\vm1.example.test\\ADMIN$", CAdminShareConnection::ParseStrict, false, L"vm1.example.test", L"vm1", L"ADMIN$"},
        {L"\\\\vm1\\IPC$\\sub", CAdminShareConnection::ParseStrict, false, L"vm1", L"vm1", L"IPC$\\sub"},
        {L"x", CAdminShareConnection::ParseStrict, true, L"", L"", L""},
        {L"\\\\vm1", CAdminShareConnection::ParseStrict, true, L"", L"", L""},
        // Tolerant: outputs stay as they were ("old"), except the share and the short host
        // once the name has two characters.
        {L"x", CAdminShareConnection::ParseTolerant, false, L"old", L"old", L"old"},
        {L"\\\\vm1", CAdminShareConnection::ParseTolerant, false, L"old", L"old", L""},
        {L"\\\\a.b\\", CAdminShareConnection::ParseTolerant, false, L"a.b", L"a", L""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::wstring host = L"old", shortHost = L"old", share = L"old";
        try
        {
            CAdminShareConnection::ParseConnectionName(c.name, c.mode, host, shortHost, share);
            EXPECT_FALSE(c.raises);
            EXPECT_EQ(c.host, host);
            EXPECT_EQ(c.shortHost, shortHost);
            EXPECT_EQ(c.share, share);
        }
        catch (const CExc& e)
        {
            EXPECT_TRUE(c.raises);
            EXPECT_EQ(E_INVALIDARG, e.GetHResult());
            EXPECT_EQ(std::vector<std::wstring>{MsgText(103, c.name)}, Sentences(e));
        }
    }
}
