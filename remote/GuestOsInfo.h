#pragma once
// Which Windows a guest runs, on which processor platform, and whether it is a server. Read
// remotely from the guest's server information and its system environment in the registry.
// Filled once by Collect; a new collection makes a new object.

#include <windows.h>
#include <memory>
#include <string>

#include "NimboGuestAgentCtrl.h"  // ENimboOsType, ENimboOsPlatform
#include "foundation/Log.h"

class CAdminShareConnection;

namespace remote
{
class CGuestOsInfo
{
public:
    explicit CGuestOsInfo(std::shared_ptr<util::CLog> log);

    // Addresses the guest by the connection's host name; nothing else of it is used.
    void Collect(const std::shared_ptr<CAdminShareConnection>& connection);
    // The same for a host name given directly, used unchanged (no backslashes are added).
    void CollectFromHost(const std::wstring& host);

    void GetOsBuild(WORD& major, WORD& minor) const noexcept
    {
        major = m_major;
        minor = m_minor;
    }
    ENimboOsType GetOsType() const noexcept { return m_osType; }
    ENimboOsPlatform GetPlatform() const noexcept { return m_platform; }
    bool IsServer() const noexcept { return m_server; }

private:
    void ReadServerInfo(const std::wstring& host);
    void ReadPlatform(const std::wstring& host);
    void Classify();

    std::shared_ptr<util::CLog> m_log;
    WORD m_major = 0;
    WORD m_minor = 0;
    ENimboOsType m_osType = ENimboOsNT;
    ENimboOsPlatform m_platform = ENimboX86;
    bool m_server = false;
};

using CGuestOsInfoPtr = std::shared_ptr<CGuestOsInfo>;

// The name of a platform in the log: "X86", "AMD64", "IA64" or "UNDEFINED".
const wchar_t* PlatformName(ENimboOsPlatform platform) noexcept;

// The platform an environment's PROCESSOR_ARCHITECTURE and PROCESSOR_ARCHITEW6432 values
// stand for (the second one matters only for a 32-bit view of a 64-bit system).
ENimboOsPlatform PlatformFromArchitecture(const std::wstring& architecture,
                                          const std::wstring& wow64Architecture) noexcept;
}
