#include "module/TypeInfoCache.h"
#include <oleauto.h>
#include "foundation/ModuleInstance.h"
#include "module/DllModule.h"

namespace comfw
{
namespace
{
struct SEntry
{
    IID iid;
    ITypeInfo* typeInfo;
};

// The locale the type library is built and registered with (US English).
constexpr LCID kTypeLibLocale = 0x409;

// The library has fewer dual interfaces than this; a request beyond it is served uncached.
constexpr size_t kMaxEntries = 16;
ITypeLib* g_typeLib = nullptr;
SEntry g_entries[kMaxEntries];
size_t g_count = 0;

HRESULT LoadLibraryOfModule(ITypeLib** typeLib) noexcept
{
    *typeLib = nullptr;
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(util::GetModuleInstance(), path, MAX_PATH);
    HRESULT hr = E_FAIL;
    if (n > 0 && n < MAX_PATH)
        hr = LoadTypeLibEx(path, REGKIND_NONE, typeLib);
    if (FAILED(hr))
        hr = LoadRegTypeLib(CDllModule::Get().GetLibId(), 1, 0, kTypeLibLocale, typeLib);
    return hr;
}
}

HRESULT CTypeInfoCache::Get(REFIID iid, ITypeInfo** typeInfo) noexcept
{
    if (!typeInfo)
        return E_POINTER;
    *typeInfo = nullptr;
    CDllModule::CLock lock(CDllModule::Get());
    for (size_t i = 0; i < g_count; ++i)
    {
        if (IsEqualIID(g_entries[i].iid, iid))
        {
            *typeInfo = g_entries[i].typeInfo;
            (*typeInfo)->AddRef();
            return S_OK;
        }
    }
    if (!g_typeLib)
    {
        HRESULT hr = LoadLibraryOfModule(&g_typeLib);
        if (FAILED(hr))
            return hr;
    }
    ITypeInfo* info = nullptr;
    HRESULT hr = g_typeLib->GetTypeInfoOfGuid(iid, &info);
    if (FAILED(hr))
        return hr;
    if (g_count < kMaxEntries)
    {
        g_entries[g_count] = SEntry{iid, info};
        ++g_count;
        info->AddRef();
    }
    *typeInfo = info;
    return S_OK;
}

void CTypeInfoCache::Clear() noexcept
{
    CDllModule::CLock lock(CDllModule::Get());
    for (size_t i = 0; i < g_count; ++i)
        g_entries[i].typeInfo->Release();
    g_count = 0;
    if (g_typeLib)
        g_typeLib->Release();
    g_typeLib = nullptr;
}
}
