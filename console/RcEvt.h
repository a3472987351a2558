#pragma once
#include <windows.h>
#include <ocidl.h>

#include "NimboGuestAgentCtrl.h"
#include "console/ProxyINimboRemoteConsoleEvtDistrib.h"
#include "module/ComObject.h"

namespace rconsole::com
{
// The console event object: the console channel calls INimboRemoteConsoleEvt (from the
// caller's thread or from its polling thread) and every sink connected to the one connection
// point receives the matching INimboRemoteConsoleEvtDistrib event on that same thread.
class CCoRcEvt
    : public comfw::CComObjectRoot<comfw::CMultiThreadModel, INimboRemoteConsoleEvt, IConnectionPointContainer>,
      public CProxyINimboRemoteConsoleEvtDistrib
{
public:
    CCoRcEvt() noexcept : m_connectionPoint(*this) {}

    // INimboRemoteConsoleEvt: S_OK whatever the sinks answer.
    STDMETHODIMP OnStdOutput(BSTR bstrData) noexcept override;
    STDMETHODIMP OnStdError(BSTR bstrErrDescr) noexcept override;
    STDMETHODIMP OnChannelStateChanged(ENimboRemoteConsoleChannelState enChannelState,
                                       BSTR bstrOptionalData) noexcept override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) noexcept override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) noexcept override;

private:
    // The connection point for INimboRemoteConsoleEvtDistrib. It is part of the object: its
    // reference count is the object's, and it answers QueryInterface only for itself.
    class CConnectionPoint final : public IConnectionPoint
    {
    public:
        explicit CConnectionPoint(CCoRcEvt& owner) noexcept : m_owner(owner) {}

        STDMETHODIMP QueryInterface(REFIID iid, void** ppv) noexcept override;
        STDMETHODIMP_(ULONG) AddRef() noexcept override;
        STDMETHODIMP_(ULONG) Release() noexcept override;

        STDMETHODIMP GetConnectionInterface(IID* pIID) noexcept override;
        STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) noexcept override;
        STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) noexcept override;
        STDMETHODIMP Unadvise(DWORD dwCookie) noexcept override;
        STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) noexcept override;

    private:
        CCoRcEvt& m_owner;
    };

    CConnectionPoint m_connectionPoint;
};
}
