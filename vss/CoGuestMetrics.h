#pragma once
// A read-only view of one collection of a guest's metrics: the Windows version, type and
// platform, and whether the VSS agent can run there. Each CollectGuestMetrics call makes a new
// one; it never talks to the guest and stays valid after the connection is gone.
#include <windows.h>
#include <oaidl.h>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "module/ComObject.h"
#include "remote/GuestOsInfo.h"

namespace vss
{
class CCoGuestMetrics
    : public comfw::CComObjectRoot<comfw::CSingleThreadModel, INimboGuestMetrics, ISupportErrorInfo>
{
public:
    HRESULT FinalConstruct() noexcept
    {
        m_supported = false;
        return S_OK;
    }

    STDMETHODIMP GetOsBuild(unsigned short* pMajor, unsigned short* pMinor) noexcept override;
    STDMETHODIMP get_OsType(ENimboOsType* pOsType) noexcept override;
    STDMETHODIMP get_OsPlatform(ENimboOsPlatform* pOsPlaform) noexcept override;
    STDMETHODIMP get_Supported(VARIANT_BOOL* pbSupported) noexcept override;

private:
    friend util::CComPtr<INimboGuestMetrics> CreateGuestMetrics(remote::CGuestOsInfoPtr, bool);

    remote::CGuestOsInfoPtr m_osInfo;
    bool m_supported = false;
};

// Makes a metrics object over `osInfo` (which must not be empty) and the supported flag. A
// failure raises a CComExc with the creation's HRESULT.
util::CComPtr<INimboGuestMetrics> CreateGuestMetrics(remote::CGuestOsInfoPtr osInfo, bool supported);
}
