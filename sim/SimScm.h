// The simulated guests' service control managers. The seam's service calls forward here
// after injected failures are applied; results and last errors as the Windows functions.
//
// Each guest has one service control manager per process. It starts with the services of the
// guest's description and is built again when those lines change; services created, started
// or deleted by the calls live until then. A service whose binary path lies below the guest's
// share starts the agent executable found there as a real process, and its state follows that
// process. See docs/SimulatedGuests.md for the service keys and the launch.
#pragma once

#include "sim/SimGuest.h"

namespace sim {

// guest is the guest that machineName names, null when no guest answers to it.
SC_HANDLE ScmOpenManager(const GuestPtr& guest, LPCWSTR machineName, LPCWSTR databaseName,
                         DWORD desiredAccess);
SC_HANDLE ScmCreateService(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                           DWORD desiredAccess, DWORD serviceType, DWORD startType,
                           DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                           LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                           LPCWSTR password);
SC_HANDLE ScmOpenService(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
BOOL ScmQueryStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL ScmStart(SC_HANDLE service, DWORD argc, LPCWSTR* argv);
BOOL ScmControl(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL ScmDelete(SC_HANDLE service);
BOOL ScmClose(SC_HANDLE handle);

// The guest a handle of this simulation belongs to (for injected failures), or null.
GuestPtr ScmHandleGuest(SC_HANDLE handle);

// What a test can see of a simulated service: the registration exactly as the service
// control manager received it, and what happened to it since.
struct SServiceRecord {
    std::wstring name;
    std::wstring displayName;
    std::wstring binaryPath;
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    bool hasAccount = false;            // false: null account (LocalSystem)
    std::wstring account;
    bool hasPassword = false;
    std::wstring password;
    bool hasDependencies = false;       // false: null dependencies
    std::vector<std::wstring> dependencies;
    DWORD state = SERVICE_STOPPED;
    // How the last run ended: ERROR_SERVICE_SPECIFIC_ERROR with the agent's exit code when
    // its process ended with one, otherwise 0.
    DWORD win32ExitCode = NO_ERROR;
    DWORD serviceSpecificExitCode = 0;
    DWORD agentProcessId = 0;           // the agent process last launched, 0 if none was
    bool markedForDelete = false;
    unsigned startRequests = 0;         // StartServiceW calls that reached the service
    unsigned stopRequests = 0;          // stop controls that reached the service
    unsigned statusQueries = 0;
};

// The service `name` of the guest that answers to `host`; false when there is none (never
// created, or deleted and gone).
bool ScmFindService(const std::wstring& host, const std::wstring& name, SServiceRecord& record);
// Handles of the simulated managers and services still open in this process.
unsigned ScmOpenHandleCount();
// Forgets every simulated manager's services (open handles stay valid but find nothing).
void ScmReset();

}  // namespace sim
