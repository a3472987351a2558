// Simulated guests behind the platform seam, for the test DLL and the unit tests.
//
// The guests are described by a text file named in the environment variable NIMBO_SIM_GUESTS
// (a Linux path or a Windows path). The file is read again whenever its time stamp or size
// changes, so a script may change a guest between two steps. The format is documented in
// docs/SimulatedGuests.md. The state that the calls change (the logon session's connection
// list, open handles, call counters of injected failures) lives in this process only.
//
// Every function here takes the simulation's lock itself; callers that need several calls to
// see one consistent state hold WorldLock() around them (the lock is re-entrant).
#pragma once

#include <windows.h>
#include <rpc.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct SAccount {
    std::wstring domain;    // empty: the account is matched by its user name alone
    std::wstring user;
    std::wstring password;
};

// One registry value of the guest, below HKEY_LOCAL_MACHINE. The data is kept as written in
// the description, so values of the wrong type or shape can be served on purpose.
struct SRegValue {
    std::wstring key;       // e.g. SYSTEM\CurrentControlSet\Control\Session Manager\Environment
    std::wstring name;
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
};

// A service known to the guest's service control manager when the description is read.
// fields holds every "|"-separated part of the line, the name and the state included, for
// settings that the service simulation reads itself.
struct SService {
    std::wstring name;
    DWORD state = SERVICE_STOPPED;   // 1 stopped, 2 start pending, 3 stop pending, 4 running
    std::vector<std::wstring> fields;
};

// One element of the guest's endpoint map.
struct SEndpoint {
    RPC_IF_ID ifId = {};
    std::wstring binding;      // string binding, e.g. ncacn_ip_tcp:127.0.0.1[5000]
    std::wstring annotation;
};

struct SGuest {
    std::wstring section;                  // the name in the [guest <name>] header
    std::vector<std::wstring> names;       // the full name first, then any aliases
    std::wstring shortName;                // the full name up to its first dot
    std::wstring adminFolder;              // Linux path of the folder behind ADMIN$
    std::wstring shareLocalPath = L"C:\\Windows";
    std::vector<SAccount> accounts;
    bool acceptDefaultCredentials = false; // a connection without login and password

    // Server information (level 101).
    DWORD platformId = 500;
    DWORD versionMajor = 6;
    DWORD versionMinor = 0;
    DWORD serverType = 0x1003;             // workstation, server, NT
    std::wstring comment;

    std::vector<SRegValue> registry;
    std::vector<SService> services;

    // Endpoint map: 0 when the guest answers inquiries, otherwise the status every inquiry
    // fails with: by default what Wine's own runtime answers, unless the guest has endpoints
    // or an admin share (agents may run there). The map holds the endpoint lines and what the
    // guest's running agents registered (SimScm).
    RPC_STATUS endpointMapStatus = RPC_S_INVALID_BINDING;
    bool endpointMapGiven = false;
    std::vector<SEndpoint> endpoints;

    // Every key of the section as written, in order, for settings read elsewhere.
    std::vector<std::pair<std::wstring, std::wstring>> entries;

    // True when name (any number of leading backslashes allowed) is one of the guest's names
    // or its short name, ignoring case.
    bool Answers(const std::wstring& name) const;
    // The values of key in the section, in order.
    std::vector<std::wstring> Values(const std::wstring& key) const;
};

using GuestPtr = std::shared_ptr<const SGuest>;

// One connection of the administration host's logon session.
struct SConnection {
    bool hasRemoteName = true;
    std::wstring remoteName;     // \\host\share
    std::wstring localName;      // drive letter, or empty
    std::wstring user;           // domain\user as given, empty for the session's defaults
    DWORD cancelError = 0;       // WNetCancelConnectionW fails with this code when non-zero
    // How the call that made the connection passed the account: a null pointer means the
    // session's defaults, unlike an empty string.
    bool userWasNull = false;
    bool passwordWasNull = false;
};

std::unique_lock<std::recursive_mutex> WorldLock();

// Re-reads the description if it changed; true when a description is loaded.
bool Refresh();
// Counts re-reads: state derived from the description is stale when this changed.
unsigned Generation();

// The guest that answers to a host name (leading backslashes allowed), or null.
GuestPtr FindGuest(const std::wstring& host);
std::vector<GuestPtr> Guests();

// An injected failure for call (the Windows function name) aimed at guest (may be null):
// true with the code when the call must fail now. Counts the call.
bool InjectedFailure(const wchar_t* call, const SGuest* guest, DWORD& code);

// The logon session's connections, in the order they were made.
std::vector<SConnection>& Session();

// Makes \\<name>\ADMIN$ of every name of the guest reach its admin folder through Wine's UNC
// mapping. Does nothing for a guest without an admin folder.
void MapAdminShare(const SGuest& guest);

// Helpers shared by the simulation's parts.
bool EqualNoCase(const std::wstring& a, const std::wstring& b);
std::wstring HostOf(const std::wstring& uncName);   // "\\host\share" -> "host"; "" if malformed
std::wstring StripBackslashes(const std::wstring& name);
// s without the leading and trailing characters that are in chars.
std::wstring Trim(const std::wstring& s, const wchar_t* chars = L" \t\r\n");
// A Linux path ("/tmp/x") as Wine's Z: drive shows it; other paths unchanged.
std::wstring WindowsPath(const std::wstring& path);
// A UTF-8 file's text, read while others may write to it; empty when it cannot be read.
std::wstring ReadUtf8File(const std::wstring& path);

}  // namespace sim
