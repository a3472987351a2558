#include "remote/RemoteService.h"

#include "foundation/Convert.h"
#include "foundation/Exc.h"
#include "remote/PlatformSeam.h"

namespace remote
{
CRemoteService::CRemoteService(CScHandlePtr service, CScHandlePtr manager, std::wstring machine,
                               std::wstring name)
    : m_service(std::move(service)),
      m_manager(std::move(manager)),
      m_machine(std::move(machine)),
      m_name(std::move(name))
{
}

DWORD CRemoteService::QueryCurrentState()
{
    return QueryStatus().dwCurrentState;
}

SERVICE_STATUS CRemoteService::QueryStatus()
{
    try
    {
        SERVICE_STATUS status = {};
        if (!Platform().QueryServiceStatus(m_service->get(), &status))
            throw CWin32Exc(GetLastError());
        return status;
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot retrieve the current status of the service. Machine: [%1]. Service: [%2].",
                     m_machine, m_name);
        throw;
    }
}

void CRemoteService::RequestStart()
{
    if (!Platform().StartServiceW(m_service->get(), 0, nullptr))
        throw CWin32Exc(GetLastError());
}

void CRemoteService::RequestStop()
{
    SERVICE_STATUS status = {};
    if (!Platform().ControlService(m_service->get(), SERVICE_CONTROL_STOP, &status))
        throw CWin32Exc(L"Cannot notify the service that it should be stopped.", GetLastError());
}

void CRemoteService::Start(DWORD timeout)
{
    try
    {
        const DWORD state = QueryCurrentState();
        if (state == SERVICE_RUNNING)
            return;
        if (state != SERVICE_START_PENDING)
            RequestStart();
        for (DWORD i = 0;; ++i)
        {
            if (i >= timeout)
            {
                throw CWin32Exc(L"Service start timeout. Timeout (sec): [%1].",
                                util::ToDecimal(static_cast<long>(timeout)),
                                ERROR_SERVICE_REQUEST_TIMEOUT);
            }
            const SERVICE_STATUS status = QueryStatus();
            if (status.dwCurrentState == SERVICE_RUNNING)
                return;
            // Stopped after the start request: the service's process has ended. Waiting out the
            // time-out would only hide its exit codes.
            if (status.dwCurrentState == SERVICE_STOPPED)
            {
                throw CWin32Exc(L"The service stopped while it was starting. Service-specific exit code: [%1].",
                                util::ToDecimal(static_cast<long>(status.dwServiceSpecificExitCode)),
                                status.dwWin32ExitCode ? status.dwWin32ExitCode : ERROR_SERVICE_NOT_ACTIVE);
            }
            Sleep(m_pollIntervalMs);
        }
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot start service. Machine: [%1]. Service: [%2].", m_machine, m_name);
        throw;
    }
}

void CRemoteService::Stop(DWORD timeout)
{
    try
    {
        const DWORD state = QueryCurrentState();
        if (state == SERVICE_STOPPED)
            return;
        if (state != SERVICE_STOP_PENDING)
            RequestStop();
        for (DWORD i = 0; i < timeout; ++i)
        {
            if (QueryCurrentState() == SERVICE_STOPPED)
                return;
            Sleep(m_pollIntervalMs);
        }
        // Still stopping: the caller goes on; the service ends on its own.
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot stop service. Machine: [%1]. Service: [%2].", m_machine, m_name);
        throw;
    }
}

void CRemoteService::Delete()
{
    try
    {
        if (!Platform().DeleteService(m_service->get()))
            throw CWin32Exc(GetLastError());
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot delete service. Machine: [%1]. Service name: [%2].", m_machine, m_name);
        throw;
    }
}
}
