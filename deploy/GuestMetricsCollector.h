#pragma once
// Collects the guest data that the installer engine and its agent policy ask for; each kind of
// data has a request bit, set before Collect.

#include <windows.h>
#include <memory>

#include "foundation/Log.h"
#include "remote/GuestOsInfo.h"

class CAdminShareConnection;

namespace install
{
class CGuestMetricsCollector
{
public:
    // Request bits.
    static constexpr DWORD kCollectOsInfo = 0x1;

    CGuestMetricsCollector(std::shared_ptr<CAdminShareConnection> connection,
                           std::shared_ptr<util::CLog> log);

    void Request(DWORD bits) noexcept { m_request |= bits; }
    DWORD GetRequest() const noexcept { return m_request; }

    // Asks the guest for every requested kind of data.
    void Collect();

    // Empty until collected (or when not requested).
    remote::CGuestOsInfoPtr GetOsInfo() const { return m_osInfo; }

private:
    DWORD m_request = 0;
    remote::CGuestOsInfoPtr m_osInfo;
    std::shared_ptr<util::CLog> m_log;
    std::shared_ptr<CAdminShareConnection> m_connection;
};
}
