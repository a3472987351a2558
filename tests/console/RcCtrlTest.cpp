// The console control object and its polling thread as a subscriber sees them: first with a
// scripted client whose every poll is chosen here, then through the registered test DLL against
// the console agent a simulated guest runs, with the console probe as the console program.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "NimboGuestAgentCtrl.h"
#include "console/RcConsoleChannel.h"
#include "console/RcRpcClient.h"
#include "foundation/ComTypes.h"
#include "foundation/FileSystem.h"
#include "tests/foundation/LogRecorder.h"
#include "tests/module/ComTestSupport.h"
#include "tests/remote/RemoteTestSupport.h"

// The scripted client. This program defines the members the channel and the poller use, so the
// linker never takes the real client; the registered DLL keeps its own. Each poll hands out the
// next scripted status, then "running, nothing new".
std::deque<rconsole::SRcConsoleStatus> g_polls;
rconsole::CRcRpcClient::CRcRpcClient(const std::wstring& binding, std::shared_ptr<CAdminShareConnection> share,
                                     std::shared_ptr<util::CLog> log)
    : CRpcClient(binding, std::move(share), RPC_IF_ID{}, log), m_log(log) {}
rconsole::CRcRpcClient::~CRcRpcClient() = default;
long rconsole::CRcRpcClient::StartConsole(const std::wstring&) { return 42; }
void rconsole::CRcRpcClient::SendData(const std::wstring&) {}
void rconsole::CRcRpcClient::QueryStatus(SRcConsoleStatus& status)
{
    status = g_polls.empty() ? SRcConsoleStatus() : g_polls.front();
    if (!g_polls.empty())
        g_polls.pop_front();
}

namespace
{
using util::CBstr;
using util::CComPtr;

const wchar_t kHost[] = L"consoleguest";

// One call as "<member> <text>" (member: out, err or the channel state; "(null)" for a null
// text), with the thread it came on.
struct SEvent
{
    std::wstring call;
    DWORD thread;
};

class CRecordingSubscriber final : public INimboRemoteConsoleEvt
{
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override
    {
        *ppv = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_INimboRemoteConsoleEvt) ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP OnStdOutput(BSTR text) override { return Record(L"out", text); }
    STDMETHODIMP OnStdError(BSTR text) override { return Record(L"err", text); }
    STDMETHODIMP OnChannelStateChanged(ENimboRemoteConsoleChannelState state, BSTR text) override
    {
        return Record(std::to_wstring(state), text);
    }

    // The calls so far, once an Error or a Closed has come (or `seconds` have passed).
    std::vector<SEvent> WaitForEnd(int seconds = 60)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(seconds), [this] {
            return !m_events.empty() && (m_events.back().call[0] == L'2' || m_events.back().call[0] == L'3');
        });
        return m_events;
    }

private:
    HRESULT Record(const std::wstring& member, BSTR text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back({member + L" " + (text ? CBstr::ToText(text) : L"(null)"), GetCurrentThreadId()});
        m_changed.notify_all();
        return S_OK;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<SEvent> m_events;
};

// The calls, those that came on another thread than the test's marked " (polling)".
std::vector<std::wstring> Calls(const std::vector<SEvent>& events)
{
    std::vector<std::wstring> calls;
    for (const SEvent& e : events)
        calls.push_back(e.call + (e.thread == GetCurrentThreadId() ? L"" : L" (polling)"));
    return calls;
}

bool Contains(const std::vector<std::wstring>& lines, const std::vector<std::wstring>& run)
{
    return std::search(lines.begin(), lines.end(), run.begin(), run.end()) != lines.end();
}

