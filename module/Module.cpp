// Entry points of the in-process COM server.
#include <windows.h>
#include <ole2.h>
#include "foundation/ModuleInstance.h"
#include "foundation/ThreadStorage.h"
#include "module/NimboVssSvcCtrlModule.h"

namespace
{
// Constructed before DllMain runs, so it exists before any export is called.
CNimboVssSvcCtrlModule g_module;

// The threading runtime keeps a record with an event and a thread handle for every thread that
// uses it, and its TLS callback frees that record when the thread ends. For the thread that
// unloads the DLL (the one calling CoFreeUnusedLibraries), the DLL's TLS callbacks are told
// here that its thread is done with the DLL.
void EndThreadOfCaller(HINSTANCE instance) noexcept
{
    const BYTE* base = reinterpret_cast<const BYTE*>(instance);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    if (dir.VirtualAddress == 0)
        return;
    const auto* tls = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(base + dir.VirtualAddress);
    for (auto* callback = reinterpret_cast<PIMAGE_TLS_CALLBACK*>(tls->AddressOfCallBacks); callback && *callback;
         ++callback)
        (*callback)(instance, DLL_THREAD_DETACH, nullptr);
}
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        util::SetModuleInstance(instance);
        return g_module.IsReady() ? TRUE : FALSE;
    }
    // Thread notifications stay on: they free the runtime's per-thread state of each thread
    // that ends, and that of the calling thread when COM unloads the DLL (reserved is null
    // when FreeLibrary unloads it while the process goes on).
    if (reason == DLL_THREAD_DETACH)
        util::EndThreadStorage(false);
    if (reason == DLL_PROCESS_DETACH)
    {
        g_module.Term();
        if (!reserved)
        {
            EndThreadOfCaller(instance);
            util::EndThreadStorage(true);
        }
    }
    return TRUE;
}

STDAPI DllCanUnloadNow()
{
    return g_module.CanUnloadNow();
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* ppv)
{
    return g_module.GetClassObject(clsid, iid, ppv);
}

STDAPI DllRegisterServer()
{
    return g_module.RegisterServer();
}

STDAPI DllUnregisterServer()
{
    return g_module.UnregisterServer();
}
