#pragma once
#include <windows.h>
#include <oaidl.h>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "foundation/Threads.h"
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
//
// Registered "Both": a caller may really use one object from several threads, so the count is
// atomic and every member runs under the object's lock (its fields change together: Connect
// replaces the share connection that Installer builds the context from, Disconnect drops both).
class CCoRcConnection
    : public comfw::CComObjectRoot<comfw::CMultiThreadModel, INimboGAConnection, ISupportErrorInfo>
{
public:
    CCoRcConnection();

    STDMETHODIMP InitLogging(ENimboGuestAgentLogLevel enLogLevel, BSTR logPath) noexcept override;
    STDMETHODIMP Connect(BSTR machineName, BSTR login, BSTR pwd) noexcept override;
    STDMETHODIMP get_Installer(INimboGAInstaller** ppInstaller) noexcept override;
    STDMETHODIMP get_Ctrl(IDispatch** ppCtrl) noexcept override;
    STDMETHODIMP Disconnect() noexcept override;

    // Never replaced, so it may be read without the lock.
    const std::shared_ptr<CRcRpcClientSlot>& RpcClientSlot() const noexcept { return m_rpcClientSlot; }

private:
    // The share connection of the last successful Connect; raises message 110 without one.
    const std::shared_ptr<CAdminShareConnection>& ConnectedShare() const;

    // Held for the whole of every member.
    mutable util::CCriticalSection m_lock;
    vss::CGAConnectionCore m_core;
    std::shared_ptr<CRcRpcClientSlot> m_rpcClientSlot;
    // Made by the first Installer call; Disconnect drops it.
    std::shared_ptr<CRcInstallContext> m_installContext;
    // Made by the first Ctrl call and kept for the life of the object, so control objects
    // handed out before a Disconnect still talk to the same channel.
    std::shared_ptr<CRcConsoleChannel> m_consoleChannel;
};
}
