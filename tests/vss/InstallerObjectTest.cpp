// The VSS installer object and the guest metrics object as a C++ caller sees them, against
// simulated guests: argument checks, the error of a member after Disconnect, the engine shared
// by every installer object of a connection, and metrics objects that keep their own values.
// The whole installation road is driven by the script test install_road.js.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "tests/module/ComTestSupport.h"
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
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        m_guestFile = std::wstring(temp) + L"nimbo-installer-object-" + std::to_wstring(GetCurrentProcessId());
        WriteGuests(Guest("srv2003", "5.2", "0x8003", "AMD64"));
        ASSERT_EQ(S_OK, vss::CreateNimboVssGAConnection(nullptr, IID_INimboGAConnection, conn.put_void()));
        SetErrorInfo(0, nullptr);
    }

    void TearDown() override
    {
        conn.reset();
        SetErrorInfo(0, nullptr);
        CoUninitialize();
    }

    // A new file each time: the simulation reads a guest description again when its name changes.
    void WriteGuests(const std::string& text)
    {
        const std::wstring path = m_guestFile + L"-" + std::to_wstring(++m_generation) + L".txt";
        FILE* f = _wfopen(path.c_str(), L"wb");
        ASSERT_NE(nullptr, f);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        ASSERT_TRUE(SetEnvironmentVariableW(L"NIMBO_SIM_GUESTS", path.c_str()));
        sim::Refresh();
        sim::ScmReset();
    }

    HRESULT Connect(const wchar_t* machine)
    {
        return conn->Connect(CBstr(std::wstring(machine)).get(), CBstr(std::wstring(L"admin")).get(),
                             CBstr(std::wstring(L"pw")).get());
    }

    CComPtr<INimboGAInstaller> Installer()
    {
        CComPtr<INimboGAInstaller> installer;
        EXPECT_EQ(S_OK, conn->get_Installer(installer.put()));
        return installer;
    }

    std::shared_ptr<install::CInstaller> Engine()
    {
        return static_cast<vss::CNimboVssGAConnection*>(conn.get())->InstallerSlot()->Get();
    }

    CComPtr<INimboGAConnection> conn;

private:
    std::wstring m_guestFile;
    int m_generation = 0;
};

TEST_F(InstallerObject, InstallerObjectsOfOneConnectionShareOneEngineUntilDisconnect)
{
    ASSERT_EQ(S_OK, Connect(L"srv2003"));
    CComPtr<INimboGAInstaller> first = Installer();
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

    // A new connection makes a new engine, which the old objects see through the shared slot.
    ASSERT_EQ(S_OK, Connect(L"srv2003"));
    CComPtr<INimboGAInstaller> fourth = Installer();
    EXPECT_NE(nullptr, Engine());
    EXPECT_EQ(S_OK, first->GetGateState(&state));
}

TEST_F(InstallerObject, EveryEngineMemberFailsWith238AfterDisconnect)
{
    ASSERT_EQ(S_OK, Connect(L"srv2003"));
    CComPtr<INimboGAInstaller> installer = Installer();
    ASSERT_EQ(S_OK, conn->Disconnect());

    INimboGuestMetrics* metrics = reinterpret_cast<INimboGuestMetrics*>(1);
    ENimboGuestAgentState state = static_cast<ENimboGuestAgentState>(77);
    const struct
    {
        const char* member;
        std::function<HRESULT()> call;
    } cases[] = {
        {"CollectGuestMetrics", [&] { return installer->CollectGuestMetrics(&metrics); }},
        {"Install", [&] { return installer->Install(); }},
        {"Uninstall", [&] { return installer->Uninstall(); }},
        {"GetGateState", [&] { return installer->GetGateState(&state); }},
        {"RunGate", [&] { return installer->RunGate(); }},
    };
    for (const auto& c : cases)
    {
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), c.call()) << c.member;
        const comtest::SErrorInfo error = comtest::TakeErrorInfo();
        ASSERT_TRUE(error.present) << c.member;
        EXPECT_EQ(L"Connection to the remote server is closed or not established.", error.description) << c.member;
        EXPECT_EQ(L"", error.source) << c.member;
        EXPECT_TRUE(IsEqualGUID(IID_INimboGAInstaller, error.guid)) << c.member;
    }
    EXPECT_EQ(reinterpret_cast<INimboGuestMetrics*>(1), metrics) << "out parameters are left alone on failure";
    EXPECT_EQ(77, state) << "a failed query leaves the caller's value alone";
}

