#pragma once
// The module object of the DLL: the class object map of the three creatable classes and the
// registration of the classes, the AppID and the type library.
#include <windows.h>
#include <unknwn.h>
#include "module/ClassFactory.h"
#include "module/DllModule.h"

class CNimboVssSvcCtrlModule : public comfw::CDllModule
{
public:
    CNimboVssSvcCtrlModule() noexcept;
    ~CNimboVssSvcCtrlModule() override;

    // False when a critical section could not be initialised: the DLL must not load.
    bool IsReady() const noexcept { return IsInitialized() && m_mapReady; }

    HRESULT CanUnloadNow() const noexcept;
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) noexcept;
    HRESULT RegisterServer() noexcept;
    HRESULT UnregisterServer() noexcept;

    // Releases the cached class objects (the type information goes in CanUnloadNow).
    void Term() noexcept;

private:
    struct SClassEntry
    {
        const CLSID* clsid;
        UINT scriptId;
        comfw::InstanceCreator creator;
        IClassFactory* factory;  // created on first request, kept until Term
    };

    static constexpr size_t kClassCount = 3;
    SClassEntry m_map[kClassCount];
    CRITICAL_SECTION m_mapCs;
    bool m_mapReady = false;
};
