#include "foundation/AgentVersion.h"

#include <cstring>
#include <cwchar>
#include <vector>
#include "foundation/Exc.h"
#include "foundation/ModuleInstance.h"

namespace util
{
namespace
{
unsigned long long Key(const SNimboAgentVersion& v) noexcept
{
    return (static_cast<unsigned long long>(v.m_Major) << 48) | (static_cast<unsigned long long>(v.m_Minor) << 32) |
           (static_cast<unsigned long long>(v.m_Revision) << 16) | v.m_Build;
}
}

SNimboAgentVersion::SNimboAgentVersion(const VS_FIXEDFILEINFO& info) noexcept
    : m_Major(HIWORD(info.dwFileVersionMS)), m_Minor(LOWORD(info.dwFileVersionMS)),
      m_Revision(HIWORD(info.dwFileVersionLS)), m_Build(LOWORD(info.dwFileVersionLS))
{
}

SNimboAgentVersion::SNimboAgentVersion(const std::wstring& text)
{
    unsigned short* const parts[] = {&m_Major, &m_Minor, &m_Revision, &m_Build};
    const wchar_t* p = text.c_str();
    for (size_t i = 0; i < 4; ++i)
    {
        if (i > 0)
        {
            if (*p != L'.')
                throw CExc(L"Cannot unserialize a version string. Specified string: [%1].", text, E_FAIL);
            ++p;
        }
        wchar_t* end = nullptr;
        unsigned long value = wcstoul(p, &end, 10);
        if (end == p)
            throw CExc(L"Cannot unserialize a version string. Specified string: [%1].", text, E_FAIL);
        *parts[i] = static_cast<unsigned short>(value & 0xFFFFu);
        p = end;
    }
}

std::wstring SNimboAgentVersion::ToText() const
{
    return std::to_wstring(m_Major) + L"." + std::to_wstring(m_Minor) + L"." + std::to_wstring(m_Revision) + L"." +
           std::to_wstring(m_Build);
}

bool operator==(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept { return Key(a) == Key(b); }
bool operator!=(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept { return Key(a) != Key(b); }
bool operator<(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept { return Key(a) < Key(b); }
bool operator>(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept { return Key(a) > Key(b); }
bool operator<=(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept { return Key(a) <= Key(b); }
bool operator>=(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept { return Key(a) >= Key(b); }

VS_FIXEDFILEINFO GetFileVersion(const std::wstring& path)
{
    try
    {
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        if (size == 0)
            throw CWin32Exc(L"Cannot obtain the size of the VERSION_INFO structure.", GetLastError());
        std::vector<BYTE> buffer(size);
        if (GetFileVersionInfoW(path.c_str(), 0, size, buffer.data()) != TRUE)
            throw CWin32Exc(L"Cannot retrieve raw version information.", GetLastError());
        void* fixed = nullptr;
        UINT length = 0;
        if (VerQueryValueW(buffer.data(), L"\\", &fixed, &length) != TRUE || length == 0)
            throw CWin32Exc(L"Cannot retrieve a pointer to the VS_FIXEDFILEINFO structure.", GetLastError());
        VS_FIXEDFILEINFO info{};
        memcpy(&info, fixed, length < sizeof(info) ? length : sizeof(info));
        return info;
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot get file version. File path: [%1].", path);
        throw;
    }
}

SNimboAgentVersion GetModuleVersion()
{
    return SNimboAgentVersion(GetFileVersion(GetModuleFilePath()));
}
}
