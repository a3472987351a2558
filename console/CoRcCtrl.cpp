#include "console/CoRcCtrl.h"

#include "console/RcConsoleChannel.h"
#include "foundation/ComBoundary.h"
#include "foundation/Exc.h"

namespace rconsole::com
{
namespace
{
// The class has no ProgID, so its errors carry no source.
template <class Body>
HRESULT CtrlBoundary(Body&& body) noexcept
{
    return util::ComBoundary(nullptr, IID_INimboRemoteConsoleCtrl, std::forward<Body>(body));
}
}

HRESULT CCoRcCtrl::Start(BSTR bstrNonDefaultCmdLineArgs, INT* pRemoteProcessPID) noexcept
{
    if (pRemoteProcessPID)
        *pRemoteProcessPID = 0;
    return CtrlBoundary([&]() -> HRESULT {
        const long processId = m_consoleChannel->Start(util::CBstr::ToText(bstrNonDefaultCmdLineArgs));
        if (pRemoteProcessPID)
            *pRemoteProcessPID = static_cast<INT>(processId);
        return S_OK;
    });
}

HRESULT CCoRcCtrl::Send(BSTR msg) noexcept
{
    if (!msg)
        return util::ArgumentError(E_INVALIDARG);
    return CtrlBoundary([&]() -> HRESULT {
        m_consoleChannel->Send(util::CBstr::ToText(msg));
        return S_OK;
    });
}

HRESULT CCoRcCtrl::put_EvtSubscription(INimboRemoteConsoleEvt* newVal) noexcept
{
    if (!newVal)
        return util::ArgumentError(E_INVALIDARG);
    return CtrlBoundary([&]() -> HRESULT {
        m_consoleChannel->Subscribe(newVal);
        return S_OK;
    });
}

util::CComPtr<INimboRemoteConsoleCtrl> CreateRcCtrl(std::shared_ptr<CRcConsoleChannel> channel)
{
    return comfw::MakeObject<INimboRemoteConsoleCtrl, CCoRcCtrl>([&](CCoRcCtrl& object) {
        object.m_consoleChannel = std::move(channel);
    });
}
}
