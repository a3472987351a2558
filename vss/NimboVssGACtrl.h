#pragma once
// The freeze control object that INimboGAConnection::Ctrl hands out: each member is one call
// of the VSS support plugin's RPC interface, made through the RPC client that every control
// object of the connection shares through the connection's slot. After the connection's
// Disconnect the slot is empty and every member fails with message 237; a later Connect and
// Ctrl fill it again, and older control objects work again too.
#include <windows.h>
#include <oaidl.h>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "foundation/Log.h"
#include "module/ComObject.h"
#include "vss/GuardedSlot.h"

namespace vss
{
class CVssPluginRpcClient;
using CVssRpcClientSlot = CGuardedSlot<CVssPluginRpcClient>;

class CNimboVssGACtrl
    : public comfw::CComObjectRoot<comfw::CSingleThreadModel, INimboVssGACtrl, ISupportErrorInfo, INimboGATest>
{
public:
    STDMETHODIMP Freeze() noexcept override;
    STDMETHODIMP get_FreezeState(ENimboVssFreezeState* pFreeezeState) noexcept override;
    STDMETHODIMP GetFreezeError(HRESULT* pErrCode, BSTR* pDescr) noexcept override;
    STDMETHODIMP Unfreeze() noexcept override;
    STDMETHODIMP DoTest() noexcept override;

private:
    friend util::CComPtr<INimboVssGACtrl> CreateNimboVssGACtrl(std::shared_ptr<CVssRpcClientSlot>,
                                                               std::shared_ptr<util::CLog>);

    // The client for the duration of one member; raises message 237 when the slot is empty.
    std::shared_ptr<CVssPluginRpcClient> Client() const;

    std::shared_ptr<CVssRpcClientSlot> m_rpcClientSlot;
    std::shared_ptr<util::CLog> m_log;
};

// Makes a control object on the connection's slot and log. A failure raises a CComExc with the
// creation's HRESULT.
util::CComPtr<INimboVssGACtrl> CreateNimboVssGACtrl(std::shared_ptr<CVssRpcClientSlot> rpcClientSlot,
                                                    std::shared_ptr<util::CLog> log);
}
