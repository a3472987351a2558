// The console channel and its polling thread as a subscriber sees them: with a scripted client
// whose every poll is chosen here, then through the registered test DLL against the console
// agent a simulated guest runs, with the console probe as the console program.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "NimboGuestAgentCtrl.h"
#include "console/CoRcCtrl.h"
#include "console/RcConsoleChannel.h"
#include "console/RcRpcClient.h"
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

// Each call as "<member> <text>" (member: out, err or the channel state; "(null)" for a null
// text), marked " (polling)" when it came on the first thread other than the test's.
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
    STDMETHODIMP OnStdOutput(BSTR text) override { return Record(L"out ", text); }
    STDMETHODIMP OnStdError(BSTR text) override { return Record(L"err ", text); }
    STDMETHODIMP OnChannelStateChanged(ENimboRemoteConsoleChannelState state, BSTR text) override
    {
        Record(std::to_wstring(state) + L" ", text);
        if (state != ENimboRemoteConsoleReady && onEnd)
            onEnd();
        return S_OK;
    }

    // Called on the Closed or Error event's thread after it was recorded.
    std::function<void()> onEnd;

    // The calls so far, once an Error or a Closed has come or `seconds` have passed.
    std::vector<std::wstring> Calls(int seconds = 60)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(seconds), [this] {
            return !m_calls.empty() && (m_calls.back()[0] == L'2' || m_calls.back()[0] == L'3');
        });
        return m_calls;
    }

private:
    HRESULT Record(const std::wstring& member, BSTR text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const DWORD thread = GetCurrentThreadId();
        m_polling = thread == m_test || m_polling ? m_polling : thread;
        m_calls.push_back(member + (text ? CBstr::ToText(text) : L"(null)") +
                          (thread == m_test ? L"" : thread == m_polling ? L" (polling)" : L" (?)"));
        m_changed.notify_all();
        return S_OK;
    }

    const DWORD m_test = GetCurrentThreadId();
    DWORD m_polling = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::wstring> m_calls;
};

bool Contains(const std::vector<std::wstring>& lines, const std::vector<std::wstring>& run)
{
    return std::search(lines.begin(), lines.end(), run.begin(), run.end()) != lines.end();
}

enum EEnd { ByPolls, ByDisconnect, ByRelease, ByReleaseInEvent };

// What one poll delivers, in the order output, error output, then an error or the close, on the
// polling thread; an error in the same poll as the end replaces the Closed event, empty texts
// deliver nothing. A Disconnect under a running console empties the client slot (178 at the
// next poll); the release of the last control object stops the poller (192, before the release
// returns), also when the subscriber releases it from inside the Closed event on the polling
// thread (the poller must not wait for itself). A console is started once, and takes no subscriber after its start, through any
// control object of its connection, also once it has ended.
TEST(RcCtrl, DeliversEachPollInOrderAndEndsOnce)
{
    const auto error = std::make_shared<CExc>(L"Pipe broken.", E_ACCESSDENIED);
    const std::vector<std::wstring> sent = {MsgText(183, kHost), L"{", L"echo x", L"}"};
    const struct { std::deque<rconsole::SRcConsoleStatus> polls; EEnd end; std::vector<std::wstring> calls, logged; } cases[] = {
        {{{false, L"", L"", nullptr}, {true, L"a\r\n", L"b", nullptr}}, ByPolls,
         {L"1 ", L"out a\r\n (polling)", L"err b (polling)", L"3 (null) (polling)"},
         {MsgText(199, kHost), L"{", L"a", L"}", MsgText(200, kHost), L"{", L"b", L"}", MsgText(236, kHost)}},
        {{{true, L"c", L"", error}}, ByPolls, {L"1 ", L"out c (polling)", L"2 Pipe broken. (polling)"},
         {MsgText(199, kHost), L"{", L"c", L"}", MsgText(201, kHost), L"Pipe broken.", MsgText(193, kHost)}},
        {{}, ByDisconnect, {L"1 ", L"2 " + MsgText(178) + L" (polling)"}, sent},
        {{}, ByRelease, {L"1 ", L"2 " + MsgText(192, kHost) + L" (polling)"}, sent},
        {{{true, L"d", L"", nullptr}}, ByReleaseInEvent, {L"1 ", L"out d (polling)", L"3 (null) (polling)"},
         {MsgText(198), MsgText(197, kHost)}},
    };
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    for (const auto& c : cases)
    {
        auto recorder = std::make_shared<logtest::CLogRecorder>();
        auto slot = std::make_shared<rconsole::CRcRpcClientSlot>();
        slot->Set(std::make_shared<rconsole::CRcRpcClient>(L"", nullptr, logtest::RecordingLog(recorder)));
        CRecordingSubscriber sink;
        auto channel = std::make_shared<rconsole::CRcConsoleChannel>(kHost, slot, logtest::RecordingLog(recorder));
        CComPtr<INimboRemoteConsoleCtrl> ctrl = rconsole::com::CreateRcCtrl(channel), other = rconsole::com::CreateRcCtrl(channel);
        channel.reset();
        INT pid = 0;
        ASSERT_EQ(S_OK, ctrl->put_EvtSubscription(&sink));
        g_polls = c.polls;
        EXPECT_EQ(S_OK, ctrl->Start(nullptr, &pid));
        EXPECT_EQ(42, pid);
        EXPECT_EQ(S_OK, ctrl->Send(CBstr(std::wstring(L"echo x\n")).get()));
        if (c.end == ByDisconnect)
            slot->Set(nullptr);
        if (c.end == ByRelease)
            ctrl.reset(), other.reset();
        util::CEventHandle released(CreateEventW(nullptr, TRUE, FALSE, nullptr)), pollingThread;
        if (c.end == ByReleaseInEvent)
            sink.onEnd = [&] {
                DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), pollingThread.put(),
                                SYNCHRONIZE, FALSE, 0);
                ctrl.reset(), other.reset(), SetEvent(released.get());
            };
        EXPECT_EQ(c.calls, sink.Calls(c.end == ByRelease ? 0 : 60));
        if (c.end == ByReleaseInEvent)
        {
            // The release returns on the polling thread, which then ends by itself.
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(released.get(), 60000));
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pollingThread.get(), 60000));
        }
        if (other)
        {
            EXPECT_EQ(E_FAIL, other->Start(nullptr, nullptr));
            EXPECT_EQ(MsgText(175, kHost, L"") + L"\r\n" + MsgText(177), comtest::TakeErrorInfo().description);
            EXPECT_EQ(E_FAIL, other->put_EvtSubscription(&sink));
            EXPECT_EQ(MsgText(174), comtest::TakeErrorInfo().description);
        }
        ctrl.reset(), other.reset();
        EXPECT_TRUE(Contains(recorder->Texts(), c.logged));
    }
    CoUninitialize();
}

