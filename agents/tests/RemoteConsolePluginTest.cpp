// The remote console plugin loaded into this process and driven through the interface's client
// stub over loopback TCP, for what only a live server shows: output of several megabytes
// written between two polls, the end of a session's program when its client goes, and the
// count of clients an upgrade notice reports.

#include "agents/PluginApi.h"
#include "rpc/RpcGuard.h"

#include "RemoteConsoleRpc.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <mutex>
#include <string>

namespace
{
// Runs a stub call; a fault fails the test instead of ending the process.
template <class F> unsigned long Guarded(F call)
{
    return NimboRpcCallGuarded([](void* c) { (*static_cast<F*>(c))(); }, &call);
}

std::mutex g_logLock;
std::wstring g_log;
void __cdecl CollectLog(void*, DWORD, const wchar_t* text)
{
    std::lock_guard<std::mutex> hold(g_logLock);
    g_log += text + std::wstring(L"\n");
}

class RemoteConsolePluginTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        s_folder = temp + std::wstring(L"NimboRcPlugin") + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(s_folder.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(NIMBO_CONSOLE_PROBE, (s_folder + L"\\Probe.exe").c_str(), FALSE)) << GetLastError();
        std::ofstream(std::string(s_folder.begin(), s_folder.end()) + "\\RemoteConsoleCfg.xml")
            << "<?xml version=\"1.0\"?><ApplicationCfg AutoUninstall=\"true\" RpcSvcName=\"NimboRemoteConsole\">"
               "<Versioning AgentVersion=\"1.2.3.4\"><CompatibilityList/></Versioning>"
               "<StartupCfg RelativePath=\"Probe.exe\" CmdLine=\"\" WorkingDir=\"\"/></ApplicationCfg>";
        s_pluginHost = SNimboPluginHost{sizeof(SNimboPluginHost), s_folder.c_str(), L"NimboRemoteConsole",
                                  NIMBO_CONSOLE_PLUGIN, TRUE, 0, nullptr, &CollectLog};
        s_plugin = LoadLibraryW(NIMBO_CONSOLE_PLUGIN);
        ASSERT_NE(s_plugin, nullptr) << GetLastError();
        auto start = reinterpret_cast<PFN_NIMBO_PLUGIN_START>(reinterpret_cast<void*>(GetProcAddress(s_plugin, NIMBO_PLUGIN_START_NAME)));
        ASSERT_EQ(start(&s_pluginHost), 0u) << std::string(g_log.begin(), g_log.end());
        // "... binding [ncacn_ip_tcp:[49157]] ...": the port the plugin listens on.
        const size_t at = g_log.find(L"ncacn_ip_tcp:");
        ASSERT_NE(at, std::wstring::npos);
        s_binding = L"ncacn_ip_tcp:127.0.0.1[" + std::to_wstring(_wtoi(g_log.c_str() + g_log.find(L'[', at) + 1)) + L"]";
    }
    static void TearDownTestSuite()
    {
        if (s_plugin)
            reinterpret_cast<PFN_NIMBO_PLUGIN_STOP>(reinterpret_cast<void*>(GetProcAddress(s_plugin, NIMBO_PLUGIN_STOP_NAME)))();
    }

    // A client of its own: a binding and a session on it.
    struct SClient
    {
        handle_t binding = nullptr;
        RC_SESSION session = nullptr;
        SClient()
        {
            RpcBindingFromStringBindingW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(s_binding.c_str())), &binding);
            LONG status = -1;
            EXPECT_EQ(Guarded([&] { status = RcConnect(binding, &session); }), 0u);
            EXPECT_EQ(status, 0);
        }
        ~SClient()
        {
            if (session)
                Guarded([&] { RcDisconnect(&session); });
            RpcBindingFree(&binding);
        }
        DWORD Start()
        {
            LONG pid = 0, status = -1;
            EXPECT_EQ(Guarded([&] { status = RcConsoleStart(session, L"", &pid); }), 0u);
            EXPECT_EQ(status, 0);
            return static_cast<DWORD>(pid);
        }
        void Send(const wchar_t* text)
        {
            LONG status = -1;
            EXPECT_EQ(Guarded([&] { status = RcConsoleSend(session, text); }), 0u);
            EXPECT_EQ(status, 0);
        }
        // One poll; false when it failed.
        bool Poll(RcConsoleStatus& record)
        {
            LONG status = -1;
            record = RcConsoleStatus{};
            return Guarded([&] { status = RcConsoleQueryStatus(session, &record); }) == 0 && status == 0;
        }
        LONG Notify()
        {
            wchar_t text = 0;
            LONG attached = -1;
            EXPECT_EQ(Guarded([&] { RcPreUpgradeNotify(binding, &text, &attached); }), 0u);
            return attached;
        }
    };

    static std::wstring s_folder, s_binding;
    static SNimboPluginHost s_pluginHost;
    static HMODULE s_plugin;
};
std::wstring RemoteConsolePluginTest::s_folder, RemoteConsolePluginTest::s_binding;
SNimboPluginHost RemoteConsolePluginTest::s_pluginHost;
HMODULE RemoteConsolePluginTest::s_plugin = nullptr;

