#pragma once
// Type information of the library's own interfaces, loaded once per process from the type
// library in this module's resources and kept for the dispatch implementation of every object.
#include <windows.h>
#include <oaidl.h>

namespace comfw
{
class CTypeInfoCache
{
public:
    // The type information of interface `iid` with one reference for the caller. The type
    // library is loaded from this module's file; the registered one is the fallback.
    static HRESULT Get(REFIID iid, ITypeInfo** typeInfo) noexcept;

    // Releases everything cached. Called when COM asks whether the DLL may be unloaded and no
    // object is alive: releasing type information calls into OLEAUT32, which must not happen
    // under the loader lock of DllMain. Objects created later load it again.
    static void Clear() noexcept;
};
}
