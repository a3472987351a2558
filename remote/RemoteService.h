#pragma once
// One service of a (remote) service control manager, opened or created by CRemoteScm. It keeps
// the manager's handle alive, so it stays usable after its CRemoteScm is gone.

#include <windows.h>
#include <memory>
#include <string>

#include "remote/ScHandle.h"

namespace remote
{
// How often Start and Stop look at the service. Their time-outs count polls, so with the
// default interval a time-out is a number of seconds.
constexpr DWORD kDefaultServicePollIntervalMs = 1000;

class CRemoteService
{
public:
    CRemoteService(CScHandlePtr service, CScHandlePtr manager, std::wstring machine,
                   std::wstring name);
    // The service's handle goes before the manager's (which it may hold the last reference to).
    ~CRemoteService() { m_service.reset(); }
    CRemoteService(const CRemoteService&) = delete;
    CRemoteService& operator=(const CRemoteService&) = delete;

    // dwCurrentState of the service: 1 stopped, 2 start pending, 3 stop pending, 4 running, ...
    DWORD QueryCurrentState();
    // The whole status, exit codes included.
    SERVICE_STATUS QueryStatus();

    // Starts the service (unless it is running or already starting) and waits until it runs;
    // gives up with ERROR_SERVICE_REQUEST_TIMEOUT after `timeout` polls. A service that stops
    // on the way fails at once with its exit codes.
    void Start(DWORD timeout);
    // Asks the service to stop (unless it is stopped or already stopping) and waits up to
    // `timeout` polls. A service that is still stopping then is not an error.
    void Stop(DWORD timeout);
    // Marks the service for deletion; it disappears once it has stopped and every handle to
    // it is closed.
    void Delete();

    const std::wstring& GetMachine() const noexcept { return m_machine; }
    const std::wstring& GetName() const noexcept { return m_name; }

    void SetPollInterval(DWORD milliseconds) noexcept { m_pollIntervalMs = milliseconds; }
    DWORD GetPollInterval() const noexcept { return m_pollIntervalMs; }

private:
    void RequestStart();
    void RequestStop();

    CScHandlePtr m_service;
    CScHandlePtr m_manager;
    std::wstring m_machine;
    std::wstring m_name;
    DWORD m_pollIntervalMs = kDefaultServicePollIntervalMs;
};

using CRemoteServicePtr = std::shared_ptr<CRemoteService>;
}
