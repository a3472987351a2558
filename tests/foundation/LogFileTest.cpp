#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/BackupStyleFileLogWriter.h"
#include "foundation/FileSystem.h"
#include "foundation/Log.h"
#include "foundation/ModuleInstance.h"
#include "module/Version.h"
#include "tests/foundation/FilesTestSupport.h"

using namespace util;
using filestest::CScratchFolder;
using filestest::ReadAll;

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

std::string Narrow(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(n, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &result[0], n, nullptr, nullptr);
    return result;
}

std::string Timestamp(const SYSTEMTIME& t)
{
    char date[128] = {}, time[128] = {};
    GetDateFormatA(LOCALE_USER_DEFAULT, 0, &t, nullptr, date, sizeof(date));
    GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &t, nullptr, time, sizeof(time));
    return std::string(date) + " " + time;
}

// The part of a line after "[timestamp]".
std::string AfterTimestamp(const std::string& line)
{
    size_t close = line.find(']');
    return line.size() > 1 && line[0] == '[' && close != std::string::npos ? line.substr(close + 1)
                                                                           : "<no timestamp: " + line + ">";
}

std::vector<std::string> LinesAfterTimestamps(const std::wstring& path)
{
    std::vector<std::string> tails;
    for (const std::string& line : SplitCrLf(ReadAll(path)))
        tails.push_back(AfterTimestamp(line));
    return tails;
}

struct LogFileFixture : ::testing::Test
{
    CScratchFolder folder;
    std::wstring PathOf(const std::wstring& name) const { return folder / name; }
};
}

TEST_F(LogFileFixture, LineHasTimestampLevelWordTagsAndText)
{
    const struct
    {
        int level;
        LogTags tags;
        const wchar_t* text;
        const char* expected;
    } cases[] = {
        {1, {}, L"trace", "Info  trace"},
        {2, {}, L"info", "Info  info"},
        {3, {}, L"warn", "Warning  warn"},
        {4, {}, L"err", "Error  err"},
        {5, {}, L"five", "Info  five"},
        {0, {}, L"zero", "  zero"},
        {6, {}, L"six", "  six"},
        {2, {L"a"}, L"one tag", "Info  [a] one tag"},
        {2, {L"a", L"bc"}, L"two tags", "Info  [a][bc] two tags"},
        {2, {}, L"", "Info  "},
    };
    std::wstring path = PathOf(L"format.log");
    CBackupStyleFileLogWriter writer(path);
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    for (const auto& c : cases)
        writer.WriteLine(c.level, c.tags, 7, c.text);
    GetLocalTime(&after);

    std::string data = ReadAll(path);
    ASSERT_GE(data.size(), 2u);
    EXPECT_EQ("\r\n", data.substr(data.size() - 2));
    std::vector<std::string> lines = SplitCrLf(data);
    ASSERT_EQ(std::size(cases), lines.size()) << data;
    // The lines take milliseconds: each carries the second the test started or the one it ended.
    std::set<std::string> stamps = {Timestamp(before), Timestamp(after)};
    for (size_t i = 0; i < lines.size(); ++i)
    {
        EXPECT_EQ(cases[i].expected, AfterTimestamp(lines[i])) << "line " << i;
        std::string stamp = lines[i].substr(1, lines[i].find(']') - 1);
        EXPECT_EQ(1u, stamps.count(stamp)) << "timestamp [" << stamp << "] of line " << i;
    }
}

TEST_F(LogFileFixture, FileIsAppendedInTheAnsiCodePageWithoutByteOrderMark)
{
    std::wstring path = PathOf(L"ansi.log");
    filestest::WriteTextFile(path, "earlier\r\n");

    const std::wstring text = L"caf\u00e9 \u00fcber";
    CBackupStyleFileLogWriter(path).WriteLine(LogInfo, {L"t\u00e9"}, 0, text);

    std::vector<std::string> lines = SplitCrLf(ReadAll(path));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("earlier", lines[0]);
    EXPECT_EQ("Info  [" + Narrow(L"t\u00e9") + "] " + Narrow(text), AfterTimestamp(lines[1]));
    EXPECT_EQ(std::string::npos, lines[1].find('\0'));
}

TEST_F(LogFileFixture, MissingFolderTreeIsCreated)
{
    std::wstring path = PathOf(L"a\\b\\c\\deep.log");
    CBackupStyleFileLogWriter(path).WriteLine(LogError, {}, 0, L"made it");
    EXPECT_EQ(std::vector<std::string>{"Error  made it"}, LinesAfterTimestamps(path));
}

// None of these can hold a log file (the long one may, where long paths work); logging to them
// must never raise.
TEST_F(LogFileFixture, UnwritablePathDropsTheLineQuietly)
{
    std::wstring plainFile = PathOf(L"plain.txt");
    CBackupStyleFileLogWriter(plainFile).WriteLine(LogInfo, {}, 0, L"x");
    std::wstring longPath = folder.Path();
    while (longPath.size() < 400)
        longPath += L"\\" + std::wstring(60, L'l');
    const std::wstring cases[] = {
        longPath + L"\\long.log",
        folder.Path(),                           // an existing folder
        plainFile + L"\\below.log",              // below a file
        PathOf(L"bad<name>.log"),                // a name the file system refuses
        L"",                                     // no path at all
        PathOf(L"sub\\bad|name\\x.log"),         // refused inside a folder to be created
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
    std::wstring path = PathOf(L"threads.log");
    CLog log;
    InitLogging(log, 1, path);
    const int count = 150;
    auto work = [&](const wchar_t* who) {
        for (int i = 0; i < count; ++i)
            log.Info(L"%1 line %2 " + std::wstring(100, L'x'), who, std::to_wstring(i));
    };
    std::thread a(work, L"A"), b(work, L"B");
    a.join();
    b.join();

    std::vector<std::string> lines = SplitCrLf(ReadAll(path));
    ASSERT_EQ(7u + 2 * count, lines.size());
    int next[2] = {0, 0};
    for (size_t i = 7; i < lines.size(); ++i)
    {
        std::string tail = AfterTimestamp(lines[i]);
        ASSERT_TRUE(tail.rfind("Info  A line ", 0) == 0 || tail.rfind("Info  B line ", 0) == 0) << tail;
        int who = tail[6] == 'A' ? 0 : 1;
        EXPECT_EQ("Info  " + std::string(1, tail[6]) + " line " + std::to_string(next[who]) + " " + std::string(100, 'x'),
                  tail);
        ++next[who];
    }
    EXPECT_EQ(count, next[0]);
    EXPECT_EQ(count, next[1]);
}

// Loggers of different connections do not share a lock: a reader never stops a line, but a
// line that would meet another open writer is dropped rather than mixed into its output.
TEST_F(LogFileFixture, OpenHandleOfAnotherWriterDropsTheLine)
{
    const struct
    {
        const char* name;
        DWORD access;
        bool written;
    } cases[] = {
        {"reader", GENERIC_READ, true},
        {"writer", GENERIC_WRITE, false},
    };
    for (const auto& c : cases)
    {
        std::wstring path = PathOf(std::wstring(L"held_") + (c.written ? L"r" : L"w") + L".log");
        CBackupStyleFileLogWriter writer(path);
        writer.WriteLine(LogInfo, {}, 0, L"first");
        HANDLE other = CreateFileW(path.c_str(), c.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, other) << c.name;
        EXPECT_NO_THROW(writer.WriteLine(LogInfo, {}, 0, L"second")) << c.name;
        CloseHandle(other);
        EXPECT_EQ(c.written ? 2u : 1u, SplitCrLf(ReadAll(path)).size()) << c.name;
    }
}
