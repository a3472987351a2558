#pragma once
// The remote console agent's install policy. Unlike the VSS policy it carries a package
// description that the caller fills through the install-info object: the files to deploy, the
// program a console runs and its working folder, the declared version and the versions it is
// compatible with, the service name and the RPC port. The engine copies the agent executable
// and writes "NimboAgentConfig.xml"; this policy adds the console plugin, the package files
// and "RemoteConsoleCfg.xml". The service runs under the connection's account.

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "deploy/AgentInstallPolicy.h"
#include "foundation/AgentVersion.h"
#include "foundation/Log.h"
#include "remote/GuestOsInfo.h"

namespace rconsole
{
class CRcSpecificInstall : public install::CAgentSpecificInstall
{
public:
    // One package file: its full path on this host and its path below the agent's folder.
    struct SPackageFile
    {
        std::wstring localFullPath;
        std::wstring remoteRelativePath;
    };

    explicit CRcSpecificInstall(std::shared_ptr<util::CLog> log);

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

    // The package description; the setters store what they are given without checks.
    void SetServiceName(std::wstring name) { m_serviceName = std::move(name); }
    void SetAgentVersion(const util::SNimboAgentVersion& version) { m_agentVersion = version; }
    void AddCompatibility(const util::SNimboAgentVersion& version) { m_compatibility.insert(version); }
    void SetAutoUninstall(bool autoUninstall) { m_autoUninstall = autoUninstall; }
    void AddPackageFile(std::wstring localFullPath, std::wstring remoteRelativePath)
    {
        m_packageFiles.push_back({std::move(localFullPath), std::move(remoteRelativePath)});
    }
    void SetExecPath(std::wstring relativePath) { m_execPath = std::move(relativePath); }
    void SetWorkingDir(std::wstring folder) { m_workingDir = std::move(folder); }
    void SetStaticPort(DWORD port)
    {
        m_ports.useDynPort = false;
        m_ports.staticPort = port;
    }

    const util::SNimboAgentVersion& GetAgentVersion() const noexcept { return m_agentVersion; }
    const std::set<util::SNimboAgentVersion>& GetCompatibility() const noexcept { return m_compatibility; }
    bool GetAutoUninstall() const noexcept { return m_autoUninstall; }
    const std::vector<SPackageFile>& GetPackageFiles() const noexcept { return m_packageFiles; }
    const std::wstring& GetExecPath() const noexcept { return m_execPath; }
    const std::wstring& GetWorkingDir() const noexcept { return m_workingDir; }
    const remote::CGuestOsInfoPtr& GetOsInfo() const noexcept { return m_osInfo; }

private:
    void CopyConsolePlugin(const std::wstring& packageFolder, const std::wstring& targetFolder) const;
    void CopyPackageFiles(const std::wstring& targetFolder) const;
    void WriteConsoleConfig(const std::wstring& targetFolder) const;

    std::shared_ptr<util::CLog> m_log;
    std::wstring m_serviceName;
    util::SNimboAgentVersion m_agentVersion;
    std::set<util::SNimboAgentVersion> m_compatibility;
    bool m_autoUninstall = true;
    std::vector<SPackageFile> m_packageFiles;
    std::wstring m_execPath;
    std::wstring m_workingDir;
    install::SPortsCfg m_ports;
    remote::CGuestOsInfoPtr m_osInfo;
};
}
