#include "vss/NimboVssGAConnection.h"

#include "module/ClassMap.h"

namespace vss
{
CNimboVssGAConnection::CNimboVssGAConnection()
    : m_core(CLSID_NimboVssGAConnection),
      m_rpcClientSlot(std::make_shared<CVssRpcClientSlot>()),
      m_installerSlot(std::make_shared<CInstallerSlot>())
{
}

HRESULT CNimboVssGAConnection::InitLogging(ENimboGuestAgentLogLevel enLogLevel, BSTR logPath) noexcept
{
    return m_core.InitLogging(enLogLevel, logPath);
}

HRESULT CNimboVssGAConnection::Connect(BSTR machineName, BSTR login, BSTR pwd) noexcept
{
    return m_core.Connect(machineName, login, pwd);
}

// The installer object and the freeze control object are not part of this build yet: both
// members answer E_NOTIMPL until those children exist.
HRESULT CNimboVssGAConnection::get_Installer(INimboGAInstaller** ppInstaller) noexcept
{
    return CGAConnectionCore::ChildNotAvailable(ppInstaller);
}

HRESULT CNimboVssGAConnection::get_Ctrl(IDispatch** ppCtrl) noexcept
{
    return CGAConnectionCore::ChildNotAvailable(ppCtrl);
}

HRESULT CNimboVssGAConnection::Disconnect() noexcept
{
    // Children keep their slots; emptying them here is what cuts every child off at once.
    m_installerSlot->Set(nullptr);
    m_rpcClientSlot->Set(nullptr);
    m_core.ReleaseShareConnection();
    return S_OK;
}

HRESULT CreateNimboVssGAConnection(IUnknown* outer, REFIID iid, void** ppv) noexcept
{
    return comfw::CreateAggregatable<CNimboVssGAConnection>(outer, iid, ppv);
}
}
