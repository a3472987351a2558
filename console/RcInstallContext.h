#pragma once
// What one guest's connect-or-install needs: the share connection, the installer engine with
// the console policy (whose package description the install-info objects fill), the
// connection's RPC client slot and the log. Every installer object of a connection shares one
// context until Disconnect.
//
//   auto context = std::make_shared<rconsole::CRcInstallContext>(share, rpcClientSlot, log);
//   context->GetPolicy()->SetAgentVersion(version);
//   context->GetInstaller()->CollectGuestMetrics();
//   context->ConnectOrInstall();     // the slot now holds a client of a fitting agent
//
// Installations on one guest are serialised across processes and machines by a lock file on
// the guest's share, named after the agent's service.

#include <windows.h>
#include <memory>
#include <string>

#include "console/RcConnection.h"
#include "console/RcRpcClient.h"
#include "foundation/FileMutex.h"
#include "foundation/Log.h"

class CAdminShareConnection;

namespace install
{
class CInstaller;
}

namespace rconsole
{
class CRcSpecificInstall;

enum EInstalledAgentState
{
    AgentUpgradeNeeded = 0,  // an older, incompatible agent answers
    AgentMissing = 1,        // no agent is published, or it vanished
    AgentReady = 2,          // an agent answers and fits the package
};

class CRcInstallContext
{
public:
    CRcInstallContext(std::shared_ptr<CAdminShareConnection> shareConnection,
                      std::shared_ptr<CRcRpcClientSlot> rpcClientSlot, std::shared_ptr<util::CLog> log);
    CRcInstallContext(const CRcInstallContext&) = delete;
    CRcInstallContext& operator=(const CRcInstallContext&) = delete;

    // Leaves a client of an agent that fits the package in the slot: the running one, or one
    // installed (or upgraded) here. On failure the slot keeps what it held.
    void ConnectOrInstall();

    const std::shared_ptr<install::CInstaller>& GetInstaller() const noexcept { return m_installer; }
    const std::shared_ptr<CRcSpecificInstall>& GetPolicy() const noexcept { return m_rcInstall; }

    // The steps of ConnectOrInstall, open for tests of each decision.
    std::unique_ptr<util::CFileMutexLock> LockInstallation();
    EInstalledAgentState CheckInstalledAgent(std::shared_ptr<CRcRpcClient>& client);
    std::shared_ptr<CRcRpcClient> ConnectToConsoleServer(const std::wstring& binding);
    // True when the installed agent must be replaced; raises 163 for a newer, incompatible one.
    bool CheckCompatibility(const util::SNimboAgentVersion& installed, const CRcCompatibilitySet& compatibility);
    std::shared_ptr<CRcRpcClient> InstallInstance(EInstalledAgentState state, const std::shared_ptr<CRcRpcClient>& oldClient);
    void NotifyUpgrade(CRcRpcClient& client, int attempts);

    // The pause between upgrade notices (1000 ms); tests shorten it.
    void SetNotifyPauseMs(DWORD milliseconds) noexcept { m_notifyPauseMs = milliseconds; }

private:
    bool FindEndpoint(std::wstring& binding);
    void LogCompatibility(const CRcCompatibilitySet& compatibility);
    std::wstring MachineName() const;

    std::shared_ptr<CAdminShareConnection> m_shareConnection;
    std::shared_ptr<install::CInstaller> m_installer;
    std::shared_ptr<CRcSpecificInstall> m_rcInstall;
    std::shared_ptr<CRcRpcClientSlot> m_rpcClientSlot;
    std::shared_ptr<util::CLog> m_log;
    DWORD m_notifyPauseMs = 1000;
};
}
