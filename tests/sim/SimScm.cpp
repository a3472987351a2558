// The simulated guests' service control managers.
#include "tests/sim/SimScm.h"

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

struct SSimService {
    SServiceRecord record;
    STransition onStart;        // running, or start pending for a while
    STransition onStop;         // stopped, or stop pending for a while
    int pendingPolls = -1;      // left in the current pending state, -1 for ever
    DWORD openError = 0;        // per-service refusals, from the description
    DWORD queryError = 0;
    DWORD startError = 0;
    DWORD stopError = 0;
    DWORD deleteError = 0;
    unsigned handles = 0;
};

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
    status->dwControlsAccepted = s.record.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status->dwWaitHint = s.record.state == SERVICE_START_PENDING ||
                                 s.record.state == SERVICE_STOP_PENDING
                             ? 1000
                             : 0;
}

void EnterState(SSimService& s, DWORD settled, const STransition& how)
{
    if (how.pending) {
        s.record.state = settled == SERVICE_RUNNING ? SERVICE_START_PENDING : SERVICE_STOP_PENDING;
        s.pendingPolls = how.polls;
    } else {
        s.record.state = settled;
        s.pendingPolls = -1;
    }
}

// Starting a simulated service: the one place where a start takes effect.
void StartSimulatedService(const SGuest&, SSimService& s)
{
    ++s.record.startRequests;
    EnterState(s, SERVICE_RUNNING, s.onStart);
}

void StopSimulatedService(const SGuest&, SSimService& s)
{
    ++s.record.stopRequests;
    EnterState(s, SERVICE_STOPPED, s.onStop);
}

// A service marked for deletion goes once it is stopped and its last handle is closed.
void RemoveIfGone(SScm& scm, const std::wstring& key)
{
    auto it = scm.services.find(key);
    if (it != scm.services.end() && it->second.record.markedForDelete && it->second.handles == 0 &&
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
    SHandle* h = Live(manager);
    if (!h || h->kind != EHandleKind::Manager)
        return Fail(ERROR_INVALID_HANDLE, SC_HANDLE());
    if (!(h->access & SC_MANAGER_CREATE_SERVICE))
        return Fail(ERROR_ACCESS_DENIED, SC_HANDLE());
    if (!ValidServiceName(serviceName) || (displayName && std::wcslen(displayName) > 256))
        return Fail(ERROR_INVALID_NAME, SC_HANDLE());
    if (!binaryPathName || !*binaryPathName || startType > SERVICE_DISABLED ||
        errorControl > SERVICE_ERROR_CRITICAL ||
        !(serviceType & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)) ||
        (tagId && !loadOrderGroup))
        return Fail(ERROR_INVALID_PARAMETER, SC_HANDLE());
    GuestPtr guest = FindGuest(h->section);
    if (!guest)
        return Fail(ERROR_INVALID_HANDLE, SC_HANDLE());
    SScm& scm = ScmOf(guest);
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
    scm.services[key] = s;
    return NewHandle(EHandleKind::Service, h->section, key, ServiceRights(desiredAccess));
}

SC_HANDLE ScmOpenService(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess)
{
    auto guard = WorldLock();
    SHandle* h = Live(manager);
    if (!h || h->kind != EHandleKind::Manager)
        return Fail(ERROR_INVALID_HANDLE, SC_HANDLE());
    if (!ValidServiceName(serviceName))
        return Fail(ERROR_INVALID_NAME, SC_HANDLE());
    GuestPtr guest = FindGuest(h->section);
    if (!guest)
        return Fail(ERROR_INVALID_HANDLE, SC_HANDLE());
    SScm& scm = ScmOf(guest);
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
    SHandle* h = Live(service);
    if (!h || h->kind != EHandleKind::Service)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(h->access & SERVICE_QUERY_STATUS))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!status)
        return Fail(ERROR_INVALID_ADDRESS, FALSE);
    SSimService* s = ServiceOf(h);
    if (!s)
        return FALSE;
    if (s->queryError)
        return Fail(s->queryError, FALSE);
    ++s->record.statusQueries;
    DWORD& state = s->record.state;
    if ((state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) && s->pendingPolls >= 0) {
        if (s->pendingPolls == 0) {
            state = state == SERVICE_START_PENDING ? SERVICE_RUNNING : SERVICE_STOPPED;
            s->pendingPolls = -1;
        } else {
            --s->pendingPolls;
        }
    }
    FillStatus(*s, status);
    return TRUE;
}

BOOL ScmStart(SC_HANDLE service, DWORD, LPCWSTR*)
{
    auto guard = WorldLock();
    SHandle* h = Live(service);
    if (!h || h->kind != EHandleKind::Service)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(h->access & SERVICE_START))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    SSimService* s = ServiceOf(h);
    if (!s)
        return FALSE;
    if (s->startError)
        return Fail(s->startError, FALSE);
    if (s->record.markedForDelete)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    if (s->record.startType == SERVICE_DISABLED)
        return Fail(ERROR_SERVICE_DISABLED, FALSE);
    if (s->record.state != SERVICE_STOPPED)
        return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    StartSimulatedService(*FindGuest(h->section), *s);
    return TRUE;
}

BOOL ScmControl(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    auto guard = WorldLock();
    SHandle* h = Live(service);
    if (!h || h->kind != EHandleKind::Service)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (control == SERVICE_CONTROL_STOP && !(h->access & SERVICE_STOP))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (control == SERVICE_CONTROL_INTERROGATE && !(h->access & SERVICE_INTERROGATE))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!status)
        return Fail(ERROR_INVALID_ADDRESS, FALSE);
    SSimService* s = ServiceOf(h);
    if (!s)
        return FALSE;
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE)
        return Fail(ERROR_INVALID_SERVICE_CONTROL, FALSE);
    if (control == SERVICE_CONTROL_STOP && s->stopError)
        return Fail(s->stopError, FALSE);
    if (s->record.state == SERVICE_STOPPED)
        return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
    if (s->record.state != SERVICE_RUNNING) {
        // A service in a pending state takes no controls; the caller still learns its state.
        FillStatus(*s, status);
        return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
    }
    if (control == SERVICE_CONTROL_STOP)
        StopSimulatedService(*FindGuest(h->section), *s);
    FillStatus(*s, status);
    return TRUE;
}

BOOL ScmDelete(SC_HANDLE service)
{
    auto guard = WorldLock();
    SHandle* h = Live(service);
    if (!h || h->kind != EHandleKind::Service)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(h->access & DELETE))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    SSimService* s = ServiceOf(h);
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
