#include "console/RcEvt.h"

#include <new>
#include <vector>

#include "console/SnapshotEnum.h"
#include "module/ClassMap.h"

namespace rconsole::com
{
HRESULT CCoRcEvt::OnStdOutput(BSTR bstrData) noexcept
{
    Fire_OnStdOutputEvt(bstrData);
    return S_OK;
}

HRESULT CCoRcEvt::OnStdError(BSTR bstrErrDescr) noexcept
{
    Fire_OnStdErrorEvt(bstrErrDescr);
    return S_OK;
}

HRESULT CCoRcEvt::OnChannelStateChanged(ENimboRemoteConsoleChannelState enChannelState,
                                        BSTR bstrOptionalData) noexcept
{
    Fire_OnChannelStateChangedEvt(static_cast<LONG>(enChannelState), bstrOptionalData);
    return S_OK;
}

HRESULT CCoRcEvt::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) noexcept
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    std::vector<IConnectionPoint*> points;
    try
    {
        points.push_back(&m_connectionPoint);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    m_connectionPoint.AddRef();
    return CConnectionPointsEnum::Create(GetRawUnknown(), std::move(points), ppEnum);
}

HRESULT CCoRcEvt::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) noexcept
{
    if (!ppCP)
        return E_POINTER;
    *ppCP = nullptr;
    if (!IsEqualIID(riid, DIID_INimboRemoteConsoleEvtDistrib))
        return CONNECT_E_NOCONNECTION;
    m_connectionPoint.AddRef();
    *ppCP = &m_connectionPoint;
    return S_OK;
}

HRESULT CCoRcEvt::CConnectionPoint::QueryInterface(REFIID iid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint))
        return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IConnectionPoint*>(this);
    return S_OK;
}

ULONG CCoRcEvt::CConnectionPoint::AddRef() noexcept
{
    return m_owner.GetRawUnknown()->AddRef();
}

ULONG CCoRcEvt::CConnectionPoint::Release() noexcept
{
    return m_owner.GetRawUnknown()->Release();
}

HRESULT CCoRcEvt::CConnectionPoint::GetConnectionInterface(IID* pIID) noexcept
{
    if (!pIID)
        return E_POINTER;
    *pIID = DIID_INimboRemoteConsoleEvtDistrib;
    return S_OK;
}

HRESULT CCoRcEvt::CConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) noexcept
{
    if (!ppCPC)
        return E_POINTER;
    *ppCPC = static_cast<IConnectionPointContainer*>(&m_owner);
    (*ppCPC)->AddRef();
    return S_OK;
}

HRESULT CCoRcEvt::CConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) noexcept
{
    if (!pUnkSink || !pdwCookie)
        return E_POINTER;
    *pdwCookie = 0;
    IDispatch* sink = nullptr;
    if (FAILED(pUnkSink->QueryInterface(DIID_INimboRemoteConsoleEvtDistrib, reinterpret_cast<void**>(&sink))) ||
        !sink)
        return CONNECT_E_CANNOTCONNECT;
    const DWORD cookie = m_owner.AddSink(sink);
    if (cookie == 0)
        return CONNECT_E_ADVISELIMIT;
    *pdwCookie = cookie;
    return S_OK;
}

HRESULT CCoRcEvt::CConnectionPoint::Unadvise(DWORD dwCookie) noexcept
{
    return m_owner.RemoveSink(dwCookie);
}

HRESULT CCoRcEvt::CConnectionPoint::EnumConnections(IEnumConnections** ppEnum) noexcept
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    try
    {
        return CConnectionsEnum::Create(m_owner.GetRawUnknown(), m_owner.Connections(), ppEnum);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CreateRcEvt(REFIID iid, void** ppv) noexcept
{
    return comfw::CreateInstance<CCoRcEvt>(iid, ppv);
}
}