// What one poll delivers, in the order output, error output, then an error or the close; an
// error in the same poll as the end replaces the Closed event. Empty texts deliver nothing.
TEST(RcConsolePoller, DeliversEachPollInOrder)
{
    const auto error = std::make_shared<CExc>(L"Pipe broken.", E_ACCESSDENIED);
    const struct { std::deque<rconsole::SRcConsoleStatus> polls; std::vector<std::wstring> calls, logged; } cases[] = {
        {{{false, L"", L"", nullptr}, {true, L"a\r\n", L"b", nullptr}},
         {L"1 ", L"out a\r\n (polling)", L"err b (polling)", L"3 (null) (polling)"},
         {MsgText(199, kHost), L"{", L"a", L"}", MsgText(200, kHost), L"{", L"b", L"}", MsgText(236, kHost)}},
        {{{true, L"c", L"", error}},
         {L"1 ", L"out c (polling)", L"2 Pipe broken. (polling)"},
         {MsgText(199, kHost), L"{", L"c", L"}", MsgText(201, kHost), L"Pipe broken.", MsgText(193, kHost)}},
    };
    for (const auto& c : cases)
    {
        auto recorder = std::make_shared<logtest::CLogRecorder>();
        auto slot = std::make_shared<rconsole::CRcRpcClientSlot>();
        slot->Set(std::make_shared<rconsole::CRcRpcClient>(L"", nullptr, logtest::RecordingLog(recorder)));
        CRecordingSubscriber sink;
        {
            rconsole::CRcConsoleChannel channel(kHost, slot, logtest::RecordingLog(recorder));
            channel.Subscribe(&sink);
            g_polls = c.polls;
            EXPECT_EQ(42, channel.Start(L""));
            EXPECT_EQ(c.calls, Calls(sink.WaitForEnd()));
        }
        EXPECT_TRUE(Contains(recorder->Texts(), c.logged));
    }
}

class RcCtrl : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        tempFolder = temp;
        const std::wstring share = filestest::UniqueName(tempFolder + L"nimbo_consoleguest");
        util::CreateFolderTree(share);
        remote_test::UseGuests("[guest consoleguest]\naccount = LAB\\admin | pw\nadmin_share = " +
                               std::string(share.begin(), share.end()) + "\nos_version = 6.0\nserver_type = 0x8003\n");
    }
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }

    // A connection with the console agent installed or reconnected, the probe as its console
    // program; a trace log at `logPath` when one is given.
    static CComPtr<INimboGAConnection> Install(const std::wstring& logPath = std::wstring())
    {
        CComPtr<INimboGAConnection> conn;
        CComPtr<INimboGAInstaller> installer;
        CComPtr<IDispatch> info;
        CComPtr<INimboRemoteConsoleInstallInfo> package;
        const CBstr probe(std::wstring(L"NimboConsoleProbe.exe"));
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_NimboRemoteConsoleConnection, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_INimboGAConnection, conn.put_void()));
        if (!logPath.empty())
        {
            EXPECT_EQ(S_OK, conn->InitLogging(ENimboGuestAgentLogTrace, CBstr(logPath).get()));
        }
        EXPECT_EQ(S_OK, conn->Connect(CBstr(std::wstring(kHost)).get(), CBstr(std::wstring(L"LAB\\admin")).get(),
                                       CBstr(std::wstring(L"pw")).get()));
        EXPECT_EQ(S_OK, conn->get_Installer(installer.put()));
        EXPECT_EQ(S_OK, installer->get_PluginSpecificInfo(info.put()));
        EXPECT_EQ(S_OK, info.QueryInterface(IID_INimboRemoteConsoleInstallInfo, package));
        const CBstr local(filestest::SiblingProgram(L"..\\..\\agents\\bin\\NimboConsoleProbe.exe"));
        EXPECT_EQ(S_OK, package->AddAgentPckgFile(local.get(), probe.get()));
        EXPECT_EQ(S_OK, package->put_AgentExecPath(probe.get()));
        EXPECT_EQ(S_OK, package->put_AgentVersion(SNimboAgentVersion{1, 0, 0, 0}));
        EXPECT_EQ(S_OK, installer->Install());
        return conn;
    }
    static CComPtr<INimboRemoteConsoleCtrl> Ctrl(INimboGAConnection* conn)
    {
        CComPtr<IDispatch> dispatch;
        CComPtr<INimboRemoteConsoleCtrl> ctrl;
        EXPECT_EQ(S_OK, conn->get_Ctrl(dispatch.put()));
        EXPECT_EQ(S_OK, dispatch.QueryInterface(IID_INimboRemoteConsoleCtrl, ctrl));
        return ctrl;
    }

    static std::wstring tempFolder;
};
std::wstring RcCtrl::tempFolder;