std::wstring Take(wchar_t*& text)
{
    std::wstring result = text ? text : L"";
    midl_user_free(text);
    text = nullptr;
    return result;
}

TEST_F(RemoteConsolePluginTest, BurstBetweenTwoPollsArrivesWholeAndInOrder)
{
    const size_t total = 6 * 1024 * 1024 + 10;   // more than a stream keeps, a short last line
    SClient client;
    client.Start();
    client.Send(L"burst 6291466\r\nerr after\necho done\nexit 0\n");
    Sleep(3000);   // the program writes all it can before anyone polls
    std::wstring out, err;
    RcConsoleStatus record{};
    for (int poll = 0; poll < 200 && client.Poll(record); ++poll, Sleep(50))
    {
        out += Take(record.outText);
        err += Take(record.errText);
        Take(record.errorText);
        EXPECT_EQ(record.errorCode, 0);
        if (record.state == 1)
            break;
    }
    ASSERT_EQ(record.state, 1);
    EXPECT_EQ(err, L"after\r\n");
    ASSERT_EQ(out.size(), total + 6);
    EXPECT_EQ(out.substr(total), L"done\r\n");
    for (size_t line = 0; line * 64 < total; ++line)
    {
        wchar_t head[16];
        swprintf(head, 16, L"%08u %c", static_cast<unsigned>(line), static_cast<wchar_t>(L'A' + line % 26));
        ASSERT_EQ(out.compare(line * 64, 10, head), 0) << "line " << line;
        if ((line + 1) * 64 <= total)
        {
            ASSERT_EQ(out.compare(line * 64 + 62, 2, L"\r\n"), 0) << "line " << line;
        }
    }
}

TEST_F(RemoteConsolePluginTest, EndOfSessionEndsItsProgram)
{
    for (const bool rundown : {false, true})
    {
        SClient client;
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, client.Start());
        ASSERT_NE(process, nullptr) << GetLastError();
        if (rundown)
        {
            // The client vanishes: no RcDisconnect, the connection just closes.
            RpcSsDestroyClientContext(&client.session);
            RpcBindingFree(&client.binding);
        }
        else
            Guarded([&] { RcDisconnect(&client.session); });
        EXPECT_EQ(WaitForSingleObject(process, 15000), WAIT_OBJECT_0) << (rundown ? "rundown" : "RcDisconnect");
        CloseHandle(process);
    }
}

TEST_F(RemoteConsolePluginTest, UpgradeNoticeCountsTheOtherClientsAndTellsThemOnce)
{
    SClient notifier;
    EXPECT_EQ(notifier.Notify(), 0);
    {
        SClient first, second;
        first.Start();
        EXPECT_EQ(notifier.Notify(), 2);
        RcConsoleStatus record{};
        ASSERT_TRUE(first.Poll(record));
        EXPECT_EQ(record.errorCode, static_cast<LONG>(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED)));
        EXPECT_NE(Take(record.errorText), L"");
        ASSERT_TRUE(first.Poll(record));
        EXPECT_EQ(record.errorCode, 0);
    }
    EXPECT_EQ(notifier.Notify(), 0);
}
}
