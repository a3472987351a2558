#include "console/RcConnection.h"

#include "module/ClassMap.h"

namespace rconsole::com
{
CCoRcConnection::CCoRcConnection()
    : m_core(CLSID_NimboRemoteConsoleConnection), m_rpcClientSlot(std::make_shared<CRcRpcClientSlot>())
{
}

HRESULT CCoRcConnection::InitLogging(ENimboGuestAgentLogLevel enLogLevel, BSTR logPath) noexcept
{
    return m_core.InitLogging(enLogLevel, logPath);
}

HRESULT CCoRcConnection::Connect(BSTR machineName, BSTR login, BSTR pwd) noexcept
{
    return m_core.Connect(machineName, login, pwd);
}

// The console installer and control objects are not part of this build yet: both members
// answer E_NOTIMPL until those children exist.
HRESULT CCoRcConnection::get_Installer(INimboGAInstaller** ppInstaller) noexcept
{
    return vss::CGAConnectionCore::ChildNotAvailable(ppInstaller);
}

HRESULT CCoRcConnection::get_Ctrl(IDispatch** ppCtrl) noexcept
{
    return vss::CGAConnectionCore::ChildNotAvailable(ppCtrl);
}

HRESULT CCoRcConnection::Disconnect() noexcept
{
    m_core.ReleaseShareConnection();
    m_installContext.reset();
    // A client nobody else holds closes its console session here.
    m_rpcClientSlot->Set(nullptr);
    return S_OK;
}

HRESULT CreateRcConnection(REFIID iid, void** ppv) noexcept
{
    return comfw::CreateInstance<CCoRcConnection>(iid, ppv);
}
}
