#include "vss/NimboVssGAInstaller.h"

#include "deploy/Installer.h"
#include "foundation/ComBoundary.h"
#include "foundation/Exc.h"
#include "vss/CoGuestMetrics.h"

namespace vss
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

std::shared_ptr<install::CInstaller> CNimboVssGAInstaller::Engine() const
{
    return m_installerSlot->GetOrRaise(238);
}

HRESULT CNimboVssGAInstaller::CollectGuestMetrics(INimboGuestMetrics** ppGuestMetrics) noexcept
{
    if (!ppGuestMetrics)
        return util::ArgumentError(E_INVALIDARG);
    // Left as the caller set it when the collection fails: callers of this interface rely on
    // out parameters being touched only on success.
    return InstallerBoundary([&]() -> HRESULT {
        const auto engine = Engine();
        engine->CollectGuestMetrics();
        // Every collection fills a new information object, so the metrics object keeps the
        // values of this call whatever later calls collect.
        remote::CGuestOsInfoPtr info = engine->GetGuestInfo();
        const bool supported = engine->IsInstallPossible();
        util::CComPtr<INimboGuestMetrics> metrics;
        try
        {
            metrics = CreateGuestMetrics(std::move(info), supported);
        }
        catch (CExc& e)
        {
            e.AddMessage(123, L"CCoGuestMetrics");
            throw;
        }
        return metrics->QueryInterface(IID_INimboGuestMetrics, reinterpret_cast<void**>(ppGuestMetrics));
    });
}

HRESULT CNimboVssGAInstaller::Install() noexcept
{
    return InstallerBoundary([&]() -> HRESULT {
        Engine()->Install();
        return S_OK;
    });
}

HRESULT CNimboVssGAInstaller::Uninstall() noexcept
{
    return InstallerBoundary([&]() -> HRESULT {
        Engine()->Uninstall();
        return S_OK;
    });
}

HRESULT CNimboVssGAInstaller::GetGateState(ENimboGuestAgentState* penVssSvcState) noexcept
{
    if (!penVssSvcState)
        return util::ArgumentError(E_INVALIDARG);
    return InstallerBoundary([&]() -> HRESULT {
        // Written only on success: a failed query leaves the caller's value alone.
        const ENimboGuestAgentState state = Engine()->GetAgentState();
        *penVssSvcState = state;
        return S_OK;
    });
}

HRESULT CNimboVssGAInstaller::RunGate() noexcept
{
    return InstallerBoundary([&]() -> HRESULT {
        Engine()->StartAgent();
        return S_OK;
    });
}

// The VSS agent has no agent-specific information; the console installer answers this member.
HRESULT CNimboVssGAInstaller::get_PluginSpecificInfo(IDispatch**) noexcept
{
    return util::ArgumentError(E_NOTIMPL);
}

util::CComPtr<INimboGAInstaller> CreateNimboVssGAInstaller(std::shared_ptr<CInstallerSlot> installerSlot)
{
    return comfw::MakeObject<INimboGAInstaller, CNimboVssGAInstaller>([&](CNimboVssGAInstaller& object) {
        object.m_installerSlot = std::move(installerSlot);
    });
}
}
