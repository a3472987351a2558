#include "console/RcInstallContext.h"

#include "console/RcInstallPolicy.h"
#include "deploy/Installer.h"
#include "foundation/Exc.h"
#include "foundation/FileSystem.h"
#include "remote/AdminShareConnection.h"
#include "rpc/EpResolver.h"

namespace rconsole
{
namespace
{
const int kNotifyAttempts = 30;
const wchar_t kLockFileExtension[] = L".lck";
}

CRcInstallContext::CRcInstallContext(std::shared_ptr<CAdminShareConnection> shareConnection,
                                     std::shared_ptr<CRcRpcClientSlot> rpcClientSlot, std::shared_ptr<util::CLog> log)
    : m_shareConnection(std::move(shareConnection)), m_rpcClientSlot(std::move(rpcClientSlot)), m_log(std::move(log))
{
    m_rcInstall = std::make_shared<CRcSpecificInstall>(m_log);
    m_installer = std::make_shared<install::CInstaller>(m_shareConnection, m_rcInstall, m_log);
}

std::wstring CRcInstallContext::MachineName() const
{
    return m_shareConnection->GetHost();
}

void CRcInstallContext::ConnectOrInstall()
{
    const std::wstring machine = MachineName();
    try
    {
        util::CInfoScope scope(*m_log, 135);
        const std::unique_ptr<util::CFileMutexLock> lock = LockInstallation();
        std::shared_ptr<CRcRpcClient> client;
        const EInstalledAgentState state = CheckInstalledAgent(client);
        if (state == AgentReady)
        {
            m_rpcClientSlot->Set(client);
        }
        else
        {
            std::shared_ptr<CRcRpcClient> installed = InstallInstance(state, client);
            m_rpcClientSlot->Set(installed);
        }
        scope.Ok();
        // A replaced client closes its session here, before the lock goes.
        client.reset();
    }
    catch (CExc& e)
    {
        e.AddMessage(149, machine);
        throw;
    }
}

std::unique_ptr<util::CFileMutexLock> CRcInstallContext::LockInstallation()
{
    try
    {
        util::CTraceScope scope(*m_log, 150);
        const std::wstring path =
            util::JoinPath(m_shareConnection->GetRemoteName(), m_installer->GetServiceName() + kLockFileExtension);
        auto lock = std::make_unique<util::CFileMutexLock>(std::make_shared<util::CFileMutex>(path),
                                                           util::CFileMutex::kInfinite);
        scope.Ok();
        return lock;
    }
    catch (CExc& e)
    {
        e.AddMessage(151);
        throw;
    }
}

bool CRcInstallContext::FindEndpoint(std::wstring& binding)
{
    return util::CEpResolver(m_shareConnection, m_log)
        .ResolveByService(CRcRpcClient::InterfaceId(), m_installer->GetServiceName(), binding);
}

EInstalledAgentState CRcInstallContext::CheckInstalledAgent(std::shared_ptr<CRcRpcClient>& client)
{
    client.reset();
    try
    {
        util::CTraceScope scope(*m_log, 152);
        std::wstring binding;
        if (!FindEndpoint(binding))
        {
            scope.Ok();
            return AgentMissing;
        }
        std::shared_ptr<CRcRpcClient> found = ConnectToConsoleServer(binding);
        if (!found)
        {
            scope.Ok();
            return AgentMissing;
        }
        const util::SNimboAgentVersion version = found->GetAgentVersion();
        const CRcCompatibilitySet compatibility = found->GetCompatibilityList();
        const bool upgrade = CheckCompatibility(version, compatibility);
        scope.Ok();
        client = std::move(found);
        return upgrade ? AgentUpgradeNeeded : AgentReady;
    }
    catch (CExc& e)
    {
        e.AddMessage(153);
        throw;
    }
}

std::shared_ptr<CRcRpcClient> CRcInstallContext::ConnectToConsoleServer(const std::wstring& binding)
{
    try
    {
        util::CTraceScope scope(*m_log, 215, binding);
        auto client = std::make_shared<CRcRpcClient>(binding, m_shareConnection, m_log);
        scope.Ok();
        return client;
    }
    catch (CExc& e)
    {
        m_log->Warning(e, 216, binding);
        std::wstring again;
        if (FindEndpoint(again))
        {
            m_log->Warning(217);
            throw;
        }
        m_log->Warning(218);
        return nullptr;
    }
}

bool CRcInstallContext::CheckCompatibility(const util::SNimboAgentVersion& installed,
                                           const CRcCompatibilitySet& compatibility)
{
    try
    {
        util::CTraceScope scope(*m_log, 161);
        const util::SNimboAgentVersion& declared = m_rcInstall->GetAgentVersion();
        m_log->Info(159, declared.ToText());
        m_log->Info(160, installed.ToText());
        if (installed == declared)
        {
            scope.Ok();
            return false;
        }
        LogCompatibility(compatibility);
        if (compatibility.count(declared))
        {
            m_log->Info(166);
            scope.Ok();
            return false;
        }
        if (installed > declared)
            throw CExc(MsgText(163, installed.ToText(), declared.ToText()), E_FAIL);
        m_log->Warning(164);
        scope.Ok();
        return true;
    }
    catch (CExc& e)
    {
        e.AddMessage(162);
        throw;
    }
}

void CRcInstallContext::LogCompatibility(const CRcCompatibilitySet& compatibility)
{
    if (!m_log->IsInfoEnabled())
        return;
    util::CLogLock::CHold group(m_log->GetLock());
    m_log->Info(165);
    m_log->Info(L"{");
    m_log->Indent(1);
    for (const util::SNimboAgentVersion& version : compatibility)
        m_log->Info(version.ToText());
    m_log->Indent(-1);
    m_log->Info(L"}");
}

std::shared_ptr<CRcRpcClient> CRcInstallContext::InstallInstance(EInstalledAgentState state,
                                                                 const std::shared_ptr<CRcRpcClient>& oldClient)
{
    try
    {
        util::CTraceScope scope(*m_log, 154, MachineName());
        if (state == AgentUpgradeNeeded && oldClient)
            NotifyUpgrade(*oldClient, kNotifyAttempts);
        m_installer->Install();
        std::wstring binding;
        if (!FindEndpoint(binding))
            throw CExc(MsgText(219), E_FAIL);
        auto client = std::make_shared<CRcRpcClient>(binding, m_shareConnection, m_log);
        scope.Ok();
        return client;
    }
    catch (CExc& e)
    {
        e.AddMessage(155);
        throw;
    }
}

void CRcInstallContext::NotifyUpgrade(CRcRpcClient& client, int attempts)
{
    const std::wstring machine = MachineName();
    try
    {
        util::CTraceScope scope(*m_log, 172, machine);
        for (int attempt = 0; attempt < attempts; ++attempt)
        {
            if (client.PreUpgradeNotify(std::wstring()) == 0)
            {
                m_log->Trace(173);
                break;
            }
            Sleep(m_notifyPauseMs);
        }
        scope.Ok();
    }
    catch (CExc& e)
    {
        // The install goes on: the agent is replaced whether or not its consoles were told.
        m_log->Error(e, 171, machine);
    }
}
}
