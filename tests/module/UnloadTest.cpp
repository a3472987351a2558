// The DLL loaded and unloaded again and again by COM, as a long-running host does through
// CoFreeUnusedLibraries: each cycle must give back every handle it took, also after failures
// (thrown and caught inside the DLL) and after calls from a thread that has ended since.
#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>
#include <thread>
#include <vector>
#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"

namespace
{
// The process's open handles, as the system lists them (GetProcessHandleCount gives 0 under
// Wine; the system handle list is exact on both).
size_t OpenHandles()
{
    struct SEntry { PVOID object; ULONG_PTR processId, handle; ULONG access; USHORT backTrace, type; ULONG attributes, reserved; };
    struct SList { ULONG_PTR count, reserved; SEntry entries[1]; };
    const auto query = reinterpret_cast<NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(4 << 20);
    ULONG length = 0;
    const ULONG kSystemExtendedHandleInformation = 64;
    if (!query || query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &length) != 0)
        return 0;
    const auto* list = reinterpret_cast<const SList*>(buffer.data());
    size_t mine = 0;
    for (ULONG_PTR i = 0; i < list->count; ++i)
        mine += list->entries[i].processId == GetCurrentProcessId();
    return mine;
}

// One use of the library: a connection that logs, fails to connect and to hand out its
// installer (both raise and catch inside the DLL), then goes.
void UseTheLibrary()
{
    util::CComPtr<INimboGAConnection> connection;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NimboVssGAConnection, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_INimboGAConnection, connection.put_void()));
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    EXPECT_EQ(S_OK, connection->InitLogging(ENimboGuestAgentLogTrace, util::CBstr(std::wstring(temp) + L"nimbo_unload.log").get()));
    EXPECT_TRUE(FAILED(connection->Connect(util::CBstr(std::wstring(L"no-such-guest")).get(), nullptr, nullptr)));
    util::CComPtr<INimboGAInstaller> installer;
    EXPECT_TRUE(FAILED(connection->get_Installer(installer.put())));
}

void Unload()
{
    CoFreeUnusedLibrariesEx(0, 0);
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(nullptr, GetModuleHandleW(L"NimboGuestAgentCtrl.dll"));
}

TEST(UnloadTest, LoadUseUnloadCyclesGiveBackEveryHandle)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    const struct { const char* where; void (*use)(); } cases[] = {
        {"on this apartment's thread", UseTheLibrary},
        {"on another apartment's thread, ended before the unload", [] {
             std::thread([] {
                 CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
                 UseTheLibrary();
                 CoUninitialize();
             }).join();
         }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.where);
        c.use();  // the first cycle loads what stays loaded anyway (system DLLs, COM state)
        Unload();
        const size_t before = OpenHandles();
        ASSERT_GT(before, 0u);
        for (int i = 0; i < 5; ++i)
        {
            c.use();
            Unload();
        }
        EXPECT_EQ(before, OpenHandles());
    }
    CoUninitialize();
}
}
