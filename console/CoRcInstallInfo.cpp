#include "console/CoRcInstallInfo.h"

#include "console/RcInstallPolicy.h"
#include "foundation/ComBoundary.h"
#include "foundation/Exc.h"

namespace rconsole::com
{
namespace
{
// The class has no ProgID, so its errors carry no source.
template <class Body>
HRESULT InstallInfoBoundary(Body&& body) noexcept
{
    return util::ComBoundary(nullptr, IID_INimboRemoteConsoleInstallInfo, std::forward<Body>(body));
}
}

HRESULT CCoRcInstallInfo::AddAgentPckgFile(BSTR pckgLocalFullPath, BSTR remoteRelativePath) noexcept
{
    if (!pckgLocalFullPath || !remoteRelativePath)
        return util::ArgumentError(E_INVALIDARG);
    return InstallInfoBoundary([&]() -> HRESULT {
        m_rcInstall->AddPackageFile(util::CBstr::ToText(pckgLocalFullPath), util::CBstr::ToText(remoteRelativePath));
        return S_OK;
    });
}

HRESULT CCoRcInstallInfo::put_AgentExecPath(BSTR newVal) noexcept
{
    if (!newVal)
        return util::ArgumentError(E_INVALIDARG);
    return InstallInfoBoundary([&]() -> HRESULT {
        m_rcInstall->SetExecPath(util::CBstr::ToText(newVal));
        return S_OK;
    });
}

HRESULT CCoRcInstallInfo::put_AgentVersion(SNimboAgentVersion newVal) noexcept
{
    return InstallInfoBoundary([&]() -> HRESULT {
        m_rcInstall->SetAgentVersion(util::SNimboAgentVersion::FromRecord(newVal));
        return S_OK;
    });
}

HRESULT CCoRcInstallInfo::AddAgentCompatibility(SNimboAgentVersion* pCompatibleVersion) noexcept
{
    if (!pCompatibleVersion)
        return util::ArgumentError(E_INVALIDARG);
    return InstallInfoBoundary([&]() -> HRESULT {
        m_rcInstall->AddCompatibility(util::SNimboAgentVersion::FromRecord(*pCompatibleVersion));
        return S_OK;
    });
}

HRESULT CCoRcInstallInfo::put_AgentAutoUninstall(VARIANT_BOOL newVal) noexcept
{
    return InstallInfoBoundary([&]() -> HRESULT {
        // Only VARIANT_TRUE (all 16 bits set) means true; 1 is not a script's true.
        m_rcInstall->SetAutoUninstall(static_cast<unsigned short>(newVal) == 0xFFFF);
        return S_OK;
    });
}

HRESULT CCoRcInstallInfo::put_AgentSvcName(BSTR newVal) noexcept
{
    if (!newVal)
        return util::ArgumentError(E_INVALIDARG);
    return InstallInfoBoundary([&]() -> HRESULT {
        m_rcInstall->SetServiceName(util::CBstr::ToText(newVal));
        return S_OK;
    });
}

HRESULT CCoRcInstallInfo::put_AgentRpcPort(INT newVal) noexcept
{
    return InstallInfoBoundary([&]() -> HRESULT {
        m_rcInstall->SetStaticPort(static_cast<DWORD>(newVal));
        return S_OK;
    });
}

HRESULT CCoRcInstallInfo::put_AgentWorkingDir(BSTR newVal) noexcept
{
    if (!newVal)
        return util::ArgumentError(E_INVALIDARG);
    return InstallInfoBoundary([&]() -> HRESULT {
        m_rcInstall->SetWorkingDir(util::CBstr::ToText(newVal));
        return S_OK;
    });
}

util::CComPtr<INimboRemoteConsoleInstallInfo> CreateRcInstallInfo(std::shared_ptr<CRcSpecificInstall> rcInstall)
{
    try
    {
        return comfw::MakeObject<INimboRemoteConsoleInstallInfo, CCoRcInstallInfo>([&](CCoRcInstallInfo& object) {
            object.m_rcInstall = std::move(rcInstall);
        });
    }
    catch (CExc& e)
    {
        e.AddMessage(123, L"CCoRcInstallInfo");
        throw;
    }
}
}
