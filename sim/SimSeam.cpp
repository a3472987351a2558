// The platform seam bound to simulated guests (test DLL and unit tests).
//
// Every call first asks for an injected failure, then answers from the guest description.
// The networking calls and the share information are answered here; the service control
// manager, the registry and the server information by SimScm and SimRegistry.
#include "remote/PlatformSeam.h"

#include "sim/SimEndpoints.h"
#include "sim/SimGuest.h"
#include "sim/SimRegistry.h"
#include "sim/SimScm.h"

#include <set>

namespace {

using sim::GuestPtr;

const wchar_t kProvider[] = L"Microsoft Windows Network";

struct SEnumeration {
    std::vector<sim::SConnection> entries;   // a snapshot: cancelling does not disturb it
    size_t next = 0;
};

// Endpoint-map inquiry context. The runtime keeps the endpoint mapper's binding in the
// second pointer-sized field of its own context; the simulated one keeps the same layout.
struct SInquiry {
    void* tag;
    RPC_BINDING_HANDLE binding;
    std::vector<sim::SEndpoint> elements;
    size_t next;
};

std::set<void*>& LiveHandles()
{
    static auto* handles = new std::set<void*>;
    return *handles;
}

bool IsLive(void* handle)
{
    return handle && LiveHandles().count(handle) != 0;
}

// Share names a simulated guest offers, with the local path of each.
bool ShareLocalPath(const sim::SGuest& guest, const std::wstring& share, std::wstring& path)
{
    if (sim::EqualNoCase(share, L"ADMIN$"))
        path = guest.shareLocalPath;
    else if (sim::EqualNoCase(share, L"C$"))
        path = L"C:\\";
    else if (sim::EqualNoCase(share, L"IPC$"))
        path.clear();
    else
        return false;
    return true;
}

bool SameServer(const sim::SGuest& guest, const std::wstring& host,
                const sim::SConnection& connection)
{
    if (!connection.hasRemoteName)
        return false;
    std::wstring other = sim::HostOf(connection.remoteName);
    if (connection.remoteName.find(L'\\', 2 + other.size()) == std::wstring::npos)
        return false;   // not a share of any server
    return sim::EqualNoCase(other, host) || guest.Answers(other);
}

bool DomainsMatch(const sim::SGuest& guest, const std::wstring& given, const std::wstring& known)
{
    return given.empty() || known.empty() || sim::EqualNoCase(given, known) ||
           (given == L"." && guest.Answers(known)) || (guest.Answers(given) && guest.Answers(known));
}

DWORD CheckCredentials(const sim::SGuest& guest, LPCWSTR login, LPCWSTR password)
{
    std::wstring user = login ? login : L"";
    std::wstring pass = password ? password : L"";
    if (user.empty())
        return guest.acceptDefaultCredentials ? NO_ERROR : ERROR_LOGON_FAILURE;
    size_t slash = user.find(L'\\');
    std::wstring domain = slash == std::wstring::npos ? std::wstring() : user.substr(0, slash);
    std::wstring name = slash == std::wstring::npos ? user : user.substr(slash + 1);
    for (const auto& account : guest.accounts)
        if (sim::EqualNoCase(account.user, name) && DomainsMatch(guest, domain, account.domain) &&
            account.password == pass)
            return NO_ERROR;
    return ERROR_LOGON_FAILURE;
}

DWORD EntrySize(const sim::SConnection& c)
{
    size_t chars = sizeof(kProvider) / sizeof(wchar_t);
    if (c.hasRemoteName)
        chars += c.remoteName.size() + 1;
    if (!c.localName.empty())
        chars += c.localName.size() + 1;
    return static_cast<DWORD>(sizeof(NETRESOURCEW) + chars * sizeof(wchar_t));
}

wchar_t* CopyOut(wchar_t*& cursor, const std::wstring& text)
{
    wchar_t* start = cursor;
    text.copy(cursor, text.size());
    cursor[text.size()] = L'\0';
    cursor += text.size() + 1;
    return start;
}

bool VersionMatches(const RPC_IF_ID& have, const RPC_IF_ID& want, unsigned long option)
{
    switch (option) {
    case RPC_C_VERS_ALL:
        return true;
    case RPC_C_VERS_COMPATIBLE:
        return have.VersMajor == want.VersMajor && have.VersMinor >= want.VersMinor;
    case RPC_C_VERS_EXACT:
        return have.VersMajor == want.VersMajor && have.VersMinor == want.VersMinor;
    case RPC_C_VERS_MAJOR_ONLY:
        return have.VersMajor == want.VersMajor;
    case RPC_C_VERS_UPTO:
        return have.VersMajor < want.VersMajor ||
               (have.VersMajor == want.VersMajor && have.VersMinor <= want.VersMinor);
    default:
        return false;
    }
}

std::wstring BindingHost(RPC_BINDING_HANDLE binding)
{
    RPC_WSTR text = nullptr, address = nullptr;
    std::wstring host;
    if (RpcBindingToStringBindingW(binding, &text) == RPC_S_OK) {
        if (RpcStringBindingParseW(text, nullptr, nullptr, &address, nullptr, nullptr) ==
            RPC_S_OK) {
            host = reinterpret_cast<wchar_t*>(address);
            RpcStringFreeW(&address);
        }
        RpcStringFreeW(&text);
    }
    return host;
}

class CSimPlatform final : public remote::IPlatform {
public:
    DWORD WNetAddConnection2W(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR userName,
                              DWORD flags) override
    {
        auto guard = sim::WorldLock();
        if (!resource || !resource->lpRemoteName)
            return ERROR_INVALID_PARAMETER;
        std::wstring remoteName = resource->lpRemoteName;
        std::wstring host = sim::HostOf(remoteName);
        GuestPtr guest = sim::FindGuest(host);
        DWORD code = 0;
        if (sim::InjectedFailure(L"WNetAddConnection2W", guest.get(), code))
            return code;
        if (host.empty() || remoteName.find(L'\\', 2 + host.size()) == std::wstring::npos)
            return ERROR_BAD_NET_NAME;
        if (!guest)
            return ERROR_BAD_NETPATH;
        std::wstring share = remoteName.substr(3 + host.size());
        std::wstring localName = resource->lpLocalName ? resource->lpLocalName : L"";
        std::wstring user = userName ? userName : L"";

        auto& session = sim::Session();
        for (const auto& c : session) {
            if (!SameServer(*guest, host, c))
                continue;
            if (localName.empty() && !c.localName.empty() &&
                sim::EqualNoCase(c.remoteName, remoteName))
                return ERROR_DEVICE_ALREADY_REMEMBERED;
            if (!sim::EqualNoCase(c.user, user))
                return ERROR_SESSION_CREDENTIAL_CONFLICT;
        }
        if (DWORD logon = CheckCredentials(*guest, userName, password))
            return logon;
        std::wstring localPath;
        if (!ShareLocalPath(*guest, share, localPath))
            return ERROR_BAD_NET_NAME;

        for (const auto& c : session)
            if (c.hasRemoteName && sim::EqualNoCase(c.remoteName, remoteName) &&
                sim::EqualNoCase(c.localName, localName))
                return NO_ERROR;   // the same connection again: the session keeps one entry
        sim::SConnection connection;
        connection.remoteName = remoteName;
        connection.localName = localName;
        connection.user = user;
        connection.userWasNull = userName == nullptr;
        connection.passwordWasNull = password == nullptr;
        session.push_back(connection);
        if (sim::EqualNoCase(share, L"ADMIN$"))
            sim::MapAdminShare(*guest);
        return NO_ERROR;
    }

