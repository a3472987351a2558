// The simulated guests' service control managers.
#include "sim/SimScm.h"

#include "foundation/Handle.h"

#include <cwchar>
#include <set>

namespace sim {
namespace {

// How a service moves out of a pending state: at once, never, or after a number of status
// queries.
struct STransition {
    bool pending = false;
    int polls = -1;             // with pending: queries until the move, -1 for never
};

// A deployed agent executable started for a service, in console mode: it sets the ready event
// once it runs and ends when the stop event is set. The job kills it when the job's handle
// goes, also when this process ends without destroying the simulation.
class CAgentProcess {
public:
    // Null with the launch's error code when the process cannot be started.
    static std::unique_ptr<CAgentProcess> Launch(const std::wstring& image, DWORD& error);
    // Kills a process that is still running and waits (briefly) until it has gone, so that its
    // files are free when the caller goes on.
    ~CAgentProcess();

    DWORD Id() const { return m_id; }
    bool Ready() const { return WaitForSingleObject(m_ready.get(), 0) == WAIT_OBJECT_0; }
    // True with the exit code once the process has ended.
    bool Ended(DWORD& exitCode) const;
    void RequestStop() { SetEvent(m_stop.get()); }

private:
    util::CKernelHandle m_job;
    util::CKernelHandle m_process;
    util::CEventHandle m_ready;
    util::CEventHandle m_stop;
    DWORD m_id = 0;
};

struct SSimService {
    SServiceRecord record;
    STransition onStart;        // running, or start pending for a while
    STransition onStop;         // stopped, or stop pending for a while
    bool held = false;          // a test hook keeps the service in its pending state
    int pendingPolls = -1;      // while held: queries until the hook lets go, -1 for never
    std::unique_ptr<CAgentProcess> agent;   // while the launched agent's process lives
    DWORD openError = 0;        // per-service refusals, from the description
    DWORD queryError = 0;
    DWORD startError = 0;
    DWORD stopError = 0;
    DWORD deleteError = 0;
    unsigned handles = 0;
};

std::unique_ptr<CAgentProcess> CAgentProcess::Launch(const std::wstring& image, DWORD& error)
{
    static unsigned counter = 0;
    const std::wstring stem = L"NimboSimAgent_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                              std::to_wstring(++counter);
    std::unique_ptr<CAgentProcess> agent(new CAgentProcess);
    agent->m_job.reset(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    agent->m_ready.reset(CreateEventW(nullptr, TRUE, FALSE, (stem + L"_ready").c_str()));
    agent->m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, (stem + L"_stop").c_str()));
    if (!agent->m_job || !agent->m_ready || !agent->m_stop ||
        !SetInformationJobObject(agent->m_job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
        error = GetLastError();
        return nullptr;
    }

    std::wstring commandLine = L"\"" + image + L"\" /console /stopevent:" + stem + L"_stop /readyevent:" +
                               stem + L"_ready";
    // The agent's folder is its working folder; when it is missing, the image's own lookup
    // fails as Windows' would (3), not the working folder's (267).
    const size_t slash = image.find_last_of(L'\\');
    std::wstring folder = slash == std::wstring::npos ? std::wstring() : image.substr(0, slash);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        folder.clear();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // Suspended until it is in the job, so that not even its first instructions escape it.
    if (!CreateProcessW(image.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
        error = GetLastError();
        return nullptr;
    }
    util::CThreadHandle thread(process.hThread);
    agent->m_process.reset(process.hProcess);
    agent->m_id = process.dwProcessId;
    if (!AssignProcessToJobObject(agent->m_job.get(), agent->m_process.get())) {
        error = GetLastError();
        TerminateProcess(agent->m_process.get(), error);
        return nullptr;
    }
    ResumeThread(thread.get());
    return agent;
}

CAgentProcess::~CAgentProcess()
{
    DWORD exitCode = 0;
    if (m_process && !Ended(exitCode)) {
        TerminateJobObject(m_job.get(), ERROR_PROCESS_ABORTED);
        WaitForSingleObject(m_process.get(), 5000);
    }
}

bool CAgentProcess::Ended(DWORD& exitCode) const
{
    if (WaitForSingleObject(m_process.get(), 0) != WAIT_OBJECT_0)
        return false;
    if (!GetExitCodeProcess(m_process.get(), &exitCode))
        exitCode = ERROR_PROCESS_ABORTED;
    return true;
}

struct SScm {
    GuestPtr guest;
    std::wstring source;        // the guest's service lines the services were built from
    std::map<std::wstring, SSimService> services;   // by lower-case name
};

enum class EHandleKind { Manager, Service };

struct SHandle {
    EHandleKind kind;
    std::wstring section;       // the guest's section name
    std::wstring service;       // lower-case service name (service handles)
    DWORD access;
};

struct SState {
    std::map<std::wstring, SScm> scms;   // by guest section
    std::set<SHandle*> handles;
};

SState& State()
{
    static auto* state = new SState;   // never destroyed: handles may be closed during exit
    return *state;
}

std::wstring Lower(std::wstring s)
{
    CharLowerBuffW(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

DWORD Number(const std::wstring& s)
{
    return static_cast<DWORD>(std::wcstoul(s.c_str(), nullptr, 0));
}

STransition ParseTransition(const std::wstring& value)
{
    STransition t;
    if (value.compare(0, 7, L"pending") == 0) {
        t.pending = true;
        if (value.size() > 8 && value[7] == L':')
            t.polls = static_cast<int>(Number(value.substr(8)));
    }
    return t;
}

SSimService FromDescription(const SService& described)
{
    SSimService s;
    s.record.name = described.name;
    s.record.displayName = described.name;
    s.record.state = described.state;
    for (size_t i = 2; i < described.fields.size(); ++i) {
        const std::wstring& field = described.fields[i];
        size_t eq = field.find(L'=');
        std::wstring key = Lower(field.substr(0, eq));
        std::wstring value = eq == std::wstring::npos ? std::wstring() : field.substr(eq + 1);
        if (key == L"display") s.record.displayName = value;
        else if (key == L"path") s.record.binaryPath = value;
        else if (key == L"start") s.onStart = ParseTransition(value);
        else if (key == L"stop") s.onStop = ParseTransition(value);
        else if (key == L"pending_polls") s.pendingPolls = static_cast<int>(Number(value));
        else if (key == L"deleted") s.record.markedForDelete = true;
        else if (key == L"open_error") s.openError = Number(value);
        else if (key == L"query_error") s.queryError = Number(value);
        else if (key == L"start_error") s.startError = Number(value);
        else if (key == L"stop_error") s.stopError = Number(value);
        else if (key == L"delete_error") s.deleteError = Number(value);
    }
    s.held = s.record.state == SERVICE_START_PENDING || s.record.state == SERVICE_STOP_PENDING;
    return s;
}

std::wstring ServiceSource(const SGuest& guest)
{
    std::wstring text;
    for (const auto& s : guest.services) {
        for (const auto& f : s.fields)
            text += f + L"|";
        text += L"\n";
    }
    return text;
}

// The manager of a guest, (re)built from its description when the service lines changed.
SScm& ScmOf(const GuestPtr& guest)
{
    SScm& scm = State().scms[guest->section];
    std::wstring source = ServiceSource(*guest);
    if (!scm.guest || scm.source != source) {
        scm.services.clear();
        for (const auto& described : guest->services)
            scm.services[Lower(described.name)] = FromDescription(described);
        scm.source = source;
    }
    scm.guest = guest;
    return scm;
}

SHandle* Live(SC_HANDLE handle)
{
    auto* h = reinterpret_cast<SHandle*>(handle);
    return h && State().handles.count(h) ? h : nullptr;
}

SC_HANDLE NewHandle(EHandleKind kind, const std::wstring& section, const std::wstring& service,
                    DWORD access)
{
    auto* h = new SHandle{kind, section, service, access};
    State().handles.insert(h);
    return reinterpret_cast<SC_HANDLE>(h);
}

template <class T>
T Fail(DWORD code, T result)
{
    SetLastError(code);
    return result;
}

// Generic rights as the service control manager maps them.
DWORD ServiceRights(DWORD access)
{
    if (access & GENERIC_ALL)
        access |= SERVICE_ALL_ACCESS;
    if (access & GENERIC_READ)
        access |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                  SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
    if (access & GENERIC_WRITE)
        access |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE)
        access |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP |
                  SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    return access;
}

DWORD ManagerRights(DWORD access)
{
    if (access & GENERIC_ALL)
        access |= SC_MANAGER_ALL_ACCESS;
    if (access & GENERIC_READ)
        access |= STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (access & GENERIC_WRITE)
        access |= STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (access & GENERIC_EXECUTE)
        access |= STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    return access | SC_MANAGER_CONNECT;
}

// The service behind a service handle, or null (with the last error set) when it is gone.
SSimService* ServiceOf(SHandle* h)
{
    GuestPtr guest = FindGuest(h->section);
    if (guest) {
        SScm& scm = ScmOf(guest);
        auto it = scm.services.find(h->service);
        if (it != scm.services.end())
            return &it->second;
    }
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
}

// Service names: 1 to 256 characters, no slashes.
bool ValidServiceName(LPCWSTR name)
{
    if (!name)
        return false;
    size_t length = std::wcslen(name);
    return length > 0 && length <= 256 && !std::wcschr(name, L'/') && !std::wcschr(name, L'\\');
}

// Checks a call on a manager handle about the service `name`: the handle (6), the right (5),
// the name (123), the guest still described (6). Null, with the last error set, when a check
// fails; `handle` receives the handle's record.
SScm* CheckedManager(SC_HANDLE manager, DWORD right, LPCWSTR name, SHandle*& handle)
{
    handle = Live(manager);
    if (!handle || handle->kind != EHandleKind::Manager)
        return Fail(ERROR_INVALID_HANDLE, static_cast<SScm*>(nullptr));
    if (right && !(handle->access & right))
        return Fail(ERROR_ACCESS_DENIED, static_cast<SScm*>(nullptr));
    if (!ValidServiceName(name))
        return Fail(ERROR_INVALID_NAME, static_cast<SScm*>(nullptr));
    GuestPtr guest = FindGuest(handle->section);
    if (!guest)
        return Fail(ERROR_INVALID_HANDLE, static_cast<SScm*>(nullptr));
    return &ScmOf(guest);
}

// Checks a call on a service handle in the manager's order: the handle (6), the right (5), the
// status buffer of a call that fills one (998), the service still there (1060). Null, with the
// last error set, when a check fails; `handle` receives the handle's record.
SSimService* CheckedService(SC_HANDLE service, DWORD right, bool statusMissing = false,
                            SHandle** handle = nullptr)
{
    SHandle* h = Live(service);
    if (!h || h->kind != EHandleKind::Service)
        return Fail(ERROR_INVALID_HANDLE, static_cast<SSimService*>(nullptr));
    if (right && !(h->access & right))
        return Fail(ERROR_ACCESS_DENIED, static_cast<SSimService*>(nullptr));
    if (statusMissing)
        return Fail(ERROR_INVALID_ADDRESS, static_cast<SSimService*>(nullptr));
    if (handle)
        *handle = h;
    return ServiceOf(h);
}

std::vector<std::wstring> SplitMultiString(LPCWSTR text)
{
    std::vector<std::wstring> names;
    for (const wchar_t* p = text; *p; p += std::wcslen(p) + 1)
        names.emplace_back(p);
    return names;
}

void FillStatus(const SSimService& s, LPSERVICE_STATUS status)
{
    *status = SERVICE_STATUS{};
    status->dwServiceType = s.record.serviceType;
    status->dwCurrentState = s.record.state;
    status->dwWin32ExitCode = s.record.win32ExitCode;
    status->dwServiceSpecificExitCode = s.record.serviceSpecificExitCode;
    status->dwControlsAccepted = s.record.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status->dwWaitHint = s.record.state == SERVICE_START_PENDING ||
                                 s.record.state == SERVICE_STOP_PENDING
                             ? 1000
                             : 0;
}

// The agent image behind a binary path that lies below the guest's share (share_path on the
// guest, admin_share here); empty for any other path. The program is found as Windows finds
// it: the quoted part, or else the shortest part up to a space (".exe" added when it has no
// extension) that names a file, the whole path when none does. Arguments are dropped.
std::wstring ImageOnShare(const SGuest& guest, const std::wstring& binaryPath)
{
    std::wstring prefix = guest.shareLocalPath;
    while (!prefix.empty() && prefix.back() == L'\\')
        prefix.pop_back();
    prefix += L'\\';
    const bool quoted = !binaryPath.empty() && binaryPath[0] == L'"';
    const std::wstring onGuest = quoted ? binaryPath.substr(1, binaryPath.find(L'"', 1) - 1) : binaryPath;
    if (guest.adminFolder.empty() || prefix.size() == 1 || onGuest.size() <= prefix.size() ||
        _wcsnicmp(onGuest.c_str(), prefix.c_str(), prefix.size()) != 0)
        return std::wstring();
    const std::wstring folder = WindowsPath(guest.adminFolder) + L'\\';
    const std::wstring rest = onGuest.substr(prefix.size());
    if (quoted)
        return folder + rest;
    for (size_t end = rest.find(L' ');; end = rest.find(L' ', end + 1)) {
        std::wstring candidate = folder + rest.substr(0, end);
        size_t slash = candidate.find_last_of(L'\\');
        if (candidate.find(L'.', slash) == std::wstring::npos)
            candidate += L".exe";
        if (end == std::wstring::npos || GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES)
            return candidate;
    }
}

// Moves a service out of its pending state once nothing holds it there: a hook's count of
// status queries, and for a launched agent its ready event or its end. A process that ends
// stops the service with its exit code, whatever the state (a held stop stays held).
void Settle(SSimService& s)
{
    DWORD& state = s.record.state;
    DWORD exitCode = 0;
    if (s.agent && s.agent->Ended(exitCode)) {
        s.agent.reset();
        s.record.win32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
        s.record.serviceSpecificExitCode = exitCode;
        if (!(state == SERVICE_STOP_PENDING && s.held)) {
            state = SERVICE_STOPPED;
            s.held = false;
        }
    }
    if (s.held)
        return;
    if (state == SERVICE_START_PENDING && (!s.agent || s.agent->Ready()))
        state = SERVICE_RUNNING;
    else if (state == SERVICE_STOP_PENDING && !s.agent)
        state = SERVICE_STOPPED;
}

void EnterPending(SSimService& s, DWORD pending, const STransition& how)
{
    s.record.state = pending;
    s.held = how.pending;
    s.pendingPolls = how.polls;
    Settle(s);
}

// Starting a simulated service: the one place where a start takes effect. A binary below the
// guest's share is launched for real; 0 or the code StartServiceW fails with.
DWORD StartSimulatedService(const SGuest& guest, SSimService& s)
{
    ++s.record.startRequests;
    std::wstring image = ImageOnShare(guest, s.record.binaryPath);
    if (!image.empty()) {
        DWORD error = 0;
        s.agent = CAgentProcess::Launch(image, error);
        if (!s.agent)
            return error;
        s.record.agentProcessId = s.agent->Id();
    }
    s.record.win32ExitCode = NO_ERROR;
    s.record.serviceSpecificExitCode = 0;
    EnterPending(s, SERVICE_START_PENDING, s.onStart);
    return 0;
}

void StopSimulatedService(SSimService& s)
{
    ++s.record.stopRequests;
    if (s.agent)
        s.agent->RequestStop();
    EnterPending(s, SERVICE_STOP_PENDING, s.onStop);
}

// A service marked for deletion goes once it is stopped and its last handle is closed.
void RemoveIfGone(SScm& scm, const std::wstring& key)
{
    auto it = scm.services.find(key);
    if (it == scm.services.end())
        return;
    Settle(it->second);   // an agent that has ended by itself has stopped its service
    if (it->second.record.markedForDelete && it->second.handles == 0 &&
        it->second.record.state == SERVICE_STOPPED)
        scm.services.erase(it);
}

}  // namespace

SC_HANDLE ScmOpenManager(const GuestPtr& guest, LPCWSTR, LPCWSTR databaseName,
                         DWORD desiredAccess)
{
    auto guard = WorldLock();
    if (!guest)
        return Fail(RPC_S_SERVER_UNAVAILABLE, SC_HANDLE());
    if (databaseName && _wcsicmp(databaseName, SERVICES_ACTIVE_DATABASEW) != 0)
        return Fail(ERROR_INVALID_NAME, SC_HANDLE());
    ScmOf(guest);
    return NewHandle(EHandleKind::Manager, guest->section, std::wstring(),
                     ManagerRights(desiredAccess));
}

SC_HANDLE ScmCreateService(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                           DWORD desiredAccess, DWORD serviceType, DWORD startType,
                           DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                           LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                           LPCWSTR password)
{
    auto guard = WorldLock();
    SHandle* h = nullptr;
    SScm* manages = CheckedManager(manager, SC_MANAGER_CREATE_SERVICE, serviceName, h);
    if (!manages)
        return nullptr;
    if (displayName && std::wcslen(displayName) > 256)
        return Fail(ERROR_INVALID_NAME, SC_HANDLE());
    if (!binaryPathName || !*binaryPathName || startType > SERVICE_DISABLED ||
        errorControl > SERVICE_ERROR_CRITICAL ||
        !(serviceType & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)) ||
        (tagId && !loadOrderGroup))
        return Fail(ERROR_INVALID_PARAMETER, SC_HANDLE());
    SScm& scm = *manages;
    std::wstring key = Lower(serviceName);
    auto existing = scm.services.find(key);
    if (existing != scm.services.end())
        return Fail(existing->second.record.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                            : ERROR_SERVICE_EXISTS,
                    SC_HANDLE());

    SSimService s;
    SServiceRecord& r = s.record;
    r.name = serviceName;
    r.displayName = displayName ? displayName : serviceName;
    r.binaryPath = binaryPathName;
    r.serviceType = serviceType;
    r.startType = startType;
    r.errorControl = errorControl;
    r.hasAccount = serviceStartName != nullptr;
    r.account = serviceStartName ? serviceStartName : L"";
    r.hasPassword = password != nullptr;
    r.password = password ? password : L"";
    r.hasDependencies = dependencies != nullptr;
    if (dependencies)
        r.dependencies = SplitMultiString(dependencies);
    s.handles = 1;
    scm.services[key] = std::move(s);
    return NewHandle(EHandleKind::Service, h->section, key, ServiceRights(desiredAccess));
}

SC_HANDLE ScmOpenService(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess)
{
    auto guard = WorldLock();
    SHandle* h = nullptr;
    SScm* manages = CheckedManager(manager, 0, serviceName, h);
    if (!manages)
        return nullptr;
    SScm& scm = *manages;
    std::wstring key = Lower(serviceName);
    auto it = scm.services.find(key);
    if (it == scm.services.end())
        return Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE());
    if (it->second.openError)
        return Fail(it->second.openError, SC_HANDLE());
    ++it->second.handles;
    return NewHandle(EHandleKind::Service, h->section, key, ServiceRights(desiredAccess));
}

BOOL ScmQueryStatus(SC_HANDLE service, LPSERVICE_STATUS status)
{
    auto guard = WorldLock();
    SSimService* s = CheckedService(service, SERVICE_QUERY_STATUS, !status);
    if (!s)
        return FALSE;
    if (s->queryError)
        return Fail(s->queryError, FALSE);
    ++s->record.statusQueries;
    if (s->held && s->pendingPolls >= 0) {
        if (s->pendingPolls == 0)
            s->held = false;
        else
            --s->pendingPolls;
    }
    Settle(*s);
    FillStatus(*s, status);
    return TRUE;
}

BOOL ScmStart(SC_HANDLE service, DWORD, LPCWSTR*)
{
    auto guard = WorldLock();
    SHandle* h = nullptr;
    SSimService* s = CheckedService(service, SERVICE_START, false, &h);
    if (!s)
        return FALSE;
    if (s->startError)
        return Fail(s->startError, FALSE);
    if (s->record.markedForDelete)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    if (s->record.startType == SERVICE_DISABLED)
        return Fail(ERROR_SERVICE_DISABLED, FALSE);
    Settle(*s);
    if (s->record.state != SERVICE_STOPPED)
        return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    DWORD error = StartSimulatedService(*FindGuest(h->section), *s);
    return error ? Fail(error, FALSE) : TRUE;
}

BOOL ScmControl(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    auto guard = WorldLock();
    const DWORD right = control == SERVICE_CONTROL_STOP          ? SERVICE_STOP
                        : control == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                                                                 : 0;
    SSimService* s = CheckedService(service, right, !status);
    if (!s)
        return FALSE;
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE)
        return Fail(ERROR_INVALID_SERVICE_CONTROL, FALSE);
    if (control == SERVICE_CONTROL_STOP && s->stopError)
        return Fail(s->stopError, FALSE);
    Settle(*s);
    if (s->record.state == SERVICE_STOPPED)
        return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
    if (s->record.state != SERVICE_RUNNING) {
        // A service in a pending state takes no controls; the caller still learns its state.
        FillStatus(*s, status);
        return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
    }
    if (control == SERVICE_CONTROL_STOP)
        StopSimulatedService(*s);
    FillStatus(*s, status);
    return TRUE;
}

