#pragma once
#include <windows.h>
#include <oaidl.h>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "module/ComObject.h"
#include "vss/GAConnectionCore.h"
#include "vss/GuardedSlot.h"

namespace rconsole
{
class CRcRpcClient;
class CRcInstallContext;
class CRcConsoleChannel;

using CRcRpcClientSlot = vss::CGuardedSlot<CRcRpcClient>;
}

namespace rconsole::com
{
// The object a caller creates first on the remote console side. It connects to a guest the
// same way the VSS connection does and shares one RPC client slot between the install
// context of its installer objects and the console channel of its control objects.
class CCoRcConnection
    : public comfw::CComObjectRoot<comfw::CSingleThreadModel, INimboGAConnection, ISupportErrorInfo>
{
public:
    CCoRcConnection();

    STDMETHODIMP InitLogging(ENimboGuestAgentLogLevel enLogLevel, BSTR logPath) noexcept override;
    STDMETHODIMP Connect(BSTR machineName, BSTR login, BSTR pwd) noexcept override;
    STDMETHODIMP get_Installer(INimboGAInstaller** ppInstaller) noexcept override;
    STDMETHODIMP get_Ctrl(IDispatch** ppCtrl) noexcept override;
    STDMETHODIMP Disconnect() noexcept override;

    const vss::CGAConnectionCore& Core() const noexcept { return m_core; }
    const std::shared_ptr<CRcRpcClientSlot>& RpcClientSlot() const noexcept { return m_rpcClientSlot; }

private:
    vss::CGAConnectionCore m_core;
    std::shared_ptr<CRcRpcClientSlot> m_rpcClientSlot;
    // Made by the first Installer call; Disconnect drops it.
    std::shared_ptr<CRcInstallContext> m_installContext;
    // Made by the first Ctrl call and kept for the life of the object, so control objects
    // handed out before a Disconnect still talk to the same channel.
    std::shared_ptr<CRcConsoleChannel> m_consoleChannel;
};
}
