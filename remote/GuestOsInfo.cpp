#include "remote/GuestOsInfo.h"

#include <lm.h>

#include "foundation/Convert.h"
#include "foundation/Exc.h"
#include "foundation/Handle.h"
#include "remote/AdminShareConnection.h"
#include "remote/PlatformSeam.h"

namespace remote
{
namespace
{
// Registry keys and server information buffers of a guest are released through the seam,
// like everything else that came from it.
void CloseGuestKey(HKEY key) noexcept
{
    Platform().RegCloseKey(key);
}
void FreeNetBuffer(LPBYTE buffer) noexcept
{
    Platform().NetApiBufferFree(buffer);
}
using CGuestKey = util::CUniqueAny<HKEY, &CloseGuestKey>;
using CNetBuffer = util::CUniqueAny<LPBYTE, &FreeNetBuffer>;

const wchar_t kEnvironmentKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const wchar_t kArchitecture[] = L"PROCESSOR_ARCHITECTURE";
const wchar_t kWow64Architecture[] = L"PROCESSOR_ARCHITEW6432";

// Room for a value, in UTF-16 units, the terminating zero included.
constexpr DWORD kValueUnits = 100;

const DWORD kServerTypeBits = SV_TYPE_SERVER_NT | SV_TYPE_DOMAIN_CTRL | SV_TYPE_DOMAIN_BAKCTRL;

// Reads a string value into `value`; the result is 0 or a Win32 code. Only a zero-terminated
// REG_SZ or REG_EXPAND_SZ of whole UTF-16 units that fits into the buffer is accepted.
LSTATUS ReadStringValue(HKEY key, const wchar_t* name, std::wstring& value)
{
    value.clear();
    wchar_t buffer[kValueUnits] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof(buffer);
    const LSTATUS rc = Platform().RegQueryValueExW(key, name, nullptr, &type,
                                                   reinterpret_cast<LPBYTE>(buffer), &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || size % sizeof(wchar_t) != 0 ||
        size > sizeof(buffer) || buffer[size / sizeof(wchar_t) - 1] != L'\0')
        return ERROR_INVALID_DATA;
    value = buffer;
    return ERROR_SUCCESS;
}

bool EqualsAsciiNoCase(const std::wstring& a, const wchar_t* b)
{
    auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c; };
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
    {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return i == a.size() && !b[i];
}

enum class ERole { Any, Server, Workstation, Workstation64 };

struct SOsRow
{
    WORD major;
    int minor;  // -1: any
    ERole role;
    ENimboOsType type;
    const wchar_t* name;
};

// First matching row wins; a version found in no row is "other" and is not logged by name.
const SOsRow kOsTable[] = {
    {4, -1, ERole::Any, ENimboOsNT, L"NT"},
    {5, 0, ERole::Any, ENimboOs2000, L"Windows 2000"},
    {5, 1, ERole::Any, ENimboOsXP, L"Windows XP"},
    {5, 2, ERole::Workstation64, ENimboOsXP, L"Windows XP x64"},
    {5, 2, ERole::Any, ENimboOs2003, L"Windows 2003 Server"},
    {6, 0, ERole::Server, ENimboOsLonghorn, L"Longhorn"},
    {6, 0, ERole::Workstation, ENimboOsVista, L"Vista"},
};

bool RoleMatches(ERole role, bool server, ENimboOsPlatform platform)
{
    switch (role)
    {
    case ERole::Any: return true;
    case ERole::Server: return server;
    case ERole::Workstation: return !server;
    case ERole::Workstation64: return !server && platform != ENimboX86;
    }
    return false;
}
}  // namespace

const wchar_t* PlatformName(ENimboOsPlatform platform) noexcept
{
    switch (platform)
    {
    case ENimboX86: return L"X86";
    case ENimboAmd64: return L"AMD64";
    case ENimboIA64: return L"IA64";
    default: return L"UNDEFINED";
    }
}

ENimboOsPlatform PlatformFromArchitecture(const std::wstring& architecture,
                                          const std::wstring& wow64Architecture) noexcept
{
    if (EqualsAsciiNoCase(architecture, L"x86"))
    {
        if (EqualsAsciiNoCase(wow64Architecture, L"AMD64"))
            return ENimboAmd64;
        if (EqualsAsciiNoCase(wow64Architecture, L"IA64"))
            return ENimboIA64;
        return ENimboX86;
    }
    if (EqualsAsciiNoCase(architecture, L"IA64"))
        return ENimboIA64;
    if (EqualsAsciiNoCase(architecture, L"AMD64"))
        return ENimboAmd64;
    return ENimboPlatformOther;
}

CGuestOsInfo::CGuestOsInfo(std::shared_ptr<util::CLog> log)
    : m_log(std::move(log))
{
}

void CGuestOsInfo::Collect(const std::shared_ptr<CAdminShareConnection>& connection)
{
    CollectFromHost(connection->GetHost());
}

void CGuestOsInfo::CollectFromHost(const std::wstring& host)
{
    try
    {
        ReadServerInfo(host);
        // Systems before 5 run only on x86 here, and their registry has nothing to tell.
        if (m_major < 5)
            m_platform = ENimboX86;
        else
            ReadPlatform(host);
        Classify();
    }
    catch (CExc& e)
    {
        e.AddMessage(134);
        throw;
    }
}

void CGuestOsInfo::ReadServerInfo(const std::wstring& host)
{
    std::wstring server = host;  // the call takes a non-const string
    CNetBuffer buffer;
    const NET_API_STATUS rc = Platform().NetServerGetInfo(&server[0], 101, buffer.put());
    if (rc != NERR_Success)
        throw CWin32Exc(136, rc);

    const auto* info = reinterpret_cast<const SERVER_INFO_101*>(buffer.get());
    // The high bits of the major version carry flags, not the version.
    m_major = static_cast<WORD>(info->sv101_version_major & 0x0F);
    m_minor = static_cast<WORD>(info->sv101_version_minor & 0xFFFF);
    const DWORD type = info->sv101_type;

    m_log->Info(L"sv101_type: [%1]", util::ToHex(type));
    m_server = (type & kServerTypeBits) != 0;
    m_log->Info(m_server ? 143 : 144);
    m_log->Info(142, util::ToDecimal(m_major), util::ToDecimal(m_minor));
}

void CGuestOsInfo::ReadPlatform(const std::wstring& host)
{
    util::CTraceScope scope(*m_log, 140);

    CGuestKey machineKey;
    LSTATUS rc = Platform().RegConnectRegistryW(host.c_str(), HKEY_LOCAL_MACHINE, machineKey.put());
    if (rc != ERROR_SUCCESS)
        throw CWin32Exc(137, rc);

    // Declared after the machine key, so it is closed first.
    CGuestKey environmentKey;
    rc = Platform().RegOpenKeyExW(machineKey.get(), kEnvironmentKey, 0, KEY_READ,
                                  environmentKey.put());
    if (rc != ERROR_SUCCESS)
        throw CWin32Exc(138, rc);

    std::wstring architecture;
    rc = ReadStringValue(environmentKey.get(), kArchitecture, architecture);
    if (rc != ERROR_SUCCESS)
        throw CWin32Exc(139, kArchitecture, rc);
    m_log->Trace(L"PROCESSOR_ARCHITECTURE: [%1]", architecture);

    std::wstring wow64Architecture;
    if (EqualsAsciiNoCase(architecture, L"x86"))
    {
        // Present only when a 32-bit view looks at a 64-bit system; its absence is normal.
        ReadStringValue(environmentKey.get(), kWow64Architecture, wow64Architecture);
        m_log->Trace(L"PROCESSOR_ARCHITEW6432: [%1]", wow64Architecture);
    }
    m_platform = PlatformFromArchitecture(architecture, wow64Architecture);
    m_log->Info(141, PlatformName(m_platform));

    environmentKey.reset();
    machineKey.reset();
    scope.Ok();
}

void CGuestOsInfo::Classify()
{
    for (const SOsRow& row : kOsTable)
    {
        if (row.major == m_major && (row.minor < 0 || row.minor == m_minor) &&
            RoleMatches(row.role, m_server, m_platform))
        {
            m_osType = row.type;
            m_log->Info(145, row.name);
            return;
        }
    }
    m_osType = ENimboOsOther;
}
}
