// The administrative share connection.
#include "remote/AdminShareConnection.h"

#include "foundation/Convert.h"
#include "foundation/Exc.h"
#include "foundation/Handle.h"
#include "remote/PlatformSeam.h"

#include <exception>

namespace
{
DWORD CloseNetEnum(HANDLE enumHandle)
{
    return remote::Platform().WNetCloseEnum(enumHandle);
}

NET_API_STATUS FreeNetApiBuffer(LPBYTE buffer)
{
    return remote::Platform().NetApiBufferFree(buffer);
}

using CNetEnumHandle = util::CUniqueAny<HANDLE, &CloseNetEnum>;
using CNetApiBuffer = util::CUniqueAny<LPBYTE, &FreeNetApiBuffer>;

// Every line written while connecting is one level deeper; taken back on every way out.
class CIndentGuard
{
public:
    explicit CIndentGuard(util::CLog& log) : m_log(log) { m_log.Indent(1); }
    ~CIndentGuard() { m_log.Indent(-1); }
    CIndentGuard(const CIndentGuard&) = delete;
    CIndentGuard& operator=(const CIndentGuard&) = delete;

private:
    util::CLog& m_log;
};

LPCWSTR NullIfEmpty(const std::wstring& s)
{
    return s.empty() ? nullptr : s.c_str();
}
}

CAdminShareConnection::CAdminShareConnection(const std::wstring& remoteName, const std::wstring& login,
                                             const std::wstring& password, std::shared_ptr<util::CLog> log)
    : m_remoteName(remoteName), m_login(login), m_password(password), m_log(std::move(log))
{
    Connect();
}

CAdminShareConnection::~CAdminShareConnection()
{
    if (!m_connected)
        return;
    try
    {
        Disconnect();
    }
    catch (const CExc& e)
    {
        // The connection stays in the logon session. The caller's Disconnect or release
        // succeeds all the same, so the log is the only place that can tell why.
        try
        {
            m_log->Warning(e);
        }
        catch (const std::exception&)
        {
        }
    }
    catch (const std::exception&)
    {
    }
}

std::wstring CAdminShareConnection::GetHost() const
{
    std::wstring host, shortHost, share;
    ParseConnectionName(m_remoteName, ParseStrict, host, shortHost, share);
    return host;
}

void CAdminShareConnection::GetCredentials(std::wstring& domain, std::wstring& user,
                                           std::wstring& password) const
{
    const size_t slash = m_login.find(L'\\');
    if (slash != std::wstring::npos)
    {
        domain = m_login.substr(0, slash);
        user = m_login.substr(slash + 1);
    }
    else
    {
        domain = GetHost();
        user = m_login;
    }
    password = m_password;
}

std::wstring CAdminShareConnection::GetShareLocalPath() const
{
    try
    {
        std::wstring host, shortHost, share;
        ParseConnectionName(m_remoteName, ParseStrict, host, shortHost, share);
        CNetApiBuffer buffer;
        const NET_API_STATUS status = remote::Platform().NetShareGetInfo(&host[0], &share[0], 2, buffer.put());
        if (status != NERR_Success)
            throw CWin32Exc(status);
        const auto* info = reinterpret_cast<const SHARE_INFO_2*>(buffer.get());
        return info->shi2_path ? std::wstring(info->shi2_path) : std::wstring();
    }
    catch (CExc& e)
    {
        e.AddMessage(108, m_remoteName);
        throw;
    }
}

void CAdminShareConnection::ParseConnectionName(const std::wstring& name, EParseMode mode, std::wstring& host,
                                                std::wstring& shortHost, std::wstring& share)
{
    if (name.size() < 2)
    {
        if (mode == ParseTolerant)
            return;
        throw CExc(MsgText(103, name), E_INVALIDARG);
    }
    share.clear();
    // The first two characters are taken to be the leading backslashes.
    const std::wstring rest = name.substr(2);
    const size_t slash = rest.find(L'\\');
    if (slash != std::wstring::npos)
    {
        host = rest.substr(0, slash);
        share = rest.substr(slash + 1);
    }
    else if (mode == ParseStrict)
    {
        throw CExc(MsgText(103, name), E_INVALIDARG);
    }
    shortHost = host.substr(0, host.find(L'.'));
}

