#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/BackupStyleFileLogWriter.h"
#include "foundation/FileSystem.h"
#include "foundation/Log.h"
#include "tests/foundation/FilesTestSupport.h"
#include "tests/foundation/LogRecorder.h"

using namespace util;
using filestest::ReadAll;
using logtest::ReadLogFile;

namespace
{
// Lines without their CR LF; a final piece without CR LF is reported as it is.
std::vector<std::string> SplitCrLf(const std::string& data)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < data.size();)
    {
        const size_t end = std::min(data.find("\r\n", start), data.size());
        lines.push_back(data.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string Timestamp(const SYSTEMTIME& t)
{
    char date[128] = {}, time[128] = {};
    GetDateFormatA(LOCALE_USER_DEFAULT, 0, &t, nullptr, date, sizeof(date));
    GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &t, nullptr, time, sizeof(time));
    return "[" + std::string(date) + " " + time + "]";
}

struct LogFileFixture : ::testing::Test
{
    filestest::CScratchFolder folder;
};
}

TEST_F(LogFileFixture, LineHasTimestampLevelWordTagsAndText)
{
    const struct { int level; LogTags tags; const wchar_t *text, *expected; } cases[] = {
        {1, {}, L"trace", L"Info  trace"}, {2, {}, L"info", L"Info  info"}, {3, {}, L"warn", L"Warning  warn"},
        {4, {}, L"err", L"Error  err"}, {5, {}, L"five", L"Info  five"}, {0, {}, L"zero", L"  zero"},
        {6, {}, L"six", L"  six"}, {2, {L"a"}, L"one tag", L"Info  [a] one tag"},
        {2, {L"a", L"bc"}, L"two tags", L"Info  [a][bc] two tags"}, {2, {}, L"", L"Info  "}};
    const std::wstring path = folder / L"a\\b\\format.log";  // the folders are made as needed
    CBackupStyleFileLogWriter writer(path);
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    for (const auto& c : cases)
        writer.WriteLine(c.level, c.tags, 7, c.text);
    GetLocalTime(&after);

    const std::string data = ReadAll(path);
    ASSERT_GE(data.size(), 2u);
    EXPECT_EQ("\r\n", data.substr(data.size() - 2));
    const std::vector<std::string> lines = SplitCrLf(data);
    const std::vector<std::wstring> texts = ReadLogFile(path);
    ASSERT_EQ(std::size(cases), lines.size()) << data;
    // The lines take milliseconds: each carries the second the test started or the one it ended.
    const std::set<std::string> stamps = {Timestamp(before), Timestamp(after)};
    for (size_t i = 0; i < lines.size(); ++i)
    {
        EXPECT_EQ(cases[i].expected, texts[i]) << "line " << i;
        EXPECT_EQ(1u, stamps.count(lines[i].substr(0, lines[i].find(']') + 1))) << "timestamp of " << lines[i];
    }
}

// An existing file is appended to, in the ANSI code page and without a byte order mark.
TEST_F(LogFileFixture, FileIsAppendedInTheAnsiCodePage)
{
    const std::wstring ansi = folder / L"ansi.log";
    filestest::WriteTextFile(ansi, "earlier\r\n");
    CBackupStyleFileLogWriter(ansi).WriteLine(LogInfo, {L"t\u00e9"}, 0, L"caf\u00e9 \u00fcber");
    EXPECT_EQ((std::vector<std::wstring>{L"earlier", L"Info  [t\u00e9] caf\u00e9 \u00fcber"}), ReadLogFile(ansi));
    const std::string bytes = ReadAll(ansi);
    EXPECT_EQ(std::string::npos, bytes.find('\0'));
    EXPECT_EQ(std::string::npos, bytes.find("\xef\xbb\xbf"));
}

// None of these can hold a log file (the long one may, where long paths work); logging to them
// must never raise.
TEST_F(LogFileFixture, UnwritablePathDropsTheLineQuietly)
{
    const std::wstring plainFile = folder / L"plain.txt";
    CBackupStyleFileLogWriter(plainFile).WriteLine(LogInfo, {}, 0, L"x");
    std::wstring longPath = folder.Path();
    while (longPath.size() < 400)
        longPath += L"\\" + std::wstring(60, L'l');
    const std::wstring cases[] = {
        longPath + L"\\long.log",
        folder.Path(),                           // an existing folder
        plainFile + L"\\below.log",              // below a file
        folder / L"bad<name>.log",               // a name the file system refuses
        L"",                                     // no path at all
        folder / L"sub\\bad|name\\x.log",        // refused inside a folder to be created
        L"\\\\nimbo-no-such-host\\share\\x.log", // an unreachable share
    };
    for (const std::wstring& path : cases)
    {
        CLog log;
        EXPECT_NO_THROW(InitLogging(log, 2, path)) << ::testing::PrintToString(path);
        EXPECT_NO_THROW(log.Error(L"dropped")) << ::testing::PrintToString(path);
    }
    EXPECT_FALSE(FileExists(plainFile + L"\\below.log"));
}

TEST_F(LogFileFixture, ConcurrentLinesOfOneLoggerAreNeverMixed)
{
    const std::wstring path = folder / L"threads.log";
    CLog log;
    InitLogging(log, 1, path);
    const int count = 150;
    const std::wstring tail(100, L'x');
    auto work = [&](const wchar_t* who) {
        for (int i = 0; i < count; ++i)
            log.Info(L"%1 line %2 " + tail, who, std::to_wstring(i));
    };
    std::thread a(work, L"A"), b(work, L"B");
    a.join();
    b.join();

    const std::vector<std::wstring> lines = ReadLogFile(path);
    ASSERT_EQ(7u + 2 * count, lines.size());  // after the rule and the banner
    int next[2] = {0, 0};
    for (size_t i = 7; i < lines.size(); ++i)
    {
        const int who = lines[i].compare(0, 8, L"Info  B ") == 0;
        EXPECT_EQ(L"Info  " + std::wstring(who ? L"B" : L"A") + L" line " + std::to_wstring(next[who]++) + L" " + tail,
                  lines[i]);
    }
    EXPECT_EQ(count, next[0]);
    EXPECT_EQ(count, next[1]);
}

// Loggers of different connections do not share a lock: a reader never stops a line, but a
// line that would meet another open writer is dropped rather than mixed into its output.
TEST_F(LogFileFixture, OpenHandleOfAnotherWriterDropsTheLine)
{
    const struct { const wchar_t* name; DWORD access; size_t lines; } cases[] = {
        {L"reader.log", GENERIC_READ, 2}, {L"writer.log", GENERIC_WRITE, 1}};
    for (const auto& c : cases)
    {
        const std::wstring path = folder / c.name;
        CBackupStyleFileLogWriter writer(path);
        writer.WriteLine(LogInfo, {}, 0, L"first");
        util::CFileHandle other(
            CreateFileW(path.c_str(), c.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(other) << c.name;
        EXPECT_NO_THROW(writer.WriteLine(LogInfo, {}, 0, L"second")) << c.name;
        other.reset();
        EXPECT_EQ(c.lines, SplitCrLf(ReadAll(path)).size()) << c.name;
    }
}
