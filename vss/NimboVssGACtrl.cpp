#include "vss/NimboVssGACtrl.h"

#include "foundation/ComBoundary.h"
#include "foundation/Exc.h"
#include "vss/VssPluginRpcClient.h"

namespace vss
{
namespace
{
// The class has no ProgID, so its errors carry no source; DoTest reports under
// INimboVssGACtrl as well, the interface that carries error information.
template <class Body>
HRESULT CtrlBoundary(Body&& body) noexcept
{
    return util::ComBoundary(nullptr, IID_INimboVssGACtrl, std::forward<Body>(body));
}
}

std::shared_ptr<CVssPluginRpcClient> CNimboVssGACtrl::Client() const
{
    return m_rpcClientSlot->GetOrRaise(237);
}

HRESULT CNimboVssGACtrl::Freeze() noexcept
{
    return CtrlBoundary([&]() -> HRESULT {
        Client()->Freeze();
        return S_OK;
    });
}

HRESULT CNimboVssGACtrl::get_FreezeState(ENimboVssFreezeState* pFreeezeState) noexcept
{
    if (!pFreeezeState)
        return E_INVALIDARG;
    return CtrlBoundary([&]() -> HRESULT {
        // The guest's value goes to the caller as it is, in or out of the enumeration's range.
        *pFreeezeState = static_cast<ENimboVssFreezeState>(Client()->GetFreezeState());
        return S_OK;
    });
}

HRESULT CNimboVssGACtrl::GetFreezeError(HRESULT* pErrCode, BSTR* pDescr) noexcept
{
    if (!pErrCode || !pDescr)
        return E_INVALIDARG;
    return CtrlBoundary([&]() -> HRESULT {
        std::wstring description;
        const long code = Client()->GetLastFreezeError(description);
        util::CBstr text(description);   // an empty description is an empty string, not null
        *pErrCode = static_cast<HRESULT>(code);
        *pDescr = text.release();
        return S_OK;
    });
}

HRESULT CNimboVssGACtrl::Unfreeze() noexcept
{
    return CtrlBoundary([&]() -> HRESULT {
        Client()->Unfreeze();
        return S_OK;
    });
}

HRESULT CNimboVssGACtrl::DoTest() noexcept
{
    return CtrlBoundary([&]() -> HRESULT {
        Client()->DoTest();
        return S_OK;
    });
}

util::CComPtr<INimboVssGACtrl> CreateNimboVssGACtrl(std::shared_ptr<CVssRpcClientSlot> rpcClientSlot,
                                                    std::shared_ptr<util::CLog> log)
{
    return comfw::MakeObject<INimboVssGACtrl, CNimboVssGACtrl>([&](CNimboVssGACtrl& object) {
        object.m_rpcClientSlot = std::move(rpcClientSlot);
        object.m_log = std::move(log);
    });
}
}
