// The VSS installer object and the guest metrics object as a C++ caller sees them, against
// simulated guests: argument checks, the error of a member after Disconnect, the engine shared
// by every installer object of a connection, and metrics objects that keep their own values.
// The whole installation road is driven by the script test install_road.js.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/module/ComTestSupport.h"
#include "tests/remote/RemoteTestSupport.h"
#include "NimboGuestAgentCtrl.h"
#include "deploy/Installer.h"
#include "foundation/ComBoundary.h"
#include "foundation/ComTypes.h"
#include "module/ClassMap.h"
#include "sim/SimGuest.h"
#include "sim/SimScm.h"
#include "vss/NimboVssGAConnection.h"

namespace
{
using util::CBstr;
using util::CComPtr;

const wchar_t kProgId[] = L"NimboGuestAgentCtrl.NimboVssGAConnection.1";

// One guest per Windows kind; every guest accepts the account admin / pw.
std::string Guest(const std::string& name, const std::string& version, const std::string& serverType,
                  const std::string& architecture)
{
    return "[guest " + name + "]\naccount = admin|pw\nos_version = " + version + "\nserver_type = " + serverType +
           "\nreg = SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment | PROCESSOR_ARCHITECTURE | REG_SZ | " +
           architecture + "\n";
}

class InstallerObject : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        UseGuests(Guest("srv2003", "5.2", "0x8003", "AMD64"));
        ASSERT_EQ(S_OK, vss::CreateNimboVssGAConnection(nullptr, IID_INimboGAConnection, conn.put_void()));
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override
    {
        conn.reset();
        SetErrorInfo(0, nullptr);
        CoUninitialize();
    }

    static void UseGuests(const std::string& text)
    {
        remote_test::UseGuests(text);
        sim::ScmReset();
    }
    HRESULT Connect(const wchar_t* machine)
    {
        return conn->Connect(CBstr(std::wstring(machine)).get(), CBstr(std::wstring(L"admin")).get(), CBstr(std::wstring(L"pw")).get());
    }
    CComPtr<INimboGAInstaller> Installer()
    {
        CComPtr<INimboGAInstaller> installer;
        EXPECT_EQ(S_OK, conn->get_Installer(installer.put()));
        return installer;
    }
    std::shared_ptr<install::CInstaller> Engine() { return static_cast<vss::CNimboVssGAConnection*>(conn.get())->InstallerSlot()->Get(); }

    CComPtr<INimboGAConnection> conn;
};

// The installer objects of one connection share one engine until Disconnect; each metrics
// object keeps the values of its own call and outlives the connection.
TEST_F(InstallerObject, InstallerObjectsShareOneEngineUntilDisconnectAndMetricsKeepTheirValues)
{
    ASSERT_EQ(S_OK, Connect(L"srv2003"));
    CComPtr<INimboGAInstaller> first = Installer();
    CComPtr<INimboGuestMetrics> before, after;
    ASSERT_EQ(S_OK, first->CollectGuestMetrics(before.put()));
    const auto engine = Engine();
    ASSERT_NE(nullptr, engine);
    CComPtr<INimboGAInstaller> second = Installer();
    EXPECT_NE(first.get(), second.get()) << "a new object on every call";
    EXPECT_EQ(engine, Engine());

    // Neither a reconnect nor a failed connect replaces the engine: only Disconnect does.
    ASSERT_EQ(S_OK, Connect(L"srv2003"));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_NETPATH), Connect(L"nohost"));
    CComPtr<INimboGAInstaller> third = Installer();
    EXPECT_EQ(engine, Engine());
    ENimboGuestAgentState state = ENimboVssInstalledRunning;
    EXPECT_EQ(S_OK, third->GetGateState(&state)) << "works on the engine of the first connection";
    EXPECT_EQ(ENimboVssNotInstalled, state);

    EXPECT_EQ(S_OK, conn->Disconnect());
    EXPECT_EQ(nullptr, Engine());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), first->Install());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), third->Install());

    // A new connection makes a new engine, which the old objects see through the shared slot;
    // metrics collected now ask the guest, which has changed, again.
    UseGuests(Guest("srv2003", "6.0", "0x1003", "x86"));
    ASSERT_EQ(S_OK, Connect(L"srv2003"));
    CComPtr<INimboGAInstaller> fourth = Installer();
    EXPECT_NE(nullptr, Engine());
    EXPECT_EQ(S_OK, first->GetGateState(&state));
    ASSERT_EQ(S_OK, first->CollectGuestMetrics(after.put()));
    ASSERT_EQ(S_OK, conn->Disconnect());
    conn.reset();  // the metrics objects outlive the connection
    // A 16-bit VARIANT_BOOL (-1 for true): the bytes after it stay as they were.
    const struct { INimboGuestMetrics* metrics; const wchar_t* values; } cases[] = {
        {before.get(), L"5.2 type 4 platform 2 supported -1 next 22136"},
        {after.get(), L"6.0 type 5 platform 1 supported 0 next 22136"}};
    for (const auto& c : cases)
    {
        unsigned short major = 0, minor = 0;
        ENimboOsType type = ENimboOsOther;
        ENimboOsPlatform platform = ENimboPlatformOther;
        VARIANT_BOOL supported[2] = {0x1234, 0x5678};
        EXPECT_EQ(S_OK, c.metrics->GetOsBuild(&major, &minor));
        EXPECT_EQ(S_OK, c.metrics->get_OsType(&type));
        EXPECT_EQ(S_OK, c.metrics->get_OsPlatform(&platform));
        EXPECT_EQ(S_OK, c.metrics->get_Supported(&supported[0]));
        EXPECT_EQ(c.values, std::to_wstring(major) + L"." + std::to_wstring(minor) + L" type " + std::to_wstring(type) +
                                L" platform " + std::to_wstring(platform) + L" supported " + std::to_wstring(supported[0]) +
                                L" next " + std::to_wstring(supported[1]));
    }
}

