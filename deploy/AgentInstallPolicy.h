#pragma once
// What the installer engine asks of an agent: which guests it runs on, its extra files, its
// service name, dependencies and account, and how it listens for RPC. One policy per agent
// (vss::CVssSpecificInstall, the remote console's); the engine itself is the same for all.

#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "NimboGuestAgentCtrl.h"  // ENimboOsType, ENimboOsPlatform

namespace install
{
class CGuestMetricsCollector;
using CGuestMetricsCollectorPtr = std::shared_ptr<CGuestMetricsCollector>;

// An agent's RPC port settings, as written into its configuration file.
struct SPortsCfg
{
    bool useDynPort = true;     // false: listen on staticPort
    DWORD staticPort = 2010;
};

class CAgentSpecificInstall
{
public:
    virtual ~CAgentSpecificInstall() = default;

    // Sets the collector's request bits for the guest data the agent needs.
    virtual void PrepareMetrics(const CGuestMetricsCollectorPtr& collector) = 0;
    // Takes the collected data; the policy may keep the collector's objects.
    virtual void AcceptMetrics(const CGuestMetricsCollectorPtr& collector) = 0;
    virtual bool IsInstallPossible() const = 0;
    // Copies the agent's own files (besides the executable) from the package folder.
    virtual void CopyAgentFiles(const std::wstring& packageFolder,
                                const std::wstring& targetFolder) const = 0;
    // Appends the services the agent's service depends on.
    virtual void GetServiceDependencies(std::vector<std::wstring>& dependencies) const = 0;
    // False: the engine uses its default name.
    virtual bool GetServiceName(std::wstring& name) const = 0;
    // The plugin's file name relative to the agent's folder.
    virtual std::wstring GetPluginFileName() const = 0;
    // True: the 32-bit agent executable also goes onto 64-bit guests.
    virtual bool UseX86AgentOnAnyPlatform() const = 0;
    virtual SPortsCfg GetPortsConfig() const = 0;
    // True: the service is registered without an account; false: with the connection's.
    virtual bool RunAsLocalSystem() const = 0;
};

using CAgentSpecificInstallPtr = std::shared_ptr<CAgentSpecificInstall>;

// Names that error messages give an OS type and a platform: "Windows XP", "AMD64", ...;
// "Unspecified" for a value outside the table.
const wchar_t* GetOsTypeName(ENimboOsType osType) noexcept;
const wchar_t* GetPlatformName(ENimboOsPlatform platform) noexcept;
}