TEST_F(InstallerObject, NullPointersAreRefusedWithoutErrorInfoAndPluginInfoIsNotImplemented)
{
    ASSERT_EQ(S_OK, Connect(L"srv2003"));
    CComPtr<INimboGAInstaller> installer = Installer();
    CComPtr<INimboGuestMetrics> metrics;
    ASSERT_EQ(S_OK, installer->CollectGuestMetrics(metrics.put()));
    unsigned short major = 99, minor = 99;
    IDispatch* plugin = reinterpret_cast<IDispatch*>(1);

    const struct
    {
        const char* call;
        HRESULT expected;
        std::function<HRESULT()> run;
    } cases[] = {
        {"CollectGuestMetrics(null)", E_INVALIDARG, [&] { return installer->CollectGuestMetrics(nullptr); }},
        {"GetGateState(null)", E_INVALIDARG, [&] { return installer->GetGateState(nullptr); }},
        {"PluginSpecificInfo(null)", E_NOTIMPL, [&] { return installer->get_PluginSpecificInfo(nullptr); }},
        {"PluginSpecificInfo(&p)", E_NOTIMPL, [&] { return installer->get_PluginSpecificInfo(&plugin); }},
        {"GetOsBuild(null, &minor)", E_INVALIDARG, [&] { return metrics->GetOsBuild(nullptr, &minor); }},
        {"GetOsBuild(&major, null)", E_INVALIDARG, [&] { return metrics->GetOsBuild(&major, nullptr); }},
        {"OsType(null)", E_INVALIDARG, [&] { return metrics->get_OsType(nullptr); }},
        {"OsPlatform(null)", E_INVALIDARG, [&] { return metrics->get_OsPlatform(nullptr); }},
        {"Supported(null)", E_INVALIDARG, [&] { return metrics->get_Supported(nullptr); }},
    };
    for (int round = 0; round < 2; ++round)
    {
        // The second round runs with the slot emptied: the checks come before the engine.
        if (round == 1)
        {
            ASSERT_EQ(S_OK, conn->Disconnect());
        }
        for (const auto& c : cases)
        {
            util::SetComErrorInfo(nullptr, IID_INimboGAInstaller, L"stale", E_FAIL);  // an earlier failure's
            EXPECT_EQ(c.expected, c.run()) << c.call << " round " << round;
            EXPECT_FALSE(comtest::TakeErrorInfo().present) << c.call << " round " << round;
        }
    }
    EXPECT_EQ(99, major) << "nothing is written when one pointer is null";
    EXPECT_EQ(99, minor);
    EXPECT_EQ(reinterpret_cast<IDispatch*>(1), plugin) << "PluginSpecificInfo does not touch its pointer";
}

TEST_F(InstallerObject, EachMetricsObjectKeepsTheValuesOfItsOwnCall)
{
    ASSERT_EQ(S_OK, Connect(L"srv2003"));
    CComPtr<INimboGAInstaller> installer = Installer();
    CComPtr<INimboGuestMetrics> before;
    ASSERT_EQ(S_OK, installer->CollectGuestMetrics(before.put()));

    // The guest changes between the two calls: the second call asks the guest again.
    WriteGuests(Guest("srv2003", "6.0", "0x1003", "x86"));
    CComPtr<INimboGuestMetrics> after;
    ASSERT_EQ(S_OK, Installer()->CollectGuestMetrics(after.put()));
    EXPECT_NE(before.get(), after.get());
    ASSERT_EQ(S_OK, conn->Disconnect());
    conn.reset();  // the metrics objects outlive the connection

    const struct
    {
        const char* name;
        INimboGuestMetrics* metrics;
        unsigned short major;
        ENimboOsType type;
        ENimboOsPlatform platform;
        VARIANT_BOOL supported;
    } cases[] = {
        {"first call", before.get(), 5, ENimboOs2003, ENimboAmd64, VARIANT_TRUE},
        {"second call", after.get(), 6, ENimboOsVista, ENimboX86, VARIANT_FALSE},
    };
    for (const auto& c : cases)
    {
        unsigned short major = 0, minor = 0;
        ENimboOsType type = ENimboOsOther;
        ENimboOsPlatform platform = ENimboPlatformOther;
        // A 16-bit value (-1 for true): the bytes after it stay as they were.
        VARIANT_BOOL supported[2] = {0x1234, 0x5678};
        EXPECT_EQ(S_OK, c.metrics->GetOsBuild(&major, &minor)) << c.name;
        EXPECT_EQ(c.major, major) << c.name;
        EXPECT_EQ(S_OK, c.metrics->get_OsType(&type)) << c.name;
        EXPECT_EQ(c.type, type) << c.name;
        EXPECT_EQ(S_OK, c.metrics->get_OsPlatform(&platform)) << c.name;
        EXPECT_EQ(c.platform, platform) << c.name;
        EXPECT_EQ(S_OK, c.metrics->get_Supported(&supported[0])) << c.name;
        EXPECT_EQ(c.supported, supported[0]) << c.name;
        EXPECT_EQ(0x5678, supported[1]) << c.name;
    }
}
}
