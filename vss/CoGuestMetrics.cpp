#include "vss/CoGuestMetrics.h"

#include "foundation/ComBoundary.h"
#include "foundation/Exc.h"

namespace vss
{
// The members only read what the creating call stored; they never fail but for null pointers.
HRESULT CCoGuestMetrics::GetOsBuild(unsigned short* pMajor, unsigned short* pMinor) noexcept
{
    if (!pMajor || !pMinor)
        return util::ArgumentError(E_INVALIDARG);
    WORD major = 0, minor = 0;
    m_osInfo->GetOsBuild(major, minor);
    *pMajor = major;
    *pMinor = minor;
    return S_OK;
}

HRESULT CCoGuestMetrics::get_OsType(ENimboOsType* pOsType) noexcept
{
    if (!pOsType)
        return util::ArgumentError(E_INVALIDARG);
    *pOsType = m_osInfo->GetOsType();
    return S_OK;
}

HRESULT CCoGuestMetrics::get_OsPlatform(ENimboOsPlatform* pOsPlaform) noexcept
{
    if (!pOsPlaform)
        return util::ArgumentError(E_INVALIDARG);
    *pOsPlaform = m_osInfo->GetPlatform();
    return S_OK;
}

HRESULT CCoGuestMetrics::get_Supported(VARIANT_BOOL* pbSupported) noexcept
{
    if (!pbSupported)
        return util::ArgumentError(E_INVALIDARG);
    // Automation's 16-bit boolean: scripts compare with true, which is -1, not 1.
    *pbSupported = m_supported ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

util::CComPtr<INimboGuestMetrics> CreateGuestMetrics(remote::CGuestOsInfoPtr osInfo, bool supported)
{
    // The members read through the reference without looking; an object without one must not exist.
    if (!osInfo)
        throw CComExc(E_POINTER);
    return comfw::MakeObject<INimboGuestMetrics, CCoGuestMetrics>([&](CCoGuestMetrics& object) {
        object.m_osInfo = std::move(osInfo);
        object.m_supported = supported;
    });
}
}
