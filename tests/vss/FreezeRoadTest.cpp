// The freeze road as a C++ caller drives it: the connection's Ctrl and the freeze control
// object over real RPC to the running agent (the plugin's test build, whose freeze is
// simulated), every state of the plugin, the error information of each failure, and the
// shipped plugin, whose freeze Wine cannot carry out.
#include <gtest/gtest.h>

#include "NimboGuestAgentCtrl.h"
#include "module/ClassMap.h"
#include "tests/module/ComTestSupport.h"
#include "tests/vss/VssAgentGuest.h"

namespace
{
using util::CBstr;
using util::CComPtr;

const wchar_t kHost[] = L"freezeguest";

// The error information of the failure just returned: its description, sentence by sentence
// and then the RPC line of `status` (none for 0) exactly as the message table and the system
// give them, and the interface and source it names.
void ExpectError(const std::vector<std::wstring>& sentences, long status = 0, const IID& iid = IID_INimboVssGACtrl,
                 const wchar_t* source = L"")
{
    const comtest::SErrorInfo info = comtest::TakeErrorInfo();
    ASSERT_TRUE(info.present);
    std::wstring expected;
    for (const std::wstring& sentence : sentences)
        expected += (expected.empty() ? L"" : L"\r\n") + sentence;
    if (status)
        expected += L"\r\nRPC error:" + GetWin32ErrorText(static_cast<DWORD>(status)) + L" Code: " + std::to_wstring(status);
    EXPECT_EQ(info.description, expected);
    EXPECT_TRUE(IsEqualGUID(info.guid, iid));
    EXPECT_EQ(info.source, source);
}

class FreezeRoad : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(vss::CreateNimboVssGAConnection(nullptr, IID_INimboGAConnection, reinterpret_cast<void**>(m_connection.put())), S_OK);
    }
    void TearDown() override
    {
        m_connection.reset();
        CoUninitialize();
    }

    HRESULT Connect()
    {
        return m_connection->Connect(CBstr(kHost).get(), CBstr(vsstest::kLogin).get(), CBstr(vsstest::kPassword).get());
    }
    CComPtr<INimboVssGACtrl> Ctrl()
    {
        CComPtr<IDispatch> dispatch;
        EXPECT_EQ(m_connection->get_Ctrl(dispatch.put()), S_OK);
        CComPtr<INimboVssGACtrl> ctrl;
        if (dispatch)
        {
            EXPECT_EQ(dispatch.QueryInterface(IID_INimboVssGACtrl, ctrl), S_OK);
        }
        return ctrl;
    }
    static ENimboVssFreezeState State(INimboVssGACtrl* ctrl)
    {
        ENimboVssFreezeState state = static_cast<ENimboVssFreezeState>(-1);
        EXPECT_EQ(ctrl->get_FreezeState(&state), S_OK);
        return state;
    }
    // The state once it is no longer `passing` (the guest moves on by itself).
    static ENimboVssFreezeState StateAfter(INimboVssGACtrl* ctrl, ENimboVssFreezeState passing)
    {
        ENimboVssFreezeState state = State(ctrl);
        for (int polls = 0; state == passing && polls < 400; ++polls)
        {
            Sleep(50);
            state = State(ctrl);
        }
        return state;
    }
    static std::pair<HRESULT, std::wstring> FreezeError(INimboVssGACtrl* ctrl)
    {
        HRESULT code = 1;
        CBstr description;
        EXPECT_EQ(ctrl->GetFreezeError(&code, description.put()), S_OK);
        EXPECT_NE(description.get(), nullptr);   // never null, even when empty
        return {code, description.Text()};
    }

    CComPtr<INimboGAConnection> m_connection;
};

TEST_F(FreezeRoad, EveryStateOfTheGuestReachesTheCaller)
{
    vsstest::CVssAgentGuest guest(kHost);
    ASSERT_EQ(guest.Start(), static_cast<DWORD>(SERVICE_RUNNING)) << guest.AgentLog();
    ASSERT_EQ(Connect(), S_OK);
    CComPtr<INimboVssGACtrl> ctrl = Ctrl();
    ASSERT_TRUE(ctrl);

    EXPECT_EQ(State(ctrl.get()), ENimboVssFreezeNone);
    EXPECT_EQ(FreezeError(ctrl.get()), std::make_pair(S_OK, std::wstring()));   // no description at all

    guest.Simulate("prepare = hold\n");
    EXPECT_EQ(ctrl->Freeze(), S_OK);
    EXPECT_EQ(State(ctrl.get()), ENimboVssFreezePreparing);
    // A second freeze is refused, not ignored, while preparing and while frozen.
    for (int round = 0; round < 2; ++round)
    {
        EXPECT_EQ(ctrl->Freeze(), static_cast<HRESULT>(0x80042301)) << round;
        ExpectError({MsgText(124, L"Freeze", kHost)}, static_cast<long>(0x80042301));
        guest.Simulate("");
        EXPECT_EQ(StateAfter(ctrl.get(), ENimboVssFreezePreparing), ENimboVssFrozen);
    }
    EXPECT_EQ(FreezeError(ctrl.get()), std::make_pair(S_OK, std::wstring()));
    EXPECT_EQ(ctrl->Unfreeze(), S_OK);
    EXPECT_EQ(State(ctrl.get()), ENimboVssFreezeNone);

    CComPtr<INimboGATest> test;
    ASSERT_EQ(ctrl.QueryInterface(IID_INimboGATest, test), S_OK);
    EXPECT_EQ(test->DoTest(), S_OK);
    EXPECT_NE(guest.AgentLog().find(L"Test call received."), std::wstring::npos);

    struct SFailedFreeze
    {
        const char* settings;
        HRESULT code;
        std::wstring description;
    };
    for (const SFailedFreeze& f : {SFailedFreeze{"error = 0x80042306 |\n", static_cast<HRESULT>(0x80042306), L""},
                                   SFailedFreeze{"error = 0x8004230F | Writer NTDS failed to freeze\n",
                                                 static_cast<HRESULT>(0x8004230F), L"Writer NTDS failed to freeze"},
                                   SFailedFreeze{"max_frozen_ms = 300\n", HRESULT_FROM_WIN32(ERROR_TIMEOUT),
                                                 L"No unfreeze request came within 300 ms; the volumes were thawed."}})
    {
        guest.Simulate(f.settings);
        EXPECT_EQ(ctrl->Freeze(), S_OK) << f.settings;
        const ENimboVssFreezeState state = StateAfter(ctrl.get(), ENimboVssFreezePreparing);
        EXPECT_EQ(state == ENimboVssFrozen ? StateAfter(ctrl.get(), ENimboVssFrozen) : state, ENimboVssFreezeError)
            << f.settings;
        EXPECT_EQ(FreezeError(ctrl.get()), std::make_pair(f.code, f.description)) << f.settings;
        EXPECT_EQ(ctrl->Unfreeze(), S_OK);
        EXPECT_EQ(State(ctrl.get()), ENimboVssFreezeNone);
    }
}

