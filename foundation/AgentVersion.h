#pragma once
// Version of an agent: four 16-bit parts, text form "major.minor.revision.build".
// The layout is that of the type library's record of the same name (four unsigned shorts in
// this order), so values are exchanged with COM callers field by field or with ToRecord().

#include <windows.h>
#include <string>

namespace util
{
struct SNimboAgentVersion
{
    unsigned short m_Major = 0;
    unsigned short m_Minor = 0;
    unsigned short m_Revision = 0;
    unsigned short m_Build = 0;

    SNimboAgentVersion() noexcept = default;
    SNimboAgentVersion(unsigned short major, unsigned short minor, unsigned short revision,
                       unsigned short build) noexcept
        : m_Major(major), m_Minor(minor), m_Revision(revision), m_Build(build)
    {
    }
    // The file version words of a version resource.
    explicit SNimboAgentVersion(const VS_FIXEDFILEINFO& info) noexcept;
    // Parses exactly four dotted decimal parts (anything after the fourth is ignored); throws
    // CExc "Cannot unserialize a version string. ..." with E_FAIL.
    explicit SNimboAgentVersion(const std::wstring& text);

    // From and to the type library's record (any struct with the same four fields).
    template <class Record, class = decltype(Record::m_Major)>
    static SNimboAgentVersion FromRecord(const Record& r) noexcept
    {
        return SNimboAgentVersion(r.m_Major, r.m_Minor, r.m_Revision, r.m_Build);
    }
    template <class Record>
    Record ToRecord() const noexcept
    {
        Record r{};
        r.m_Major = m_Major;
        r.m_Minor = m_Minor;
        r.m_Revision = m_Revision;
        r.m_Build = m_Build;
        return r;
    }

    // "5.0.0.123": always all four parts.
    std::wstring ToText() const;
};

// The order of versions: major first, then minor, revision, build.
bool operator==(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept;
bool operator!=(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept;
bool operator<(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept;
bool operator>(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept;
bool operator<=(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept;
bool operator>=(const SNimboAgentVersion& a, const SNimboAgentVersion& b) noexcept;

// The fixed part of a file's version resource. Throws CWin32Exc, with
// "Cannot get file version. File path: [<path>]." in front.
VS_FIXEDFILEINFO GetFileVersion(const std::wstring& path);

// Version of the library's own module (DLL or test program), from its version resource.
SNimboAgentVersion GetModuleVersion();
}
