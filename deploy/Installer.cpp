#include "deploy/Installer.h"

#include "deploy/AgentConfigDocument.h"
#include "deploy/AgentConfigFormat.h"
#include "deploy/AgentInstallPolicy.h"
#include "deploy/GuestMetricsCollector.h"
#include "deploy/RollbackList.h"
#include "foundation/Exc.h"
#include "foundation/FileSystem.h"
#include "remote/AdminShareConnection.h"
#include "remote/RemoteService.h"

namespace install
{
namespace
{
const wchar_t kPackageFolderName[] = L"NimboGuestAgents";
const wchar_t kDefaultServiceName[] = L"NimboGuestAgent";
const wchar_t kAgentExecutable[] = L"NimboGuestAgent.exe";
const wchar_t kAgentX86[] = L"NimboGuestAgent_X86.exe";
const wchar_t kAgentX64[] = L"NimboGuestAgent_X64.exe";

// Service manager and service rights of each operation.
const DWORD kInstallScmRights = STANDARD_RIGHTS_READ | SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
const DWORD kUninstallScmRights = GENERIC_READ | SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
const DWORD kQueryScmRights = GENERIC_READ;
const DWORD kStartScmRights = GENERIC_READ | SC_MANAGER_CONNECT;
const DWORD kRemoveServiceRights =
    DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG;
const DWORD kCreateServiceRights =
    DELETE | SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG;
const DWORD kStartServiceRights = SERVICE_QUERY_STATUS | SERVICE_START;

// Time-outs in polls of the service (one second each by default). A stop may take the agent
// a long time; only the start inside an installation gives up early.
const DWORD kStopTimeoutPolls = 60000;
const DWORD kStartTimeoutPolls = 60000;
const DWORD kInstallStartTimeoutPolls = 30;

// Removing a folder that a just stopped agent may still hold open.
const DWORD kRemovePauseMs = 1000;
const int kRemoveAttempts = 10;

const HRESULT kServiceDoesNotExist = HRESULT_FROM_WIN32(ERROR_SERVICE_DOES_NOT_EXIST);
}

// Removes the agent's folder created by the upload.
class CInstaller::CFileUploadRlbkAction : public CRollbackAction
{
public:
    explicit CFileUploadRlbkAction(std::wstring targetFolder) : m_targetFolder(std::move(targetFolder)) {}
    void Rollback() override { util::RemoveFolder(m_targetFolder); }

private:
    std::wstring m_targetFolder;
};

// Deletes the service registered by the installation.
class CInstaller::CSvcRegisterRlbkAction : public CRollbackAction
{
public:
    explicit CSvcRegisterRlbkAction(remote::CRemoteServicePtr service) : m_service(std::move(service)) {}
    void Rollback() override { m_service->Delete(); }

private:
    remote::CRemoteServicePtr m_service;
};

// Stops the service started by the installation (or left starting by a failed start).
class CInstaller::CSvcStartRlbkAction : public CRollbackAction
{
public:
    explicit CSvcStartRlbkAction(remote::CRemoteServicePtr service) : m_service(std::move(service)) {}
    void Rollback() override { m_service->Stop(kStopTimeoutPolls); }

private:
    remote::CRemoteServicePtr m_service;
};

CInstaller::CInstaller(std::shared_ptr<CAdminShareConnection> connection,
                       std::shared_ptr<CAgentSpecificInstall> policy, std::shared_ptr<util::CLog> log)
    : m_connection(std::move(connection)),
      m_policy(std::move(policy)),
      // Without a log every line goes to a logger that has no writer.
      m_log(log ? std::move(log) : std::make_shared<util::CLog>())
{
}

void CInstaller::Notify(EInstallPhase phase, bool finished) const
{
    if (m_phaseObserver)
        m_phaseObserver(phase, finished);
}

void CInstaller::CheckConnection() const
{
    if (!m_connection)
        throw CExc(MsgText(110), E_FAIL);
}

remote::CRemoteScm CInstaller::OpenScm(DWORD rights) const
{
    remote::CRemoteScm scm(m_connection->GetHost(), rights);
    scm.SetPollInterval(m_pollIntervalMs);
    return scm;
}

std::wstring CInstaller::GetServiceName() const
{
    std::wstring name;
    if (m_policy && m_policy->GetServiceName(name))
        return name;
    return kDefaultServiceName;
}

std::wstring CInstaller::GetPackageFolder() const
{
    if (!m_packageFolder.empty())
        return m_packageFolder;
    std::wstring folder, file;
    util::SplitPath(util::GetModulePath(), folder, file);
    return util::JoinPath(folder, kPackageFolderName);
}

std::wstring CInstaller::GetTargetFolder() const
{
    CheckConnection();
    return util::JoinPath(m_connection->GetRemoteName(), GetServiceName());
}

void CInstaller::CollectGuestMetrics()
{
    const std::wstring host = m_connection ? m_connection->GetHost() : std::wstring();
    try
    {
        auto collector = std::make_shared<CGuestMetricsCollector>(m_connection, m_log);
        collector->Request(CGuestMetricsCollector::kCollectOsInfo);
        if (m_policy)
            m_policy->PrepareMetrics(collector);
        collector->Collect();
        m_guestInfo = collector->GetOsInfo();
        if (m_policy)
            m_policy->AcceptMetrics(collector);
    }
    catch (CExc& e)
    {
        m_log->Error(e, 130, host);
        e.AddMessage(130, host);
        throw;
    }
}

bool CInstaller::IsInstallPossible()
{
    try
    {
        if (!m_guestInfo)
            throw CExc(MsgText(132), E_FAIL);
        const ENimboOsPlatform platform = m_guestInfo->GetPlatform();
        if (platform != ENimboX86 && platform != ENimboAmd64)
            return false;
        return m_policy ? m_policy->IsInstallPossible() : true;
    }
    catch (CExc& e)
    {
        e.AddMessage(131, m_connection ? m_connection->GetHost() : std::wstring());
        throw;
    }
}

void CInstaller::Install()
{
    try
    {
        util::CInfoScope scope(*m_log, 121);
        // Declared after the scope: a failed installation is undone before the scope closes.
        CRollbackList rollback;
        CheckConnection();
        StopInstalledAgent();
        UploadFiles(rollback);
        RegisterAndStartService(rollback);
        rollback.Commit();
        scope.Ok();
    }
    catch (CExc& e)
    {
        m_log->Error(e, 122);
        throw;
    }
}

void CInstaller::StopInstalledAgent()
{
    // A reinstallation replaces the files of an agent that may be running: with its service
    // still up, its executable cannot be replaced and its configuration file goes half way.
    // No service, or one that cannot be stopped, is left to the registration step.
    try
    {
        OpenScm(kInstallScmRights).OpenService(GetServiceName(), kRemoveServiceRights)->Stop(kStopTimeoutPolls);
    }
    catch (const CExc&)
    {
    }
}

void CInstaller::UploadFiles(CRollbackList& rollback)
{
    const std::wstring remoteName = m_connection->GetRemoteName();
    Notify(EInstallPhase::Upload, false);
    try
    {
        if (!m_guestInfo)
            throw CExc(MsgText(132), E_FAIL);
        const std::wstring packageFolder = GetPackageFolder();
        const std::wstring targetFolder = GetTargetFolder();
        if (!util::FileExists(packageFolder))
            throw CExc(MsgText(111, packageFolder), E_FAIL);
        if (util::FileExists(targetFolder))
            util::RemoveFolderWithRetry(targetFolder, kRemovePauseMs, kRemoveAttempts);
        // Added before the folder exists: a folder created only in part is removed as well.
        rollback.Add(std::make_shared<CFileUploadRlbkAction>(targetFolder));
        util::CreateFolderTree(targetFolder);
        CopyAgentExecutable(packageFolder, targetFolder);
        if (m_policy)
            m_policy->CopyAgentFiles(packageFolder, targetFolder);
        Notify(EInstallPhase::Upload, true);
        Notify(EInstallPhase::Configuration, false);
        WriteAgentConfig(targetFolder);
        Notify(EInstallPhase::Configuration, true);
    }
    catch (CExc& e)
    {
        e.AddMessage(109, remoteName);
        throw;
    }
}

void CInstaller::CopyAgentExecutable(const std::wstring& packageFolder, const std::wstring& targetFolder)
{
    const ENimboOsPlatform platform = m_guestInfo->GetPlatform();
    const wchar_t* source = nullptr;
    if (platform == ENimboX86 || (m_policy && m_policy->UseX86AgentOnAnyPlatform()))
        source = kAgentX86;
    else if (platform == ENimboAmd64)
        source = kAgentX64;
    else
        throw CExc(MsgText(146, GetPlatformName(platform)), E_FAIL);
    util::CopyFileTo(util::JoinPath(packageFolder, source), util::JoinPath(targetFolder, kAgentExecutable),
                     false);
}

void CInstaller::WriteAgentConfig(const std::wstring& targetFolder)
{
    try
    {
        CAgentConfigDocument document;
        document.Open(util::JoinPath(targetFolder, agentconfig::FileName));
        document.SetServiceName(GetServiceName());
        if (m_policy)
        {
            document.AddPlugin(m_policy->GetPluginFileName());
            document.SetPorts(m_policy->GetPortsConfig());
        }
        document.Save();
    }
    catch (CExc& e)
    {
        e.AddMessage(158, targetFolder);
        throw;
    }
}

void CInstaller::RegisterAndStartService(CRollbackList& rollback)
{
    Notify(EInstallPhase::Registration, false);
    remote::CRemoteScm scm = OpenScm(kInstallScmRights);
    const std::wstring name = GetServiceName();

    // A service left by an earlier installation is replaced. Usually there is none; whatever
    // fails here (the open, the stop, the delete) is ignored, and the registration below
    // reports a service that is still in the way.
    try
    {
        remote::CRemoteServicePtr existing = scm.OpenService(name, kRemoveServiceRights);
        try
        {
            existing->Stop(kStopTimeoutPolls);
        }
        catch (const CExc&)
        {
        }
        existing->Delete();
    }
    catch (const CExc&)
    {
    }

    remote::CRemoteServicePtr service = RegisterService(scm, rollback);
    Notify(EInstallPhase::Registration, true);
    Notify(EInstallPhase::Start, false);
    // Added before the start: a start that fails half way (time-out) is stopped again.
    rollback.Add(std::make_shared<CSvcStartRlbkAction>(service));
    service->Start(kInstallStartTimeoutPolls);
    Notify(EInstallPhase::Start, true);
}

remote::CRemoteServicePtr CInstaller::RegisterService(remote::CRemoteScm& scm, CRollbackList& rollback)
{
    const std::wstring name = GetServiceName();
    try
    {
        std::wstring binaryPath = util::JoinPath({m_connection->GetShareLocalPath(), name, kAgentExecutable});
        // Unquoted, a path with a blank lets the service manager run "C:\Program.exe" or the
        // like for a LocalSystem service.
        if (binaryPath.find_first_of(L" \t") != std::wstring::npos)
            binaryPath = L"\"" + binaryPath + L"\"";
        std::vector<std::wstring> dependencies;
        if (m_policy)
            m_policy->GetServiceDependencies(dependencies);

        // Which account the agent runs under is the agent's decision: without a policy the
        // registration fails (with message 112 only).
        if (!m_policy)
        {
            CExc noPolicy;
            noPolicy.SetHResult(E_FAIL);
            throw noPolicy;
        }
        std::wstring account, password;
        if (!m_policy->RunAsLocalSystem())
        {
            std::wstring domain, user;
            m_connection->GetCredentials(domain, user, password);
            if (!domain.empty() && !user.empty())
                account = domain + L"\\" + user;
        }
        m_log->Info(246, account);

        remote::CRemoteServicePtr service = scm.CreateService(
            name, name, binaryPath, dependencies, account, password, true, kCreateServiceRights);
        rollback.Add(std::make_shared<CSvcRegisterRlbkAction>(service));
        return service;
    }
    catch (CExc& e)
    {
        e.AddMessage(112, name);
        throw;
    }
}

void CInstaller::Uninstall()
{
    CheckConnection();
    remote::CRemoteScm scm = OpenScm(kUninstallScmRights);

    // A service that cannot be opened is taken as not installed: only the files are removed.
    remote::CRemoteServicePtr service;
    try
    {
        service = scm.OpenService(GetServiceName(), kRemoveServiceRights);
    }
    catch (const CExc&)
    {
    }
    if (service)
    {
        service->Stop(kStopTimeoutPolls);
        service->Delete();
    }

    const std::wstring remoteName = m_connection->GetRemoteName();
    try
    {
        const std::wstring targetFolder = GetTargetFolder();
        if (util::FileExists(targetFolder))
            util::RemoveFolderWithRetry(targetFolder, kRemovePauseMs, kRemoveAttempts);
    }
    catch (CExc& e)
    {
        e.AddMessage(113, remoteName);
        throw;
    }
}

ENimboGuestAgentState CInstaller::GetAgentState()
{
    CheckConnection();
    remote::CRemoteScm scm = OpenScm(kQueryScmRights);
    remote::CRemoteServicePtr service;
    try
    {
        service = scm.OpenService(GetServiceName(), SERVICE_QUERY_STATUS);
    }
    catch (CExc& e)
    {
        if (e.GetHResult() != kServiceDoesNotExist)
            throw;
        return ENimboVssNotInstalled;
    }
    return service->QueryCurrentState() == SERVICE_RUNNING ? ENimboVssInstalledRunning
                                                           : ENimboVssInstalledStopped;
}

void CInstaller::StartAgent()
{
    CheckConnection();
    remote::CRemoteScm scm = OpenScm(kStartScmRights);
    // The agent's own service, the one Install registered: a fixed default name would never
    // exist for an agent whose policy names its service ("NimboVssSupport"), and the callers
    // expect the installed agent to be running afterwards.
    remote::CRemoteServicePtr service = scm.OpenService(GetServiceName(), kStartServiceRights);
    service->Start(kStartTimeoutPolls);
}
}