TEST_F(FreezeRoad, ControlObjectsShareTheConnectionsClientUntilDisconnect)
{
    vsstest::CVssAgentGuest guest(kHost);
    CComPtr<IDispatch> none;
    EXPECT_EQ(m_connection->get_Ctrl(none.put()), E_FAIL);
    ExpectError({MsgText(110)}, 0, IID_INimboGAConnection, L"NimboGuestAgentCtrl.NimboVssGAConnection.1");
    EXPECT_FALSE(none);

    ASSERT_EQ(guest.Start(), static_cast<DWORD>(SERVICE_RUNNING)) << guest.AgentLog();
    ASSERT_EQ(Connect(), S_OK);
    CComPtr<INimboVssGACtrl> first = Ctrl(), second = Ctrl();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(first->Freeze(), S_OK);
    EXPECT_EQ(StateAfter(second.get(), ENimboVssFreezePreparing), ENimboVssFrozen);

    EXPECT_EQ(m_connection->Disconnect(), S_OK);
    const HRESULT slotEmpty = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(first->Unfreeze(), slotEmpty);
    ExpectError({MsgText(237)});
    CComPtr<INimboGATest> test;
    ASSERT_EQ(second.QueryInterface(IID_INimboGATest, test), S_OK);
    EXPECT_EQ(test->DoTest(), slotEmpty);
    ExpectError({MsgText(237)});
    EXPECT_EQ(first->get_FreezeState(nullptr), E_INVALIDARG);
    EXPECT_FALSE(comtest::TakeErrorInfo().present);

    // A new connection fills the slot again: the older objects work again too.
    ASSERT_EQ(Connect(), S_OK);
    Ctrl();
    EXPECT_EQ(State(first.get()), ENimboVssFrozen);
    EXPECT_EQ(second->Unfreeze(), S_OK);
    EXPECT_EQ(State(first.get()), ENimboVssFreezeNone);

    // The agent gone: the RPC status becomes the HRESULT, message 124 names the call.
    ASSERT_EQ(guest.Stop(), static_cast<DWORD>(SERVICE_STOPPED));
    for (int call = 0; call < 2; ++call)
    {
        const HRESULT hr = first->Freeze();
        EXPECT_TRUE(hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)) << std::hex << hr;
        ExpectError({MsgText(124, L"Freeze", kHost)}, hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) ? RPC_S_CALL_FAILED : RPC_S_SERVER_UNAVAILABLE);
    }
}

// The shipped plugin asks the platform's shadow copy service, which Wine does not have: the
// freeze ends in the error state with the platform's code and the plugin's sentence.
TEST_F(FreezeRoad, ShippedPluginReportsThePlatformsError)
{
    vsstest::CVssAgentGuest guest(kHost, vsstest::ShippedPackage() + L"\\NimboVssSupport2003_" + NIMBO_NATIVE_AGENT_SUFFIX + L".dll");
    ASSERT_EQ(guest.Start(), static_cast<DWORD>(SERVICE_RUNNING)) << guest.AgentLog();
    ASSERT_EQ(Connect(), S_OK);
    CComPtr<INimboVssGACtrl> ctrl = Ctrl();
    ASSERT_TRUE(ctrl);
    EXPECT_EQ(ctrl->Freeze(), S_OK);
    EXPECT_EQ(StateAfter(ctrl.get(), ENimboVssFreezePreparing), ENimboVssFreezeError);
    const auto error = FreezeError(ctrl.get());
    EXPECT_TRUE(FAILED(error.first)) << std::hex << error.first;
    EXPECT_EQ(error.second, L"The backup requestor of the volume shadow copy service cannot be created.");
    EXPECT_EQ(ctrl->Unfreeze(), S_OK);
}
}
