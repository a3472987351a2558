#pragma once
// What the console installer's PluginSpecificInfo hands out: the caller describes the console
// agent package through it (files, program, working folder, service name, version, compatible
// versions, automatic uninstall, RPC port). Every member writes straight into the install
// context's policy, so the description outlives this object and every install-info object of
// a connection writes the same one. Nothing is checked here; it takes effect at the next
// Install.
#include <windows.h>
#include <oaidl.h>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "module/ComObject.h"

namespace rconsole
{
class CRcSpecificInstall;
}

namespace rconsole::com
{
class CCoRcInstallInfo
    : public comfw::CComObjectRoot<comfw::CSingleThreadModel, INimboRemoteConsoleInstallInfo, ISupportErrorInfo>
{
public:
    STDMETHODIMP AddAgentPckgFile(BSTR pckgLocalFullPath, BSTR remoteRelativePath) noexcept override;
    STDMETHODIMP put_AgentExecPath(BSTR newVal) noexcept override;
    STDMETHODIMP put_AgentVersion(SNimboAgentVersion newVal) noexcept override;
    STDMETHODIMP AddAgentCompatibility(SNimboAgentVersion* pCompatibleVersion) noexcept override;
    STDMETHODIMP put_AgentAutoUninstall(VARIANT_BOOL newVal) noexcept override;
    STDMETHODIMP put_AgentSvcName(BSTR newVal) noexcept override;
    STDMETHODIMP put_AgentRpcPort(INT newVal) noexcept override;
    STDMETHODIMP put_AgentWorkingDir(BSTR newVal) noexcept override;

private:
    friend util::CComPtr<INimboRemoteConsoleInstallInfo> CreateRcInstallInfo(std::shared_ptr<CRcSpecificInstall>);

    std::shared_ptr<CRcSpecificInstall> m_rcInstall;
};

// Makes an install-info object over `rcInstall`. A failure raises a CComExc with the creation's
// HRESULT and message 123.
util::CComPtr<INimboRemoteConsoleInstallInfo> CreateRcInstallInfo(std::shared_ptr<CRcSpecificInstall> rcInstall);
}
