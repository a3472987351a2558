// DLL entry points of the in-process COM server.
#include <windows.h>
#include <ole2.h>
#include <string>
#include "foundation/ModuleInstance.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        util::SetModuleInstance(instance);
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllCanUnloadNow()
{
    return S_OK;
}

STDAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllRegisterServer()
{
    std::wstring path = util::GetModuleFilePath();
    ITypeLib* typeLib = nullptr;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &typeLib);
    if (FAILED(hr))
        return hr;
    hr = RegisterTypeLib(typeLib, &path[0], nullptr);
    typeLib->Release();
    return hr;
}

STDAPI DllUnregisterServer()
{
    std::wstring path = util::GetModuleFilePath();
    ITypeLib* typeLib = nullptr;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &typeLib);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attr = nullptr;
    hr = typeLib->GetLibAttr(&attr);
    if (SUCCEEDED(hr))
    {
        hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        typeLib->ReleaseTLibAttr(attr);
    }
    typeLib->Release();
    return hr;
}
