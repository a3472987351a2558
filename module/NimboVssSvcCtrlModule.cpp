#include "module/NimboVssSvcCtrlModule.h"
#include <oleauto.h>
#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "foundation/ModuleInstance.h"
#include "module/ClassMap.h"
#include "module/TypeInfoCache.h"
// The registrar's identifiers are defined in this file (no system library carries them).
#define ATL_INITGUID
#include "atliface.h"

namespace
{
const wchar_t kAppId[] = L"{7E68C763-27C5-43E9-AB44-C5BA4CE2BBA4}";
const UINT kAppIdScript = 101;

HRESULT CreateVssConnection(IUnknown* outer, REFIID iid, void** ppv)
{
    return vss::CreateNimboVssGAConnection(outer, iid, ppv);
}

HRESULT CreateConsoleConnection(IUnknown* outer, REFIID iid, void** ppv)
{
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return rconsole::com::CreateRcConnection(iid, ppv);
}

HRESULT CreateConsoleEvt(IUnknown* outer, REFIID iid, void** ppv)
{
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return rconsole::com::CreateRcEvt(iid, ppv);
}

// The DLL's own path in a buffer of the classic size; a path that fills it is refused rather
// than cut.
HRESULT GetModulePath(wchar_t (&path)[MAX_PATH]) noexcept
{
    DWORD n = GetModuleFileNameW(util::GetModuleInstance(), path, MAX_PATH);
    if (n == 0)
        return HRESULT_FROM_WIN32(GetLastError());
    if (n >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

// The registrar puts %MODULE% inside a quoted string of the script, where a quote ends the
// string: a folder such as C:\O'Brien\ would register C:\O. The script syntax escapes a quote
// by doubling it.
void EscapeQuotes(const wchar_t* text, wchar_t (&escaped)[2 * MAX_PATH]) noexcept
{
    size_t n = 0;
    for (; *text; ++text)
    {
        if (*text == L'\'')
            escaped[n++] = L'\'';
        escaped[n++] = *text;
    }
    escaped[n] = L'\0';
}

HRESULT RunScript(UINT scriptId, bool doRegister) noexcept
{
    wchar_t path[MAX_PATH];
    HRESULT hr = GetModulePath(path);
    if (FAILED(hr))
        return hr;
    wchar_t scriptPath[2 * MAX_PATH];
    EscapeQuotes(path, scriptPath);
    util::CComPtr<IRegistrar> registrar;
    hr = CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar, registrar.put_void());
    if (FAILED(hr))
        return hr;
    const struct
    {
        const wchar_t* key;
        const wchar_t* item;
    } replacements[] = {{L"Module", scriptPath}, {L"Module_Raw", path}, {L"APPID", kAppId}};
    for (const auto& r : replacements)
    {
        hr = registrar->AddReplacement(r.key, r.item);
        if (FAILED(hr))
            return hr;
    }
    return doRegister ? registrar->ResourceRegister(path, scriptId, L"REGISTRY")
                      : registrar->ResourceUnregister(path, scriptId, L"REGISTRY");
}

// The type library from the DLL's resources, or else from the .tlb file beside the DLL;
// `loadedFrom` names the file it came from.
HRESULT LoadModuleTypeLib(ITypeLib** typeLib, wchar_t (&loadedFrom)[MAX_PATH]) noexcept
{
    HRESULT hr = GetModulePath(loadedFrom);
    if (FAILED(hr))
        return hr;
    hr = LoadTypeLibEx(loadedFrom, REGKIND_NONE, typeLib);
    if (SUCCEEDED(hr))
        return hr;
    wchar_t* name = loadedFrom;
    for (wchar_t* p = loadedFrom; *p; ++p)
        if (*p == L'\\' || *p == L'/')
            name = p + 1;
    wchar_t* dot = nullptr;
    for (wchar_t* p = name; *p; ++p)
        if (*p == L'.')
            dot = p;
    if (!dot)
        dot = name + lstrlenW(name);
    if ((dot - loadedFrom) + 5 > MAX_PATH)
        return hr;
    lstrcpyW(dot, L".tlb");
    return LoadTypeLibEx(loadedFrom, REGKIND_NONE, typeLib);
}

HRESULT RegisterModuleTypeLib() noexcept
{
    wchar_t path[MAX_PATH];
    util::CComPtr<ITypeLib> typeLib;
    HRESULT hr = LoadModuleTypeLib(typeLib.put(), path);
    if (FAILED(hr))
        return hr;
    // The help folder is the folder of the help file that the library names, if any.
    util::CBstr helpFile;
    wchar_t helpDir[MAX_PATH] = L"";
    if (SUCCEEDED(typeLib->GetDocumentation(-1, nullptr, nullptr, nullptr, helpFile.put())) && helpFile.Length() > 0 &&
        helpFile.Length() < MAX_PATH)
    {
        lstrcpyW(helpDir, helpFile.get());
        wchar_t* lastSlash = nullptr;
        for (wchar_t* p = helpDir; *p; ++p)
            if (*p == L'\\' || *p == L'/')
                lastSlash = p;
        if (lastSlash)
            *lastSlash = L'\0';
        else
            helpDir[0] = L'\0';
    }
    return RegisterTypeLib(typeLib.get(), path, helpDir[0] ? helpDir : nullptr);
}

HRESULT UnregisterModuleTypeLib() noexcept
{
    wchar_t path[MAX_PATH];
    util::CComPtr<ITypeLib> typeLib;
    HRESULT hr = LoadModuleTypeLib(typeLib.put(), path);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attr = nullptr;
    hr = typeLib->GetLibAttr(&attr);
    if (FAILED(hr))
        return hr;
    hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    typeLib->ReleaseTLibAttr(attr);
    return hr;
}

// The registrar is a COM object, and installers often call the entry points on a thread that
// never initialised COM: such a thread has it for the duration of the call.
class CComScope
{
public:
    CComScope() noexcept : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~CComScope()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;

private:
    HRESULT m_hr;  // RPC_E_CHANGED_MODE: the thread has COM in the other model already
};

// Registration runs with the system default locale, whatever the caller's thread uses.
class CSystemLocaleScope
{
public:
    CSystemLocaleScope() noexcept : m_saved(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~CSystemLocaleScope() { SetThreadLocale(m_saved); }
    CSystemLocaleScope(const CSystemLocaleScope&) = delete;
    CSystemLocaleScope& operator=(const CSystemLocaleScope&) = delete;

private:
    LCID m_saved;
};
}

CNimboVssSvcCtrlModule::CNimboVssSvcCtrlModule() noexcept
    : comfw::CDllModule(LIBID_NimboGuestAgentCtrlLib),
      m_map{
          {&CLSID_NimboVssGAConnection, 123, &CreateVssConnection, nullptr},
          {&CLSID_NimboRemoteConsoleConnection, 153, &CreateConsoleConnection, nullptr},
          {&CLSID_NimboRemoteConsoleEvt, 156, &CreateConsoleEvt, nullptr},
      }
{
    m_mapReady = InitializeCriticalSectionAndSpinCount(&m_mapCs, 0) != FALSE;
}

CNimboVssSvcCtrlModule::~CNimboVssSvcCtrlModule()
{
    if (m_mapReady)
        DeleteCriticalSection(&m_mapCs);
}

HRESULT CNimboVssSvcCtrlModule::CanUnloadNow() const noexcept
{
    if (GetLockCount() != 0)
        return S_FALSE;
    // The last chance to release the cached type information outside the loader lock.
    comfw::CTypeInfoCache::Clear();
    return S_OK;
}

HRESULT CNimboVssSvcCtrlModule::GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    for (SClassEntry& entry : m_map)
    {
        if (!IsEqualCLSID(*entry.clsid, clsid))
            continue;
        IClassFactory* factory = nullptr;
        HRESULT hr = S_OK;
        EnterCriticalSection(&m_mapCs);
        if (!entry.factory)
            hr = comfw::CClassFactory::Create(entry.creator, &entry.factory);
        factory = entry.factory;
        LeaveCriticalSection(&m_mapCs);
        if (FAILED(hr))
            return hr;
        hr = factory->QueryInterface(iid, ppv);
        if (SUCCEEDED(hr) && !*ppv)
            return CLASS_E_CLASSNOTAVAILABLE;
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CNimboVssSvcCtrlModule::RegisterServer() noexcept
{
    CComScope com;
    CSystemLocaleScope locale;
    HRESULT hr = RunScript(kAppIdScript, true);
    for (size_t i = 0; SUCCEEDED(hr) && i < kClassCount; ++i)
        hr = RunScript(m_map[i].scriptId, true);
    if (SUCCEEDED(hr))
        hr = RegisterModuleTypeLib();
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CNimboVssSvcCtrlModule::UnregisterServer() noexcept
{
    CComScope com;
    CSystemLocaleScope locale;
    HRESULT hr = S_OK;
    for (size_t i = 0; SUCCEEDED(hr) && i < kClassCount; ++i)
        hr = RunScript(m_map[i].scriptId, false);
    if (SUCCEEDED(hr))
        hr = UnregisterModuleTypeLib();
    // The AppID is shared by the classes: it goes only when they are gone.
    if (SUCCEEDED(hr))
        hr = RunScript(kAppIdScript, false);
    return FAILED(hr) ? hr : S_OK;
}

void CNimboVssSvcCtrlModule::Term() noexcept
{
    if (m_mapReady)
    {
        for (SClassEntry& entry : m_map)
        {
            IClassFactory* factory = nullptr;
            EnterCriticalSection(&m_mapCs);
            factory = entry.factory;
            entry.factory = nullptr;
            LeaveCriticalSection(&m_mapCs);
            if (factory)
                factory->Release();
        }
    }
}