// Through the COM objects to the console agent a simulated guest runs, the probe as its console
// program: Ready on the caller's thread, then the console's output (a banner and a burst of
// several megabytes of numbered lines) complete and in order, its error output, and one Closed,
// all on one polling thread.
TEST(RcCtrl, ConsoleRoundTripThroughTheAgent)
{
    const size_t kBurst = 3000000;
    wchar_t temp[MAX_PATH + 1] = {}, probePath[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring share = filestest::UniqueName(std::wstring(temp) + L"nimbo_consoleguest");
    util::CreateFolderTree(share);
    remote_test::UseGuests("[guest consoleguest]\naccount = LAB\\admin | pw\nadmin_share = " + std::string(share.begin(), share.end()) +
                           "\nreg = SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment | PROCESSOR_ARCHITECTURE | REG_SZ | AMD64\n");
    // A plain full path: the package copies from an extended-length path, which keeps "..".
    GetFullPathNameW(filestest::SiblingProgram(L"..\\..\\agents\\bin\\NimboConsoleProbe.exe").c_str(), MAX_PATH, probePath, nullptr);

    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    CRecordingSubscriber sink;   // outlives the objects that call it
    {
        CComPtr<INimboGAConnection> conn;
        CComPtr<INimboGAInstaller> installer;
        CComPtr<INimboGuestMetrics> metrics;
        CComPtr<IDispatch> info, dispatch;
        CComPtr<INimboRemoteConsoleInstallInfo> package;
        CComPtr<INimboRemoteConsoleCtrl> ctrl;
        const CBstr probe(std::wstring(L"NimboConsoleProbe.exe"));
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NimboRemoteConsoleConnection, nullptr, CLSCTX_INPROC_SERVER, IID_INimboGAConnection,
                                         conn.put_void()));
        ASSERT_EQ(S_OK, conn->Connect(CBstr(std::wstring(kHost)).get(), CBstr(std::wstring(L"LAB\\admin")).get(),
                                      CBstr(std::wstring(L"pw")).get()));
        ASSERT_EQ(S_OK, conn->get_Installer(installer.put()));
        ASSERT_EQ(S_OK, installer->get_PluginSpecificInfo(info.put()));
        ASSERT_EQ(S_OK, info.QueryInterface(IID_INimboRemoteConsoleInstallInfo, package));
        ASSERT_EQ(S_OK, package->AddAgentPckgFile(CBstr(std::wstring(probePath)).get(), probe.get()));
        ASSERT_EQ(S_OK, package->put_AgentExecPath(probe.get()));
        ASSERT_EQ(S_OK, installer->CollectGuestMetrics(metrics.put()));
        ASSERT_EQ(S_OK, installer->Install()) << comtest::TakeErrorInfo().description;
        ASSERT_EQ(S_OK, conn->get_Ctrl(dispatch.put()));
        ASSERT_EQ(S_OK, dispatch.QueryInterface(IID_INimboRemoteConsoleCtrl, ctrl));
        ASSERT_EQ(S_OK, ctrl->put_EvtSubscription(&sink));
        ASSERT_EQ(S_OK, ctrl->Start(CBstr(std::wstring(L"--banner hello")).get(), nullptr));
        for (const wchar_t* line : {L"err two\n", L"burst 3000000\n", L"exit 0\n"})
            ASSERT_EQ(S_OK, ctrl->Send(CBstr(std::wstring(line)).get()));
        sink.Calls();
    }
    CoUninitialize();

    const std::vector<std::wstring> calls = sink.Calls(0);
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(L"1 ", calls.front());
    EXPECT_EQ(L"3 (null) (polling)", calls.back());
    std::wstring out, err, expected = L"hello\r\n";
    for (size_t i = 1; i + 1 < calls.size(); ++i)
    {
        const std::wstring& call = calls[i];   // "out <text> (polling)"
        ASSERT_TRUE(call.size() > 14 && call.compare(call.size() - 10, 10, L" (polling)") == 0 && (call[0] == L'o' || call[0] == L'e'))
            << call;
        (call[0] == L'o' ? out : err) += call.substr(4, call.size() - 14);
    }
    for (unsigned long line = 0; expected.size() < 7 + kBurst; ++line)
        expected += std::to_wstring(100000000 + line).substr(1) + L" " + std::wstring(53, wchar_t(L'A' + line % 26)) + L"\r\n";
    expected.resize(7 + kBurst);
    EXPECT_EQ(L"two\r\n", err);
    EXPECT_TRUE(out == expected) << out.size() << " characters delivered, first difference at "
                                 << std::mismatch(out.begin(), out.end(), expected.begin(), expected.end()).first - out.begin();
}
}
