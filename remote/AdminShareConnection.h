#pragma once
// An authenticated connection from this host to the administrative share of a guest
// ("\\host\ADMIN$"), made with the account the caller gave. Constructing the object connects;
// the last release cancels the connection again if this object made it. It is also the one
// place that keeps the guest's name and the account.
//
//   auto share = std::make_shared<CAdminShareConnection>(L"\\\\vm1\\ADMIN$", L"DOM\\admin", pwd, log);
//   std::wstring host = share->GetHost();             // "vm1"
//   std::wstring windows = share->GetShareLocalPath(); // "C:\Windows" on the guest
//
// Connections belong to the logon session of the process: repairing a credential conflict
// cancels every connection of the session to the same server, also those of other objects.

#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Log.h"

class CAdminShareConnection
{
public:
    enum EParseMode
    {
        ParseStrict,    // a malformed name raises E_INVALIDARG with message 103
        ParseTolerant,  // a malformed name leaves the outputs as they were
    };

    // Connects at once; a failed connect leaves the constructor with the exception. An empty
    // login or password means the session's defaults.
    CAdminShareConnection(const std::wstring& remoteName, const std::wstring& login,
                          const std::wstring& password, std::shared_ptr<util::CLog> log);
    // Cancels the connection if this object made it; an error doing so is dropped.
    ~CAdminShareConnection();

    CAdminShareConnection(const CAdminShareConnection&) = delete;
    CAdminShareConnection& operator=(const CAdminShareConnection&) = delete;

    std::wstring GetRemoteName() const { return m_remoteName; }
    // The full host name of the remote name.
    std::wstring GetHost() const;
    std::wstring GetLogin() const { return m_login; }
    std::wstring GetPassword() const { return m_password; }
    // The account in parts: "domain\user" splits at the first backslash; a bare user name
    // gets the host as its domain.
    void GetCredentials(std::wstring& domain, std::wstring& user, std::wstring& password) const;
    // The folder behind the share as the guest sees it (for ADMIN$ its Windows folder).
    std::wstring GetShareLocalPath() const;

    // True while this object holds a connection that it made itself.
    bool IsConnected() const noexcept { return m_connected; }

    // "\\host.domain\share" gives host "host.domain", short host "host", share "share".
    static void ParseConnectionName(const std::wstring& name, EParseMode mode, std::wstring& host,
                                    std::wstring& shortHost, std::wstring& share);

private:
    void Connect();
    void Disconnect();
    void DestroyExistingConnections();
    std::vector<std::wstring> EnumerateConnections(const std::wstring& host,
                                                   const std::wstring& shortHost);
    void CancelConnections(const std::vector<std::wstring>& names);

    bool m_connected = false;
    std::wstring m_remoteName;
    std::wstring m_login;
    std::wstring m_password;
    std::shared_ptr<util::CLog> m_log;
};