// Ready on the caller's thread, then the console's output (a banner, a line, a burst of several
// megabytes of numbered lines) complete and in order, its error output, and one Closed, all on
// one polling thread. A started console refuses a second start and a new subscriber through any
// control object of the connection, also after it has ended.
TEST_F(RcCtrl, ConsoleRoundTrip)
{
    const unsigned long kBurst = 3000000;
    CComPtr<INimboGAConnection> conn = Install();
    CComPtr<INimboRemoteConsoleCtrl> ctrl = Ctrl(conn.get()), other = Ctrl(conn.get());
    CRecordingSubscriber sink;
    ASSERT_EQ(S_OK, ctrl->put_EvtSubscription(&sink));
    INT pid = 0;
    ASSERT_EQ(S_OK, ctrl->Start(CBstr(std::wstring(L"--banner hello")).get(), &pid));
    EXPECT_NE(0, pid);
    EXPECT_EQ(E_FAIL, other->Start(nullptr, nullptr));
    EXPECT_EQ(MsgText(175, kHost, L"") + L"\r\n" + MsgText(177), comtest::TakeErrorInfo().description);
    for (const wchar_t* line : {L"echo one\n", L"err two\n", L"burst 3000000\n", L"exit 0\n"})
        ASSERT_EQ(S_OK, ctrl->Send(CBstr(std::wstring(line)).get()));

    const std::vector<SEvent> events = sink.WaitForEnd();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(L"1 ", events.front().call);
    EXPECT_EQ(GetCurrentThreadId(), events.front().thread);
    EXPECT_EQ(L"3 (null)", events.back().call);
    std::wstring out, err;
    for (size_t i = 1; i < events.size(); ++i)
    {
        EXPECT_TRUE(events[i].thread == events[1].thread && events[i].thread != GetCurrentThreadId()) << i;
        const std::wstring member = events[i].call.substr(0, 4);
        ASSERT_TRUE(i + 1 == events.size() || member == L"out " || member == L"err ") << events[i].call;
        if (i + 1 < events.size())
            (member == L"out " ? out : err) += events[i].call.substr(4);
    }
    EXPECT_EQ(L"two\r\n", err);
    const std::wstring head = L"hello\r\none\r\n";
    ASSERT_EQ(head.size() + kBurst, out.size());
    ASSERT_EQ(head, out.substr(0, head.size()));
    const unsigned long first = std::stoul(out.substr(head.size(), 8));
    for (unsigned long line = 0; line * 64 < kBurst; ++line)
    {
        const std::wstring text = out.substr(head.size() + line * 64, 64);
        ASSERT_EQ(first + line, std::stoul(text.substr(0, 8))) << line;
        ASSERT_TRUE(text.size() < 64 || text.compare(62, 2, L"\r\n") == 0) << line;
    }
    EXPECT_EQ(E_FAIL, other->put_EvtSubscription(&sink));
    EXPECT_EQ(MsgText(174), comtest::TakeErrorInfo().description);
    Sleep(2000);   // longer than a poll interval
    EXPECT_EQ(events.size(), sink.WaitForEnd(0).size()) << "nothing after Closed";
}

// A channel that ends under a running console reaches the subscriber as an Error with the
// reason's text, on the polling thread: a Disconnect (the next poll finds no client) or the
// release of every object (before the release returns). Text sent is logged with its tag.
TEST_F(RcCtrl, ChannelEndsUnderARunningConsole)
{
    for (bool disconnect : {true, false})
    {
        const std::wstring log = filestest::UniqueName(tempFolder + L"nimbo_rcctrl") + L".log";
        CComPtr<INimboGAConnection> conn = Install(log);
        CComPtr<INimboRemoteConsoleCtrl> ctrl = Ctrl(conn.get());
        CRecordingSubscriber sink;
        ASSERT_EQ(S_OK, ctrl->put_EvtSubscription(&sink));
        ASSERT_EQ(S_OK, ctrl->Start(nullptr, nullptr));
        ASSERT_EQ(S_OK, ctrl->Send(CBstr(std::wstring(L"echo x\n")).get()));
        if (disconnect)
        {
            ASSERT_EQ(S_OK, conn->Disconnect());
        }
        std::vector<SEvent> events = disconnect ? sink.WaitForEnd() : std::vector<SEvent>();
        ctrl.reset();
        conn.reset();
        if (!disconnect)
            events = sink.WaitForEnd(0);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(L"2 " + (disconnect ? MsgText(178) : MsgText(192, kHost)), events.back().call);
        EXPECT_NE(GetCurrentThreadId(), events.back().thread);

        EXPECT_TRUE(Contains(logtest::ReadLogFile(log), {L"Info  " + MsgText(183, kHost), L"Info  {", L"Info  echo x", L"Info  }"}));
    }
}
}
