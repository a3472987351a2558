#include "deploy/AgentInstallPolicy.h"

namespace install
{
const wchar_t* GetOsTypeName(ENimboOsType osType) noexcept
{
    switch (static_cast<int>(osType))
    {
    case ENimboOsNT: return L"NT";
    case ENimboOs2000: return L"Windows 2000";
    case ENimboOsXP: return L"Windows XP";
    case ENimboOs2003: return L"Windows 2003 Server";
    case ENimboOsVista: return L"Vista";
    case ENimboOsLonghorn: return L"Longhorn";
    default: return L"Unspecified";
    }
}

const wchar_t* GetPlatformName(ENimboOsPlatform platform) noexcept
{
    switch (static_cast<int>(platform))
    {
    case ENimboX86: return L"X86";
    case ENimboAmd64: return L"AMD64";
    case ENimboIA64: return L"IA64";
    default: return L"Unspecified";
    }
}
}