void CAdminShareConnection::Connect()
{
    CIndentGuard indent(*m_log);

    std::wstring remoteName = m_remoteName;
    NETRESOURCEW resource = {};
    resource.dwType = RESOURCETYPE_ANY;
    resource.lpRemoteName = &remoteName[0];

    DWORD result = remote::Platform().WNetAddConnection2W(&resource, NullIfEmpty(m_password),
                                                          NullIfEmpty(m_login), 0);
    if (result == NO_ERROR)
    {
        m_connected = true;
        return;
    }
    if (result == ERROR_DEVICE_ALREADY_REMEMBERED)
    {
        // Somebody else's connection: used, never cancelled by this object.
        m_log->Trace(116, m_remoteName);
        return;
    }
    if (result == ERROR_SESSION_CREDENTIAL_CONFLICT)
    {
        m_log->Warning(117);
        DestroyExistingConnections();
        // The retry passes empty strings as they are: the defaults were what conflicted.
        result = remote::Platform().WNetAddConnection2W(&resource, m_password.c_str(), m_login.c_str(), 0);
        if (result == NO_ERROR)
        {
            m_connected = true;
            return;
        }
    }
    throw CWin32Exc(result);
}

void CAdminShareConnection::Disconnect()
{
    if (!m_connected)
        return;
    util::CInfoScope scope(*m_log, 120, m_remoteName);
    const DWORD result = remote::Platform().WNetCancelConnectionW(m_remoteName.c_str(), TRUE);
    if (result != NO_ERROR)
        throw CWin32Exc(107, m_remoteName, result);
    m_connected = false;
    scope.Ok();
}

void CAdminShareConnection::DestroyExistingConnections()
{
    try
    {
        std::wstring host, shortHost, share;
        ParseConnectionName(m_remoteName, ParseStrict, host, shortHost, share);
        CancelConnections(EnumerateConnections(host, shortHost));
    }
    catch (CExc& e)
    {
        e.AddMessage(102, m_remoteName);
        throw;
    }
}

std::vector<std::wstring> CAdminShareConnection::EnumerateConnections(const std::wstring& host,
                                                                      const std::wstring& shortHost)
{
    try
    {
        std::vector<std::wstring> names;
        remote::IPlatform& platform = remote::Platform();
        CNetEnumHandle enumeration;
        // Every kind of connected resource: a conflicting IPC$ or printer connection counts too.
        DWORD result = platform.WNetOpenEnumW(RESOURCE_CONNECTED, RESOURCETYPE_ANY, 0x13, nullptr,
                                              enumeration.put());
        if (result != NO_ERROR)
            throw CWin32Exc(104, result);

        std::vector<BYTE> buffer;
        for (;;)
        {
            DWORD count = 1;
            DWORD size = 0;
            platform.WNetEnumResourceW(enumeration.get(), &count, nullptr, &size);
            buffer.assign(size < sizeof(NETRESOURCEW) ? sizeof(NETRESOURCEW) : size, 0);
            size = static_cast<DWORD>(buffer.size());
            count = 1;
            result = platform.WNetEnumResourceW(enumeration.get(), &count, buffer.data(), &size);
            if (result == ERROR_NO_MORE_ITEMS)
                break;
            if (result != NO_ERROR)
                throw CWin32Exc(105, result);

            const auto* entry = reinterpret_cast<const NETRESOURCEW*>(buffer.data());
            if (!entry->lpRemoteName)
                continue;
            const std::wstring entryName = entry->lpRemoteName;
            m_log->Trace(118, entryName);
            std::wstring entryHost, entryShortHost, entryShare;
            ParseConnectionName(entryName, ParseTolerant, entryHost, entryShortHost, entryShare);
            if (util::EqualNoCase(entryHost, host) || util::EqualNoCase(entryShortHost, shortHost))
                names.push_back(entryName);
        }
        return names;
    }
    catch (CExc& e)
    {
        e.AddMessage(106, host);
        throw;
    }
}

void CAdminShareConnection::CancelConnections(const std::vector<std::wstring>& names)
{
    for (const auto& name : names)
    {
        const DWORD result = remote::Platform().WNetCancelConnectionW(name.c_str(), TRUE);
        if (result != NO_ERROR)
            throw CWin32Exc(107, name, result);
        m_log->Warning(119, name);
    }
}
