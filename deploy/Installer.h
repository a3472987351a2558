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
#include <memory>
#include <string>

#include "NimboGuestAgentCtrl.h"  // ENimboGuestAgentState
#include "foundation/Log.h"
#include "remote/GuestOsInfo.h"

class CAdminShareConnection;

namespace install
{
class CAgentSpecificInstall;

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

private:
    // (declared by the implementation)
    std::shared_ptr<CAdminShareConnection> m_connection;
    std::shared_ptr<CAgentSpecificInstall> m_policy;
    std::shared_ptr<util::CLog> m_log;
    remote::CGuestOsInfoPtr m_guestInfo;
    DWORD m_pollIntervalMs = 1000;
};

using CInstallerPtr = std::shared_ptr<CInstaller>;
}