// Null pointers are refused before anything else, without error information (a stale one from
// an earlier failure is cleared) and without a write through the other pointer; plugin
// information is not implemented. After Disconnect every engine member fails with message 238
// and leaves its out parameters alone.
TEST_F(InstallerObject, ArgumentChecksComeFirstAndEngineMembersFailAfterDisconnect)
{
    ASSERT_EQ(S_OK, Connect(L"srv2003"));
    CComPtr<INimboGAInstaller> installer = Installer();
    CComPtr<INimboGuestMetrics> metrics;
    ASSERT_EQ(S_OK, installer->CollectGuestMetrics(metrics.put()));
    unsigned short major = 99, minor = 99;
    IDispatch* plugin = reinterpret_cast<IDispatch*>(1);
    INimboGuestMetrics* out = reinterpret_cast<INimboGuestMetrics*>(1);
    ENimboGuestAgentState state = static_cast<ENimboGuestAgentState>(77);
    const HRESULT closed = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    // connected, disconnected: the result in each state; a member that fails with `closed`
    // reports message 238 as the installer interface's error.
    const struct { const char* call; HRESULT connected, disconnected; std::function<HRESULT()> run; } cases[] = {
        {"CollectGuestMetrics(null)", E_INVALIDARG, E_INVALIDARG, [&] { return installer->CollectGuestMetrics(nullptr); }},
        {"GetGateState(null)", E_INVALIDARG, E_INVALIDARG, [&] { return installer->GetGateState(nullptr); }},
        {"PluginSpecificInfo(null)", E_NOTIMPL, E_NOTIMPL, [&] { return installer->get_PluginSpecificInfo(nullptr); }},
        {"PluginSpecificInfo(&p)", E_NOTIMPL, E_NOTIMPL, [&] { return installer->get_PluginSpecificInfo(&plugin); }},
        {"GetOsBuild(null, &minor)", E_INVALIDARG, E_INVALIDARG, [&] { return metrics->GetOsBuild(nullptr, &minor); }},
        {"GetOsBuild(&major, null)", E_INVALIDARG, E_INVALIDARG, [&] { return metrics->GetOsBuild(&major, nullptr); }},
        {"OsType(null)", E_INVALIDARG, E_INVALIDARG, [&] { return metrics->get_OsType(nullptr); }},
        {"OsPlatform(null)", E_INVALIDARG, E_INVALIDARG, [&] { return metrics->get_OsPlatform(nullptr); }},
        {"Supported(null)", E_INVALIDARG, E_INVALIDARG, [&] { return metrics->get_Supported(nullptr); }},
        {"CollectGuestMetrics", S_OK, closed, [&] { return installer->CollectGuestMetrics(&out); }},
        {"Install", S_OK, closed, [&] { return installer->Install(); }},
        {"Uninstall", S_OK, closed, [&] { return installer->Uninstall(); }},
        {"GetGateState", S_OK, closed, [&] { return installer->GetGateState(&state); }},
        {"RunGate", S_OK, closed, [&] { return installer->RunGate(); }},
    };
    for (bool connected : {true, false})
    {
        ASSERT_EQ(S_OK, connected ? S_OK : conn->Disconnect());
        for (const auto& c : cases)
        {
            if (connected && c.connected == S_OK)
                continue;  // the members themselves are the road's
            SCOPED_TRACE(testing::Message() << c.call << (connected ? " connected" : " disconnected"));
            util::SetComErrorInfo(nullptr, IID_INimboGAInstaller, L"stale", E_FAIL);  // an earlier failure's
            EXPECT_EQ(connected ? c.connected : c.disconnected, c.run());
            const comtest::SErrorInfo error = comtest::TakeErrorInfo();
            ASSERT_EQ(error.present, !connected && c.disconnected == closed);
            if (!error.present)
                continue;
            EXPECT_EQ(L"Connection to the remote server is closed or not established.", error.description);
            EXPECT_EQ(L"", error.source);
            EXPECT_TRUE(IsEqualGUID(IID_INimboGAInstaller, error.guid));
        }
    }
    EXPECT_EQ(99, major) << "nothing is written when one pointer is null";
    EXPECT_EQ(99, minor);
    EXPECT_EQ(reinterpret_cast<IDispatch*>(1), plugin) << "PluginSpecificInfo does not touch its pointer";
    EXPECT_EQ(reinterpret_cast<INimboGuestMetrics*>(1), out) << "out parameters are left alone on failure";
    EXPECT_EQ(77, state) << "a failed query leaves the caller's value alone";
}
}
