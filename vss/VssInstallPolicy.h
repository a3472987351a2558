#pragma once
// The VSS support agent's install policy: the common agent executable plus one VSS support
// plugin chosen by the guest's Windows and platform, registered as "NimboVssSupport" under
// LocalSystem, depending on the guest's "VSS" service.

#include "deploy/AgentInstallPolicy.h"
#include "remote/GuestOsInfo.h"

namespace vss
{
class CVssSpecificInstall : public install::CAgentSpecificInstall
{
public:
    void PrepareMetrics(const install::CGuestMetricsCollectorPtr& collector) override;
    void AcceptMetrics(const install::CGuestMetricsCollectorPtr& collector) override;
    bool IsInstallPossible() const override;
    void CopyAgentFiles(const std::wstring& packageFolder, const std::wstring& targetFolder) const override;
    void GetServiceDependencies(std::vector<std::wstring>& dependencies) const override;
    bool GetServiceName(std::wstring& name) const override;
    std::wstring GetPluginFileName() const override;
    bool UseX86AgentOnAnyPlatform() const override;
    install::SPortsCfg GetPortsConfig() const override;
    bool RunAsLocalSystem() const override;

private:
    const remote::CGuestOsInfo& OsInfo() const;

    remote::CGuestOsInfoPtr m_osInfo;
};
}
