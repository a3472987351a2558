#include "console/CoRcInstaller.h"

#include "console/CoRcInstallInfo.h"
#include "console/RcInstallContext.h"
#include "deploy/Installer.h"
#include "foundation/ComBoundary.h"
#include "foundation/Exc.h"
#include "vss/CoGuestMetrics.h"

namespace rconsole::com
{
namespace
{
// The class has no ProgID, so its errors carry no source.
template <class Body>
HRESULT InstallerBoundary(Body&& body) noexcept
{
    return util::ComBoundary(nullptr, IID_INimboGAInstaller, std::forward<Body>(body));
}
}

HRESULT CCoRcInstaller::CollectGuestMetrics(INimboGuestMetrics** ppGuestMetrics) noexcept
{
    if (!ppGuestMetrics)
        return util::ArgumentError(E_INVALIDARG);
    return InstallerBoundary([&]() -> HRESULT {
        install::CInstaller& engine = *m_installContext->GetInstaller();
        engine.CollectGuestMetrics();
        remote::CGuestOsInfoPtr info = engine.GetGuestInfo();
        const bool supported = engine.IsInstallPossible();
        util::CComPtr<INimboGuestMetrics> metrics;
        try
        {
            metrics = vss::CreateGuestMetrics(std::move(info), supported);
        }
        catch (CExc& e)
        {
            e.AddMessage(123, L"CCoGuestMetrics");
            throw;
        }
        return metrics->QueryInterface(IID_INimboGuestMetrics, reinterpret_cast<void**>(ppGuestMetrics));
    });
}

HRESULT CCoRcInstaller::Install() noexcept
{
    return InstallerBoundary([&]() -> HRESULT {
        m_installContext->ConnectOrInstall();
        return S_OK;
    });
}

// Removing the console agent is not offered: nothing happens on the guest.
HRESULT CCoRcInstaller::Uninstall() noexcept
{
    return util::ArgumentError(E_NOTIMPL);
}

HRESULT CCoRcInstaller::GetGateState(ENimboGuestAgentState* penVssSvcState) noexcept
{
    if (!penVssSvcState)
        return util::ArgumentError(E_INVALIDARG);
    return InstallerBoundary([&]() -> HRESULT {
        *penVssSvcState = m_installContext->GetInstaller()->GetAgentState();
        return S_OK;
    });
}

HRESULT CCoRcInstaller::RunGate() noexcept
{
    return InstallerBoundary([&]() -> HRESULT {
        m_installContext->GetInstaller()->StartAgent();
        return S_OK;
    });
}

HRESULT CCoRcInstaller::get_PluginSpecificInfo(IDispatch** ppPluginSpecific) noexcept
{
    if (!ppPluginSpecific)
        return util::ArgumentError(E_INVALIDARG);
    *ppPluginSpecific = nullptr;
    return InstallerBoundary([&]() -> HRESULT {
        return CreateRcInstallInfo(m_installContext->GetPolicy())
            ->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppPluginSpecific));
    });
}

util::CComPtr<INimboGAInstaller> CreateRcInstaller(std::shared_ptr<CRcInstallContext> installContext)
{
    try
    {
        return comfw::MakeObject<INimboGAInstaller, CCoRcInstaller>([&](CCoRcInstaller& object) {
            object.m_installContext = std::move(installContext);
        });
    }
    catch (CExc& e)
    {
        e.AddMessage(123, L"CCoRcInstaller");
        throw;
    }
}
}
