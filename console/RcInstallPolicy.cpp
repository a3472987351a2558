#include "console/RcInstallPolicy.h"

#include "console/RcAgentConfig.h"
#include "console/RcAgentConfigFormat.h"
#include "deploy/GuestMetricsCollector.h"
#include "foundation/Exc.h"
#include "foundation/FileSystem.h"

namespace rconsole
{
namespace
{
const wchar_t kDefaultServiceName[] = L"NimboRemoteConsole";
const wchar_t kPluginFileName[] = L"NimboRemoteConsole.dll";
// The console agent is always the 32-bit one, whatever the guest's platform.
const wchar_t kPackagePluginFileName[] = L"NimboRemoteConsole_X86.dll";
}

CRcSpecificInstall::CRcSpecificInstall(std::shared_ptr<util::CLog> log)
    : m_log(std::move(log)), m_serviceName(kDefaultServiceName)
{
}

void CRcSpecificInstall::PrepareMetrics(const install::CGuestMetricsCollectorPtr&)
{
    // The console agent runs wherever the 32-bit agent does: nothing to ask the guest.
}

void CRcSpecificInstall::AcceptMetrics(const install::CGuestMetricsCollectorPtr& collector)
{
    m_osInfo = collector->GetOsInfo();
}

bool CRcSpecificInstall::IsInstallPossible() const
{
    return true;
}

void CRcSpecificInstall::CopyAgentFiles(const std::wstring& packageFolder, const std::wstring& targetFolder) const
{
    CopyConsolePlugin(packageFolder, targetFolder);
    CopyPackageFiles(targetFolder);
    WriteConsoleConfig(targetFolder);
}

void CRcSpecificInstall::CopyConsolePlugin(const std::wstring& packageFolder, const std::wstring& targetFolder) const
{
    try
    {
        util::CTraceScope scope(*m_log, 190);
        util::CopyFileTo(util::JoinPath(packageFolder, kPackagePluginFileName),
                         util::JoinPath(targetFolder, kPluginFileName), true);
        scope.Ok();
    }
    catch (CExc& e)
    {
        e.AddMessage(191);
        throw;
    }
}

void CRcSpecificInstall::CopyPackageFiles(const std::wstring& targetFolder) const
{
    try
    {
        util::CTraceScope scope(*m_log, 184);
        if (m_packageFiles.empty())
            m_log->Warning(186);
        for (const SPackageFile& file : m_packageFiles)
        {
            util::CopyFileTo(file.localFullPath, util::JoinPath(targetFolder, file.remoteRelativePath), true);
            m_log->Trace(187, file.localFullPath, file.remoteRelativePath);
        }
        scope.Ok();
    }
    catch (CExc& e)
    {
        // What was copied stays: the engine's rollback removes the whole agent folder.
        e.AddMessage(185);
        throw;
    }
}

void CRcSpecificInstall::WriteConsoleConfig(const std::wstring& targetFolder) const
{
    try
    {
        util::CTraceScope scope(*m_log, 189, targetFolder);
        CRcAgentConfig config;
        config.RpcSvcName = m_serviceName;
        config.AutoUninstall = m_autoUninstall;
        config.AgentVersion = m_agentVersion;
        config.Compatibility = m_compatibility;
        config.RelativePath = m_execPath;
        config.WorkingDir = m_workingDir;
        config.Save(util::JoinPath(targetFolder, rcconfig::FileName));
        scope.Ok();
    }
    catch (CExc& e)
    {
        e.AddMessage(188, targetFolder);
        throw;
    }
}

void CRcSpecificInstall::GetServiceDependencies(std::vector<std::wstring>&) const
{
}

bool CRcSpecificInstall::GetServiceName(std::wstring& name) const
{
    name = m_serviceName;
    return true;
}

std::wstring CRcSpecificInstall::GetPluginFileName() const
{
    return kPluginFileName;
}

bool CRcSpecificInstall::UseX86AgentOnAnyPlatform() const
{
    return true;
}

install::SPortsCfg CRcSpecificInstall::GetPortsConfig() const
{
    return m_ports;
}

bool CRcSpecificInstall::RunAsLocalSystem() const
{
    return false;
}
}