BOOL ScmDelete(SC_HANDLE service)
{
    auto guard = WorldLock();
    SSimService* s = CheckedService(service, DELETE);
    if (!s)
        return FALSE;
    if (s->deleteError)
        return Fail(s->deleteError, FALSE);
    if (s->record.markedForDelete)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    s->record.markedForDelete = true;
    return TRUE;
}

BOOL ScmClose(SC_HANDLE handle)
{
    auto guard = WorldLock();
    SHandle* h = Live(handle);
    if (!h)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    State().handles.erase(h);
    if (h->kind == EHandleKind::Service) {
        auto scm = State().scms.find(h->section);
        if (scm != State().scms.end()) {
            auto it = scm->second.services.find(h->service);
            if (it != scm->second.services.end() && it->second.handles > 0)
                --it->second.handles;
            RemoveIfGone(scm->second, h->service);
        }
    }
    delete h;
    return TRUE;
}

GuestPtr ScmHandleGuest(SC_HANDLE handle)
{
    auto guard = WorldLock();
    SHandle* h = Live(handle);
    return h ? FindGuest(h->section) : nullptr;
}

bool ScmFindService(const std::wstring& host, const std::wstring& name, SServiceRecord& record)
{
    auto guard = WorldLock();
    GuestPtr guest = FindGuest(host);
    if (!guest)
        return false;
    SScm& scm = ScmOf(guest);
    auto it = scm.services.find(Lower(name));
    if (it == scm.services.end())
        return false;
    Settle(it->second);
    record = it->second.record;
    return true;
}

unsigned ScmOpenHandleCount()
{
    auto guard = WorldLock();
    return static_cast<unsigned>(State().handles.size());
}

void ScmReset()
{
    auto guard = WorldLock();
    State().scms.clear();
}

}  // namespace sim
