#pragma once
// What INimboGAConnection::Installer hands out on the remote console side. Install runs the
// connect-or-install of the connection's install context; the metrics, state and start members
// go to the context's installer engine; PluginSpecificInfo hands out an install-info object
// over the context's policy. Every installer object of a connection shares one context until
// Disconnect.
#include <windows.h>
#include <oaidl.h>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "module/ComObject.h"

namespace rconsole
{
class CRcInstallContext;
}

namespace rconsole::com
{
class CCoRcInstaller
    : public comfw::CComObjectRoot<comfw::CSingleThreadModel, INimboGAInstaller, ISupportErrorInfo>
{
public:
    STDMETHODIMP CollectGuestMetrics(INimboGuestMetrics** ppGuestMetrics) noexcept override;
    STDMETHODIMP Install() noexcept override;
    STDMETHODIMP Uninstall() noexcept override;
    STDMETHODIMP GetGateState(ENimboGuestAgentState* penVssSvcState) noexcept override;
    STDMETHODIMP RunGate() noexcept override;
    STDMETHODIMP get_PluginSpecificInfo(IDispatch** ppPluginSpecific) noexcept override;

private:
    friend util::CComPtr<INimboGAInstaller> CreateRcInstaller(std::shared_ptr<CRcInstallContext>);

    std::shared_ptr<CRcInstallContext> m_installContext;
};

// Makes an installer object over `installContext`. A failure raises a CComExc with the
// creation's HRESULT and message 123.
util::CComPtr<INimboGAInstaller> CreateRcInstaller(std::shared_ptr<CRcInstallContext> installContext);
}