    DWORD WNetOpenEnumW(DWORD scope, DWORD type, DWORD usage, LPNETRESOURCEW resource,
                        LPHANDLE enumHandle) override
    {
        auto guard = sim::WorldLock();
        DWORD code = 0;
        if (sim::InjectedFailure(L"WNetOpenEnumW", nullptr, code))
            return code;
        if (!enumHandle)
            return ERROR_INVALID_PARAMETER;
        if (scope != RESOURCE_CONNECTED)
            return ERROR_NOT_SUPPORTED;
        auto* enumeration = new SEnumeration;
        for (const auto& c : sim::Session())
            if (type == RESOURCETYPE_ANY || type == RESOURCETYPE_DISK)
                enumeration->entries.push_back(c);
        LiveHandles().insert(enumeration);
        *enumHandle = enumeration;
        return NO_ERROR;
    }

    DWORD WNetEnumResourceW(HANDLE enumHandle, LPDWORD count, LPVOID buffer,
                            LPDWORD bufferSize) override
    {
        auto guard = sim::WorldLock();
        DWORD code = 0;
        if (sim::InjectedFailure(L"WNetEnumResourceW", nullptr, code))
            return code;
        if (!IsLive(enumHandle))
            return ERROR_INVALID_HANDLE;
        if (!count || !bufferSize || *count == 0)
            return ERROR_INVALID_PARAMETER;
        auto* enumeration = static_cast<SEnumeration*>(enumHandle);
        if (enumeration->next >= enumeration->entries.size()) {
            *count = 0;
            return ERROR_NO_MORE_ITEMS;
        }
        const sim::SConnection& c = enumeration->entries[enumeration->next];
        DWORD needed = EntrySize(c);
        if (!buffer || *bufferSize < needed) {
            *bufferSize = needed;
            return ERROR_MORE_DATA;
        }
        auto* record = static_cast<NETRESOURCEW*>(buffer);
        *record = NETRESOURCEW{};
        record->dwScope = RESOURCE_CONNECTED;
        record->dwType = RESOURCETYPE_DISK;
        record->dwDisplayType = RESOURCEDISPLAYTYPE_SHARE;
        record->dwUsage = RESOURCEUSAGE_CONNECTABLE;
        auto* cursor = reinterpret_cast<wchar_t*>(record + 1);
        if (!c.localName.empty())
            record->lpLocalName = CopyOut(cursor, c.localName);
        if (c.hasRemoteName)
            record->lpRemoteName = CopyOut(cursor, c.remoteName);
        record->lpProvider = CopyOut(cursor, kProvider);
        ++enumeration->next;
        *count = 1;
        return NO_ERROR;
    }

