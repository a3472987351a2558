#include "deploy/GuestMetricsCollector.h"

#include "foundation/Exc.h"
#include "remote/AdminShareConnection.h"

namespace install
{
CGuestMetricsCollector::CGuestMetricsCollector(std::shared_ptr<CAdminShareConnection> connection,
                                               std::shared_ptr<util::CLog> log)
    : m_log(log ? std::move(log) : std::make_shared<util::CLog>()), m_connection(std::move(connection))
{
}

void CGuestMetricsCollector::Collect()
{
    util::CTraceScope scope(*m_log, 127);
    if (m_request & kCollectOsInfo)
    {
        if (!m_connection)
            throw CExc(MsgText(110), E_FAIL);
        auto osInfo = std::make_shared<remote::CGuestOsInfo>(m_log);
        osInfo->Collect(m_connection);
        m_osInfo = osInfo;
    }
    scope.Ok();
}
}
