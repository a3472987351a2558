// Entry points of the in-process COM server.
#include <windows.h>
#include <ole2.h>
#include "foundation/ModuleInstance.h"
#include "module/NimboVssSvcCtrlModule.h"

namespace
{
// Constructed before DllMain runs, so it exists before any export is called.
CNimboVssSvcCtrlModule g_module;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        util::SetModuleInstance(instance);
        DisableThreadLibraryCalls(instance);
        return g_module.IsReady() ? TRUE : FALSE;
    }
    if (reason == DLL_PROCESS_DETACH)
        g_module.Term(reserved == nullptr);
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