    DWORD WNetCloseEnum(HANDLE enumHandle) override
    {
        auto guard = sim::WorldLock();
        if (!IsLive(enumHandle))
            return ERROR_INVALID_HANDLE;
        LiveHandles().erase(enumHandle);
        delete static_cast<SEnumeration*>(enumHandle);
        DWORD code = 0;
        return sim::InjectedFailure(L"WNetCloseEnum", nullptr, code) ? code : NO_ERROR;
    }

    DWORD WNetCancelConnectionW(LPCWSTR name, BOOL force) override
    {
        auto guard = sim::WorldLock();
        if (!name)
            return ERROR_INVALID_PARAMETER;
        DWORD code = 0;
        GuestPtr guest = sim::FindGuest(sim::HostOf(name));
        if (sim::InjectedFailure(L"WNetCancelConnectionW", guest.get(), code))
            return code;
        auto& session = sim::Session();
        for (auto it = session.begin(); it != session.end(); ++it) {
            bool byRemote = it->hasRemoteName && sim::EqualNoCase(it->remoteName, name);
            bool byLocal = !it->localName.empty() && sim::EqualNoCase(it->localName, name);
            if (!byRemote && !byLocal)
                continue;
            if (it->cancelError)
                return it->cancelError;
            session.erase(it);
            return NO_ERROR;
        }
        return ERROR_NOT_CONNECTED;
    }

