#pragma once
#include <windows.h>
#include <oaidl.h>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "module/ComObject.h"
#include "vss/GAConnectionCore.h"
#include "vss/GuardedSlot.h"
#include "vss/NimboVssGACtrl.h"

namespace install
{
class CInstaller;
}

namespace vss
{
using CInstallerSlot = CGuardedSlot<install::CInstaller>;

// The object a caller creates first on the VSS side: one guest's administrative share
// connection, the connection's log, and the two slots through which the installer and the
// freeze control objects it hands out share one engine and one RPC client. Disconnect empties
// the slots, which every child sees at once.
class CNimboVssGAConnection
    : public comfw::CComObjectRoot<comfw::CSingleThreadModel, INimboGAConnection, ISupportErrorInfo>
{
public:
    CNimboVssGAConnection();

    STDMETHODIMP InitLogging(ENimboGuestAgentLogLevel enLogLevel, BSTR logPath) noexcept override;
    STDMETHODIMP Connect(BSTR machineName, BSTR login, BSTR pwd) noexcept override;
    STDMETHODIMP get_Installer(INimboGAInstaller** ppInstaller) noexcept override;
    STDMETHODIMP get_Ctrl(IDispatch** ppCtrl) noexcept override;
    STDMETHODIMP Disconnect() noexcept override;

    const CGAConnectionCore& Core() const noexcept { return m_core; }
    const std::shared_ptr<CInstallerSlot>& InstallerSlot() const noexcept { return m_installerSlot; }
    const std::shared_ptr<CVssRpcClientSlot>& RpcClientSlot() const noexcept { return m_rpcClientSlot; }

private:
    CGAConnectionCore m_core;
    std::shared_ptr<CVssRpcClientSlot> m_rpcClientSlot;
    std::shared_ptr<CInstallerSlot> m_installerSlot;
};
}
