// Number, GUID and code page conversions, agent versions and file versions.
#include <gtest/gtest.h>

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

struct SParseCase
{
    const wchar_t* text;
    SNimboAgentVersion expected;
};

TEST(AgentVersion, ParsesFourDottedParts)
{
    const SParseCase cases[] = {
        {L"5.0.0.123", {5, 0, 0, 123}},
        {L"1.2.3.4.5", {1, 2, 3, 4}},
        {L"1.2.3.4abc", {1, 2, 3, 4}},
        {L"70000.1.2.3", {4464, 1, 2, 3}},
        {L" 1. 2.+3.4", {1, 2, 3, 4}},
        {L"65535.65535.65535.65535", {65535, 65535, 65535, 65535}},
    };
    EXPECT_EQ(L"0.0.0.0", SNimboAgentVersion().ToText());
    EXPECT_EQ(L"5.0.0.123", SNimboAgentVersion(std::wstring(L"5.0.0.123")).ToText());
    for (const SParseCase& c : cases)
    {
        SNimboAgentVersion v(std::wstring(c.text));
        EXPECT_TRUE(c.expected == v) << c.text << " parsed as " << v.ToText();
    }
}

TEST(AgentVersion, RejectsTextsWithoutFourParts)
{
    for (const wchar_t* text : {L"", L"1.2.3", L"1..2.3", L"1.2.3.", L"a.b.c.d", L"1,2,3,4", L".1.2.3.4"})
    {
        CExc e = Raised([&] { SNimboAgentVersion{std::wstring(text)}; });
        EXPECT_EQ(E_FAIL, e.GetHResult()) << text;
        EXPECT_EQ(L"Cannot unserialize a version string. Specified string: [" + std::wstring(text) + L"].",
                  e.GetFullText());
    }
}

TEST(AgentVersion, ComparesMajorFirst)
{
    const struct
    {
        SNimboAgentVersion a, b;
        int order;  // sign of a - b
    } cases[] = {
        {{1, 2, 3, 4}, {1, 2, 3, 4}, 0},
        {{1, 2, 3, 4}, {1, 2, 3, 5}, -1},
        {{1, 2, 4, 0}, {1, 2, 3, 9}, 1},
        {{1, 3, 0, 0}, {1, 2, 9, 9}, 1},
        {{2, 0, 0, 0}, {1, 9, 9, 9}, 1},
        {{1, 0, 0, 256}, {1, 0, 0, 255}, 1},
        {{0, 300, 0, 0}, {1, 0, 0, 0}, -1},
    };
    for (const auto& c : cases)
    {
        const std::wstring label = c.a.ToText() + L" vs " + c.b.ToText();
        EXPECT_EQ(c.order == 0, c.a == c.b) << label;
        EXPECT_EQ(c.order != 0, c.a != c.b) << label;
        EXPECT_EQ(c.order < 0, c.a < c.b) << label;
        EXPECT_EQ(c.order > 0, c.a > c.b) << label;
        EXPECT_EQ(c.order <= 0, c.a <= c.b) << label;
        EXPECT_EQ(c.order >= 0, c.a >= c.b) << label;
    }
}

TEST(FileVersion, ModuleVersionIsTheVersionResource)
{
    const SNimboAgentVersion expected(NIMBO_VERSION_MAJOR, NIMBO_VERSION_MINOR, NIMBO_VERSION_REVISION,
                                      NIMBO_VERSION_BUILD);
    EXPECT_EQ(expected.ToText(), util::GetModuleVersion().ToText());
    EXPECT_EQ(expected.ToText(), SNimboAgentVersion(util::GetFileVersion(util::GetModuleFilePath())).ToText());
}

TEST(FileVersion, FileWithoutVersionResourceNamesTheFile)
{
    CScratchFolder folder;
    WriteTextFile(folder / L"no_version.txt", "text");
    for (const std::wstring& p : {folder / L"no_version.txt", folder / L"missing_file.dll"})
    {
        CWin32Exc e = Raised<CWin32Exc>([&] { util::GetFileVersion(p); });
        EXPECT_NE(0u, e.GetCode());
        ExpectSentencesAndWin32Line(e,
                                    {L"Cannot get file version. File path: [" + p + L"].",
                                     L"Cannot obtain the size of the VERSION_INFO structure."},
                                    static_cast<long>(e.GetCode()));
    }
}
}