    NET_API_STATUS NetShareGetInfo(LMSTR serverName, LMSTR netName, DWORD level,
                                   LPBYTE* buffer) override
    {
        auto guard = sim::WorldLock();
        GuestPtr guest = sim::FindGuest(serverName ? serverName : L"");
        DWORD code = 0;
        if (sim::InjectedFailure(L"NetShareGetInfo", guest.get(), code))
            return code;
        if (!buffer || !netName)
            return ERROR_INVALID_PARAMETER;
        if (!guest)
            return ERROR_BAD_NETPATH;
        std::wstring path;
        if (!ShareLocalPath(*guest, netName, path))
            return NERR_NetNameNotFound;
        if (level != 2)
            return ERROR_INVALID_LEVEL;
        std::wstring name = netName;
        std::wstring remark = sim::EqualNoCase(name, L"ADMIN$") ? L"Remote Admin" : L"";
        DWORD size = static_cast<DWORD>(sizeof(SHARE_INFO_2) +
                                        (name.size() + remark.size() + path.size() + 3) *
                                            sizeof(wchar_t));
        LPVOID memory = nullptr;
        if (NET_API_STATUS status = ::NetApiBufferAllocate(size, &memory))
            return status;
        auto* info = static_cast<SHARE_INFO_2*>(memory);
        *info = SHARE_INFO_2{};
        auto* cursor = reinterpret_cast<wchar_t*>(info + 1);
        info->shi2_netname = CopyOut(cursor, name);
        info->shi2_remark = CopyOut(cursor, remark);
        info->shi2_path = CopyOut(cursor, path);
        info->shi2_type = sim::EqualNoCase(name, L"IPC$") ? STYPE_IPC : STYPE_DISKTREE;
        info->shi2_type |= STYPE_SPECIAL;
        info->shi2_max_uses = static_cast<DWORD>(-1);
        *buffer = static_cast<LPBYTE>(memory);
        return NERR_Success;
    }

    NET_API_STATUS NetServerGetInfo(LMSTR serverName, DWORD level, LPBYTE* buffer) override
    {
        auto guard = sim::WorldLock();
        GuestPtr guest = sim::FindGuest(serverName ? serverName : L"");
        DWORD code = 0;
        if (sim::InjectedFailure(L"NetServerGetInfo", guest.get(), code))
            return code;
        return sim::ServerGetInfo(guest, serverName, level, buffer);
    }

    NET_API_STATUS NetApiBufferFree(LPVOID buffer) override { return ::NetApiBufferFree(buffer); }

    SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                             DWORD desiredAccess) override
    {
        auto guard = sim::WorldLock();
        GuestPtr guest = sim::FindGuest(machineName ? machineName : L"");
        if (FailsWithLastError(L"OpenSCManagerW", guest.get()))
            return nullptr;
        return sim::ScmOpenManager(guest, machineName, databaseName, desiredAccess);
    }
    SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                             DWORD desiredAccess, DWORD serviceType, DWORD startType,
                             DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                             LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                             LPCWSTR password) override
    {
        auto guard = sim::WorldLock();
        if (FailsWithLastError(L"CreateServiceW", sim::ScmHandleGuest(manager).get()))
            return nullptr;
        return sim::ScmCreateService(manager, serviceName, displayName, desiredAccess,
                                     serviceType, startType, errorControl, binaryPathName,
                                     loadOrderGroup, tagId, dependencies, serviceStartName,
                                     password);
    }
    SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) override
    {
        auto guard = sim::WorldLock();
        if (FailsWithLastError(L"OpenServiceW", sim::ScmHandleGuest(manager).get()))
            return nullptr;
        return sim::ScmOpenService(manager, serviceName, desiredAccess);
    }
    BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) override
    {
        auto guard = sim::WorldLock();
        if (FailsWithLastError(L"QueryServiceStatus", sim::ScmHandleGuest(service).get()))
            return FALSE;
        return sim::ScmQueryStatus(service, status);
    }
    BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) override
    {
        auto guard = sim::WorldLock();
        if (FailsWithLastError(L"StartServiceW", sim::ScmHandleGuest(service).get()))
            return FALSE;
        return sim::ScmStart(service, argc, argv);
    }
    BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) override
    {
        auto guard = sim::WorldLock();
        if (FailsWithLastError(L"ControlService", sim::ScmHandleGuest(service).get()))
            return FALSE;
        return sim::ScmControl(service, control, status);
    }
    BOOL DeleteService(SC_HANDLE service) override
    {
        auto guard = sim::WorldLock();
        if (FailsWithLastError(L"DeleteService", sim::ScmHandleGuest(service).get()))
            return FALSE;
        return sim::ScmDelete(service);
    }
    BOOL CloseServiceHandle(SC_HANDLE handle) override
    {
        auto guard = sim::WorldLock();
        // The handle is closed even when a failure is injected, so tests never leak it.
        GuestPtr guest = sim::ScmHandleGuest(handle);
        BOOL closed = sim::ScmClose(handle);
        if (closed && FailsWithLastError(L"CloseServiceHandle", guest.get()))
            return FALSE;
        return closed;
    }

    LSTATUS RegConnectRegistryW(LPCWSTR machineName, HKEY key, PHKEY result) override
    {
        auto guard = sim::WorldLock();
        GuestPtr guest = sim::FindGuest(machineName ? machineName : L"");
        DWORD code = 0;
        if (sim::InjectedFailure(L"RegConnectRegistryW", guest.get(), code))
            return static_cast<LSTATUS>(code);
        return sim::RegConnect(guest, machineName, key, result);
    }
    LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                          PHKEY result) override
    {
        auto guard = sim::WorldLock();
        DWORD code = 0;
        if (sim::InjectedFailure(L"RegOpenKeyExW", sim::RegKeyGuest(key).get(), code))
            return static_cast<LSTATUS>(code);
        return sim::RegOpenKey(key, subKey, options, desired, result);
    }
    LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) override
    {
        auto guard = sim::WorldLock();
        DWORD code = 0;
        if (sim::InjectedFailure(L"RegQueryValueExW", sim::RegKeyGuest(key).get(), code))
            return static_cast<LSTATUS>(code);
        return sim::RegQueryValue(key, valueName, reserved, type, data, dataSize);
    }
    LSTATUS RegCloseKey(HKEY key) override
    {
        auto guard = sim::WorldLock();
        GuestPtr guest = sim::RegKeyGuest(key);
        LSTATUS closed = sim::RegClose(key);
        DWORD code = 0;
        if (closed == ERROR_SUCCESS && sim::InjectedFailure(L"RegCloseKey", guest.get(), code))
            return static_cast<LSTATUS>(code);
        return closed;
    }

    RPC_STATUS RpcMgmtEpEltInqBegin(RPC_BINDING_HANDLE epBinding, unsigned long inquiryType,
                                    RPC_IF_ID* ifId, unsigned long versOption, UUID* objectUuid,
                                    RPC_EP_INQ_HANDLE* inquiryContext) override
    {
        auto guard = sim::WorldLock();
        if (!inquiryContext)
            return RPC_S_INVALID_ARG;
        *inquiryContext = nullptr;
        GuestPtr guest = sim::FindGuest(epBinding ? BindingHost(epBinding) : std::wstring());
        DWORD code = 0;
        if (sim::InjectedFailure(L"RpcMgmtEpEltInqBegin", guest.get(), code))
            return static_cast<RPC_STATUS>(code);
        if (!guest)
            return RPC_S_SERVER_UNAVAILABLE;
        if (guest->endpointMapStatus != RPC_S_OK)
            return guest->endpointMapStatus;
        bool byInterface = inquiryType == RPC_C_EP_MATCH_BY_IF || inquiryType == RPC_C_EP_MATCH_BY_BOTH;
        if (byInterface && !ifId)
            return RPC_S_INVALID_ARG;

        RPC_BINDING_HANDLE copy = nullptr;
        if (RPC_STATUS status = RpcBindingCopy(epBinding, &copy))
            return status;
        auto* inquiry = new SInquiry{nullptr, copy, {}, 0};
        std::vector<sim::SEndpoint> map = guest->endpoints;
        const std::vector<sim::SEndpoint> agents = sim::AgentEndpoints(*guest);
        map.insert(map.end(), agents.begin(), agents.end());
        for (const auto& element : map) {
            if (byInterface && (!UuidEqualNoStatus(element.ifId.Uuid, ifId->Uuid) ||
                                !VersionMatches(element.ifId, *ifId, versOption)))
                continue;
            inquiry->elements.push_back(element);
        }
        LiveHandles().insert(inquiry);
        *inquiryContext = reinterpret_cast<RPC_EP_INQ_HANDLE>(inquiry);
        return RPC_S_OK;
    }

    RPC_STATUS RpcMgmtEpEltInqNextW(RPC_EP_INQ_HANDLE inquiryContext, RPC_IF_ID* ifId,
                                    RPC_BINDING_HANDLE* binding, UUID* objectUuid,
                                    RPC_WSTR* annotation) override
    {
        auto guard = sim::WorldLock();
        DWORD code = 0;
        if (sim::InjectedFailure(L"RpcMgmtEpEltInqNextW", nullptr, code))
            return static_cast<RPC_STATUS>(code);
        if (!IsLive(inquiryContext))
            return RPC_S_INVALID_ARG;
        auto* inquiry = reinterpret_cast<SInquiry*>(inquiryContext);
        if (inquiry->next >= inquiry->elements.size())
            return RPC_X_NO_MORE_ENTRIES;
        const sim::SEndpoint& element = inquiry->elements[inquiry->next++];
        if (ifId)
            *ifId = element.ifId;
        if (objectUuid)
            *objectUuid = GUID{};
        if (binding) {
            std::wstring text = element.binding;
            if (RPC_STATUS status = RpcBindingFromStringBindingW(
                    reinterpret_cast<RPC_WSTR>(&text[0]), binding))
                return status;
        }
        if (annotation) {
            // The runtime frees its strings from the process heap (RpcStringFreeW).
            size_t bytes = (element.annotation.size() + 1) * sizeof(wchar_t);
            auto* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, bytes));
            memcpy(copy, element.annotation.c_str(), bytes);
            *annotation = reinterpret_cast<RPC_WSTR>(copy);
        }
        return RPC_S_OK;
    }

    RPC_STATUS RpcMgmtEpEltInqDone(RPC_EP_INQ_HANDLE* inquiryContext) override
    {
        auto guard = sim::WorldLock();
        if (!inquiryContext || !IsLive(*inquiryContext))
            return RPC_S_INVALID_ARG;
        auto* inquiry = reinterpret_cast<SInquiry*>(*inquiryContext);
        LiveHandles().erase(inquiry);
        RpcBindingFree(&inquiry->binding);
        delete inquiry;
        *inquiryContext = nullptr;
        return RPC_S_OK;
    }

private:
    static bool UuidEqualNoStatus(const UUID& a, const UUID& b) { return IsEqualGUID(a, b) != 0; }

    // Handle-returning calls report failures through the last error.
    static bool FailsWithLastError(const wchar_t* call, const sim::SGuest* guest)
    {
        DWORD code = 0;
        if (!sim::InjectedFailure(call, guest, code))
            return false;
        SetLastError(code);
        return true;
    }
};

}  // namespace

namespace remote {

IPlatform& Platform()
{
    static CSimPlatform* platform = new CSimPlatform;   // usable until the process ends
    return *platform;
}

}  // namespace remote
