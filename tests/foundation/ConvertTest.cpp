// Number, GUID and code page conversions, agent versions and file versions.
#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/AgentVersion.h"
#include "foundation/Convert.h"
#include "foundation/Exc.h"
#include "foundation/Handle.h"
#include "foundation/ModuleInstance.h"
#include "module/Version.h"
#include "tests/foundation/FilesTestSupport.h"

using namespace filestest;
using util::SNimboAgentVersion;

namespace
{
TEST(Convert, WideToAnsiConvertsShortAndLongTexts)
{
    EXPECT_EQ("", util::WideToAnsi(L""));
    EXPECT_EQ("Code: 5\r\n", util::WideToAnsi(L"Code: 5\r\n"));
    // Past 32 characters the first buffer no longer fits on the stack.
    const std::string longText(5000, 'x');
    EXPECT_EQ(longText, util::WideToAnsi(std::wstring(5000, L'x')));
    // Embedded zeros are kept; only the terminating one is dropped.
    EXPECT_EQ(std::string("a\0b", 3), util::WideToAnsi(std::wstring(L"a\0b", 3)));
}

// Four dotted parts, each read like wcstol and kept to 16 bits; anything else is refused.
TEST(AgentVersion, ParsesFourDottedPartsAndRefusesOtherTexts)
{
    const struct { const wchar_t* text; const wchar_t* parsed; } cases[] = {
        {L"5.0.0.123", L"5.0.0.123"}, {L"1.2.3.4.5", L"1.2.3.4"}, {L"1.2.3.4abc", L"1.2.3.4"}, {L"70000.1.2.3", L"4464.1.2.3"},
        {L" 1. 2.+3.4", L"1.2.3.4"}, {L"65535.65535.65535.65535", L"65535.65535.65535.65535"},
        {L"", nullptr}, {L"1.2.3", nullptr}, {L"1..2.3", nullptr}, {L"1.2.3.", nullptr}, {L"a.b.c.d", nullptr},
        {L"1,2,3,4", nullptr}, {L".1.2.3.4", nullptr}};
    EXPECT_EQ(L"0.0.0.0", SNimboAgentVersion().ToText());
    for (const auto& c : cases)
    {
        if (c.parsed)
        {
            EXPECT_EQ(c.parsed, SNimboAgentVersion(std::wstring(c.text)).ToText()) << c.text;
            continue;
        }
        CExc e = Raised([&] { SNimboAgentVersion{std::wstring(c.text)}; });
        EXPECT_EQ(E_FAIL, e.GetHResult()) << c.text;
        EXPECT_EQ(L"Cannot unserialize a version string. Specified string: [" + std::wstring(c.text) + L"].", e.GetFullText());
    }
}

TEST(AgentVersion, ComparesMajorFirst)
{
    const struct { SNimboAgentVersion a, b; int order; } cases[] = {  // order: the sign of a - b
        {{1, 2, 3, 4}, {1, 2, 3, 4}, 0}, {{1, 2, 3, 4}, {1, 2, 3, 5}, -1}, {{1, 2, 4, 0}, {1, 2, 3, 9}, 1},
        {{1, 3, 0, 0}, {1, 2, 9, 9}, 1}, {{2, 0, 0, 0}, {1, 9, 9, 9}, 1}, {{1, 0, 0, 256}, {1, 0, 0, 255}, 1},
        {{0, 300, 0, 0}, {1, 0, 0, 0}, -1}};
    for (const auto& c : cases)
    {
        const int order[] = {c.a == c.b, c.a != c.b, c.a < c.b, c.a > c.b, c.a <= c.b, c.a >= c.b};
        const int expected[] = {c.order == 0, c.order != 0, c.order < 0, c.order > 0, c.order <= 0, c.order >= 0};
        EXPECT_TRUE(std::equal(order, order + 6, expected)) << c.a.ToText() << " vs " << c.b.ToText();
    }
}

// A module's version is its version resource; a file without one is named in the error.
TEST(FileVersion, IsTheVersionResourceAndAFileWithoutOneIsNamed)
{
    const SNimboAgentVersion expected(NIMBO_VERSION_MAJOR, NIMBO_VERSION_MINOR, NIMBO_VERSION_REVISION, NIMBO_VERSION_BUILD);
    EXPECT_EQ(expected.ToText(), util::GetModuleVersion().ToText());
    EXPECT_EQ(expected.ToText(), SNimboAgentVersion(util::GetFileVersion(util::GetModuleFilePath())).ToText());
    CScratchFolder folder;
    WriteTextFile(folder / L"no_version.txt", "text");
    for (const std::wstring& p : {folder / L"no_version.txt", folder / L"missing_file.dll"})
    {
        CWin32Exc e = Raised<CWin32Exc>([&] { util::GetFileVersion(p); });
        EXPECT_NE(0u, e.GetCode());
        ExpectSentencesAndWin32Line(e, {L"Cannot get file version. File path: [" + p + L"].",
                                        L"Cannot obtain the size of the VERSION_INFO structure."},
                                    static_cast<long>(e.GetCode()));
    }
}
}
