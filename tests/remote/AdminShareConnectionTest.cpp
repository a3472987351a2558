// CAdminShareConnection against simulated guests.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/Exc.h"
#include "remote/AdminShareConnection.h"
#include "remote/RemoteTestSupport.h"
#include "sim/SimGuest.h"

using namespace remote_test;
using Texts = std::vector<std::wstring>;

namespace
{
const char kGuest[] =
    "[guest vm1.example.test]\n"
    "account = EXAMPLE\\admin | S3cret-pw\n"
    "account = localadmin | S3cret-pw\n"
    "share_path = D:\\WINNT\n";

const std::wstring kShare = L"\\\\vm1.example.test\\ADMIN$";
const std::wstring kPassword = L"S3cret-pw";

std::wstring Win32Line(DWORD code) { return CWin32Exc(code).GetMessages().back(); }

// The remote names of the session's connections ("(none)" for an entry without one), read
// from the simulation so that injected failures do not hide them.
Texts SessionConnections()
{
    auto lock = sim::WorldLock();
    Texts names;
    for (const auto& c : sim::Session())
        names.push_back(c.hasRemoteName ? c.remoteName : L"(none)");
    return names;
}
}

// What a connection leaves in the logon session while it lives and after it goes, and every
// line it logs at each level.
TEST(AdminShareConnection, SessionAndLogWhileConnectedAndAfterwards)
{
    const std::wstring cancel = MsgText(120, kShare);
    const Texts conflictLeft = {L"\\\\vm2.example.test\\IPC$", L"(none)", L"x", L"\\\\vm1.example.test"};
    struct { const char* what; std::string guests; bool owned; Texts during, after, traces, warnings, infos; } cases[] = {
        {"own connection, cancelled when it goes", kGuest, true, {kShare}, {}, {}, {}, {cancel, cancel + L"Ok."}},
        // Nothing reaches the caller, so the log says why the share stays connected.
        {"cancellation fails", std::string(kGuest) + "fail.WNetCancelConnectionW = 2401\n", true, {kShare}, {kShare}, {},
         {MsgText(107, kShare), L"Win32 error:" + GetWin32ErrorText(2401) + L" Code: 2401"}, {cancel, cancel + L"Failed."}},
        {"share mapped to a local device: used, never cancelled",
         std::string(kGuest) + "[session]\nconnection = \\\\vm1.example.test\\ADMIN$ local=Z: user=EXAMPLE\\admin\n", false,
         {kShare}, {kShare}, {MsgText(116, kShare)}, {}, {}},
        // A credential conflict cancels every connection to the server by its full or short
        // name; every named entry is looked at, whatever the server.
        {"credential conflict repaired",
         std::string(kGuest) + "[guest vm2.example.test]\n[session]\nconnection = \\\\VM1\\IPC$\n"
                               "connection = \\\\vm2.example.test\\IPC$\nconnection = (none)\nconnection = x\n"
                               "connection = \\\\vm1.example.test\nconnection = \\\\vm1.other.test\\C$ user=OTHER\\op\n"
                               "connection = \\\\VM1.EXAMPLE.TEST\\C$ user=EXAMPLE\\backup\n",
         true, {conflictLeft[0], conflictLeft[1], conflictLeft[2], conflictLeft[3], kShare}, conflictLeft,
         {MsgText(118, L"\\\\VM1\\IPC$"), MsgText(118, L"\\\\vm2.example.test\\IPC$"), MsgText(118, L"x"),
          MsgText(118, L"\\\\vm1.example.test"), MsgText(118, L"\\\\vm1.other.test\\C$"),
          MsgText(118, L"\\\\VM1.EXAMPLE.TEST\\C$")},
         {MsgText(117), MsgText(119, L"\\\\VM1\\IPC$"), MsgText(119, L"\\\\vm1.other.test\\C$"),
          MsgText(119, L"\\\\VM1.EXAMPLE.TEST\\C$")},
         {cancel, cancel + L"Ok."}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        UseGuests(c.guests);
        auto recorder = std::make_shared<CLineRecorder>();
        {
            CAdminShareConnection connection(kShare, L"EXAMPLE\\admin", kPassword, RecordingLog(recorder));
            EXPECT_EQ(c.owned, connection.IsConnected());
            EXPECT_EQ(c.during, SessionConnections());
        }
        EXPECT_EQ(c.after, SessionConnections());
        EXPECT_EQ(c.traces, recorder->Texts(util::LogTrace));
        EXPECT_EQ(c.warnings, recorder->Texts(util::LogWarning));
        EXPECT_EQ(c.infos, recorder->Texts(util::LogInfo));
    }
}

// A failed connect carries the system's code and says which step of a conflict repair failed;
// what the repair had not cancelled stays. The password never reaches the log.
TEST(AdminShareConnection, ConnectFailuresCarryTheCodeAndTheFailedStep)
{
    const std::string conflict = std::string(kGuest) + "[session]\nconnection = \\\\vm1\\IPC$\n"
                                                       "connection = \\\\vm1\\C$ cancel=2401\nconnection = \\\\vm1\\D$\n";
    const std::wstring step102 = MsgText(102, kShare), step106 = MsgText(106, L"vm1.example.test");
    const Texts all = {L"\\\\vm1\\IPC$", L"\\\\vm1\\C$", L"\\\\vm1\\D$"};
    // sentences: those before the system line, which every failure ends with.
    struct { std::string guests; std::wstring share, login, password; DWORD code; Texts sentences, left; } cases[] = {
        {kGuest, kShare, L"EXAMPLE\\admin", L"wrong", ERROR_LOGON_FAILURE, {}, {}},
        {kGuest, kShare, L"EXAMPLE\\nobody", kPassword, ERROR_LOGON_FAILURE, {}, {}},
        {kGuest, kShare, L"", L"", ERROR_LOGON_FAILURE, {}, {}},
        {kGuest, L"\\\\vm9\\ADMIN$", L"EXAMPLE\\admin", kPassword, ERROR_BAD_NETPATH, {}, {}},
        {"[guest vm1.example.test]\nfail.WNetAddConnection2W = 1311\n", kShare, L"a", L"b", ERROR_NO_LOGON_SERVERS, {}, {}},
        // A conflict is repaired once; a second refusal is raised as it is.
        {"[guest vm1.example.test]\nfail.WNetAddConnection2W = 1219\n", kShare, L"a", L"b",
         ERROR_SESSION_CREDENTIAL_CONFLICT, {}, {}},
        {conflict + "[fail]\nWNetOpenEnumW = 1222\n", kShare, L"EXAMPLE\\admin", kPassword, 1222,
         {step102, step106, MsgText(104)}, all},
        {conflict + "[fail]\nWNetEnumResourceW = 1208\n", kShare, L"EXAMPLE\\admin", kPassword, 1208,
         {step102, step106, MsgText(105)}, all},
        // The second of three cannot be cancelled: the third stays open.
        {conflict, kShare, L"EXAMPLE\\admin", kPassword, 2401, {step102, MsgText(107, L"\\\\vm1\\C$")},
         {L"\\\\vm1\\C$", L"\\\\vm1\\D$"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.guests);
        UseGuests(c.guests);
        auto recorder = std::make_shared<CLineRecorder>();
        CExc e = Raised([&] { CAdminShareConnection(c.share, c.login, c.password, RecordingLog(recorder)); });
        EXPECT_EQ(HRESULT_FROM_WIN32(c.code), e.GetHResult());
        Texts expected = c.sentences;
        expected.push_back(Win32Line(c.code));
        EXPECT_EQ(expected, Sentences(e));
        EXPECT_EQ(c.left, SessionConnections());
        for (const auto& line : recorder->lines)
            EXPECT_EQ(std::wstring::npos, line.find(kPassword)) << line;
    }
}

// The login splits at its first backslash (no domain: the host); the share's local path comes
// from the guest's share information. An empty account asks for the defaults with null
// pointers; after a conflict the empty strings are passed as they are.
TEST(AdminShareConnection, CredentialsAndShareLocalPath)
{
    struct { std::wstring login, domain, user; bool conflict; } cases[] = {
        {L"EXAMPLE\\admin", L"EXAMPLE", L"admin", false}, {L"localadmin", L"vm1.example.test", L"localadmin", false},
        {L"", L"vm1.example.test", L"", false}, {L"", L"vm1.example.test", L"", true}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.login + (c.conflict ? L" after a conflict" : L""));
        UseGuests(std::string(kGuest) + "default_credentials = accept\n" +
                  (c.conflict ? "[session]\nconnection = \\\\vm1\\IPC$ user=EXAMPLE\\admin\n" : ""));
        const std::wstring password = c.login.empty() ? L"" : kPassword;
        CAdminShareConnection connection(kShare, c.login, password, RecordingLog(std::make_shared<CLineRecorder>()));
        std::wstring domain, user, given;
        connection.GetCredentials(domain, user, given);
        EXPECT_EQ(c.domain + L"|" + c.user + L"|" + password, domain + L"|" + user + L"|" + given);
        EXPECT_EQ(L"vm1.example.test", connection.GetHost());
        EXPECT_EQ(L"D:\\WINNT", connection.GetShareLocalPath());
        auto lock = sim::WorldLock();
        ASSERT_EQ(1u, sim::Session().size());
        EXPECT_EQ(c.login.empty() && !c.conflict, sim::Session()[0].userWasNull);
        EXPECT_EQ(c.login.empty() && !c.conflict, sim::Session()[0].passwordWasNull);
    }
    CAdminShareConnection connection(kShare, L"EXAMPLE\\admin", kPassword, RecordingLog(std::make_shared<CLineRecorder>()));
    UseGuests(std::string(kGuest) + "[fail]\nNetShareGetInfo = 2310\n");
    EXPECT_EQ(Texts({MsgText(108, kShare), Win32Line(2310)}), Sentences(Raised([&] { connection.GetShareLocalPath(); })));
}

TEST(AdminShareConnection, ParseConnectionNameStrictAndTolerant)
{
    const auto strict = CAdminShareConnection::ParseStrict, tolerant = CAdminShareConnection::ParseTolerant;
    struct { std::wstring name; CAdminShareConnection::EParseMode mode; const wchar_t* parsed; } cases[] = {
        // parsed: "host|short host|share", null when the name is refused.
        {L"\\\\vm1.example.test\\ADMIN$", strict, L"vm1.example.test|vm1|ADMIN$"},
        {L"\\\\vm1\\IPC$\\sub", strict, L"vm1|vm1|IPC$\\sub"},
        {L"x", strict, nullptr},
        {L"\\\\vm1", strict, nullptr},
        // Tolerant: the outputs stay as they were ("old"), except the share and the short host
        // once the name has two characters.
        {L"x", tolerant, L"old|old|old"},
        {L"\\\\vm1", tolerant, L"old|old|"},
        {L"\\\\a.b\\", tolerant, L"a.b|a|"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::wstring host = L"old", shortHost = L"old", share = L"old";
        try
        {
            CAdminShareConnection::ParseConnectionName(c.name, c.mode, host, shortHost, share);
            EXPECT_EQ(c.parsed ? c.parsed : L"(refused)", host + L"|" + shortHost + L"|" + share);
        }
        catch (const CExc& e)
        {
            EXPECT_EQ(nullptr, c.parsed);
            EXPECT_EQ(E_INVALIDARG, e.GetHResult());
            EXPECT_EQ(Texts{MsgText(103, c.name)}, Sentences(e));
        }
    }
}
