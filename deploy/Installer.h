#pragma once
// Deploys one agent package onto one guest through its administrative share and manages the
// agent's service there. What differs between agents is asked of a CAgentSpecificInstall.
//
//   install::CInstaller installer(share, std::make_shared<vss::CVssSpecificInstall>(), log);
//   installer.CollectGuestMetrics();
//   if (installer.IsInstallPossible())
//       installer.Install();   // all or nothing: finished steps are undone on failure
//
// Every operation blocks the calling thread; errors are exceptions of the CExc family.
#include <windows.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NimboGuestAgentCtrl.h"  // ENimboGuestAgentState
#include "foundation/Log.h"
#include "remote/GuestOsInfo.h"
#include "remote/RemoteScm.h"

class CAdminShareConnection;

namespace install
{
class CAgentSpecificInstall;
class CRollbackList;

// The phases of an installation, in the order Install runs them.
enum class EInstallPhase
{
    Upload,         // the agent's folder and files on the guest's share
    Configuration,  // the agent's configuration file
    Registration,   // the agent's service (replacing an earlier one)
    Start,          // the service's start, until it runs
};

// Told when a phase begins (finished false) and when it has ended well (finished true).
using InstallPhaseObserver = std::function<void(EInstallPhase phase, bool finished)>;

class CInstaller
{
public:
    CInstaller(std::shared_ptr<CAdminShareConnection> connection,
               std::shared_ptr<CAgentSpecificInstall> policy, std::shared_ptr<util::CLog> log);
    CInstaller(const CInstaller&) = delete;
    CInstaller& operator=(const CInstaller&) = delete;

    // Asks the guest again and replaces the stored system information.
    void CollectGuestMetrics();
    bool IsInstallPossible();
    // Empty until CollectGuestMetrics has succeeded.
    remote::CGuestOsInfoPtr GetGuestInfo() const { return m_guestInfo; }
    std::wstring GetServiceName() const;

    void Install();
    void Uninstall();
    ENimboGuestAgentState GetAgentState();
    void StartAgent();

    // How often service starts and stops look at the service. Their time-outs count polls;
    // tests shorten the interval so that a time-out does not take minutes.
    void SetServicePollInterval(DWORD milliseconds) noexcept { m_pollIntervalMs = milliseconds; }

    // The folder the agent packages are taken from: "NimboGuestAgents" beside this library's
    // file unless another one was set (an empty path restores that default).
    void SetPackageFolder(const std::wstring& folder) { m_packageFolder = folder; }
    std::wstring GetPackageFolder() const;
    // The agent's folder on the guest as this host reaches it: "\\host\ADMIN$\<service>".
    std::wstring GetTargetFolder() const;

    // Lets a caller follow an installation phase by phase (progress, timings); none by default.
    void SetPhaseObserver(InstallPhaseObserver observer) { m_phaseObserver = std::move(observer); }

private:
    // Undo actions of an installation, newest first in the rollback list.
    class CFileUploadRlbkAction;
    class CSvcRegisterRlbkAction;
    class CSvcStartRlbkAction;

    void CheckConnection() const;
    void Notify(EInstallPhase phase, bool finished) const;
    remote::CRemoteScm OpenScm(DWORD rights) const;
    void StopInstalledAgent();
    void UploadFiles(CRollbackList& rollback);
    void CopyAgentExecutable(const std::wstring& packageFolder, const std::wstring& targetFolder);
    void WriteAgentConfig(const std::wstring& targetFolder);
    void RegisterAndStartService(CRollbackList& rollback);
    remote::CRemoteServicePtr RegisterService(remote::CRemoteScm& scm, CRollbackList& rollback);

    std::shared_ptr<CAdminShareConnection> m_connection;
    std::shared_ptr<CAgentSpecificInstall> m_policy;
    std::shared_ptr<util::CLog> m_log;
    remote::CGuestOsInfoPtr m_guestInfo;
    DWORD m_pollIntervalMs = 1000;
    std::wstring m_packageFolder;
    InstallPhaseObserver m_phaseObserver;
};

using CInstallerPtr = std::shared_ptr<CInstaller>;
}
