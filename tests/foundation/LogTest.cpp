#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Exc.h"
#include "foundation/Log.h"

using namespace util;

namespace
{
struct SRecordedLine
{
    int level;
    int depth;
    std::wstring text;
};

// Keeps every line it is handed, with the depth that the file writer does not show.
class CRecordingWriter : public CLogWriter
{
public:
    std::vector<SRecordedLine> lines;

    std::vector<std::wstring> Texts() const
    {
        std::vector<std::wstring> texts;
        for (const SRecordedLine& line : lines)
            texts.push_back(line.text);
        return texts;
    }

protected:
    void Write(int level, const LogTags&, int depth, const std::wstring& text) override
    {
        lines.push_back({level, depth, text});
    }
};

struct LogFixture : ::testing::Test
{
    std::shared_ptr<CLog> log = std::make_shared<CLog>();
    std::shared_ptr<CRecordingWriter> writer = std::make_shared<CRecordingWriter>();

    void SetUp() override
    {
        log->SetWriter(writer);
        log->SetLevel(LogTrace);
    }

    // (depth, text) of every recorded line, for comparing a whole sequence at once.
    std::vector<std::pair<int, std::wstring>> DepthsAndTexts() const
    {
        std::vector<std::pair<int, std::wstring>> result;
        for (const SRecordedLine& line : writer->lines)
            result.emplace_back(line.depth, line.text);
        return result;
    }
};

using DepthText = std::vector<std::pair<int, std::wstring>>;
}

TEST_F(LogFixture, LineIsWrittenOnlyAtOrAboveTheMinimumLevel)
{
    for (int minimum = 1; minimum <= 5; ++minimum)
    {
        writer->lines.clear();
        log->SetLevel(minimum);
        log->Trace(L"t");
        log->Info(L"i");
        log->Warning(L"w");
        log->Error(L"e");
        std::vector<std::wstring> expected{L"t", L"i", L"w", L"e"};
        expected.erase(expected.begin(), expected.begin() + minimum - 1);
        EXPECT_EQ(expected, writer->Texts()) << "minimum level " << minimum;
        EXPECT_EQ(minimum <= 1, log->IsTraceEnabled()) << "minimum level " << minimum;
        EXPECT_EQ(minimum <= 2, log->IsInfoEnabled()) << "minimum level " << minimum;
    }
}

TEST(Log, ComLevelMapsToMinimumLevel)
{
    const struct
    {
        int comLevel;
        int minimum;
    } cases[] = {{0, 5}, {1, 2}, {2, 1}, {3, 5}, {-1, 5}, {100, 5}};
    for (const auto& c : cases)
        EXPECT_EQ(c.minimum, MinimumLevelFromComLevel(c.comLevel)) << "COM level " << c.comLevel;
}

TEST_F(LogFixture, MessageIsSplitIntoLinesAtLineFeeds)
{
    const struct
    {
        const wchar_t* text;
        std::vector<std::wstring> lines;
    } cases[] = {
        {L"one", {L"one"}},
        {L"one\r\ntwo", {L"one", L"two"}},
        {L"one\ntwo\n", {L"one", L"two"}},
        {L"one\r\n\r\nthree", {L"one", L"", L"three"}},
        {L"cr\ronly", {L"cr\ronly"}},
        {L"\r\n", {L""}},
        {L"", {}},
    };
    for (const auto& c : cases)
    {
        writer->lines.clear();
        log->Info(std::wstring(c.text));
        EXPECT_EQ(c.lines, writer->Texts()) << "text [" << ::testing::PrintToString(std::wstring(c.text)) << "]";
    }
}

TEST_F(LogFixture, DepthNeverGoesBelowZero)
{
    EXPECT_EQ(0, log->Indent(-1));
    EXPECT_EQ(1, log->Indent(1));
    EXPECT_EQ(1, log->SetDepth(-3));
    EXPECT_EQ(0, log->GetDepth());
    EXPECT_EQ(0, log->SetDepth(4));
    EXPECT_EQ(4, log->GetDepth());
}

TEST_F(LogFixture, ExceptionSentencesFollowTheMessageOneLevelDeeper)
{
    CExc e(L"inner", E_FAIL);
    e.AddMessage(L"middle");
    e.AddMessage(122);
    log->SetDepth(2);
    log->Error(e, 101, L"srv01", L"admin");
    log->Warning(e);
    EXPECT_EQ((DepthText{
                  {2, L"Cannot connect to the host's administrative share. Host:  [srv01]. Account: [admin]."},
                  {3, L"Cannot install agent."},
                  {3, L"middle"},
                  {3, L"inner"},
                  {3, L"Cannot install agent."},
                  {3, L"middle"},
                  {3, L"inner"},
              }),
              DepthsAndTexts());
    EXPECT_EQ(LogError, writer->lines[0].level);
    EXPECT_EQ(LogError, writer->lines[3].level);
    EXPECT_EQ(LogWarning, writer->lines[4].level);
    EXPECT_EQ(2, log->GetDepth());
}

TEST_F(LogFixture, ScopeClosesWithOkAtItsOpeningDepth)
{
    log->SetDepth(1);
    {
        CInfoScope scope(*log, 121);
        log->Info(L"inside");
        scope.Ok();
    }
    EXPECT_EQ((DepthText{{2, L"Installing agent."}, {3, L"inside"}, {2, L"Installing agent.Ok."}}),
              DepthsAndTexts());
    EXPECT_EQ(1, log->GetDepth());
}

TEST_F(LogFixture, ScopeLeftByExceptionClosesWithFailed)
{
    try
    {
        CInfoScope scope(*log, 115, L"srv01", L"admin");
        CTraceScope inner(*log, 127);
        throw CExc(L"boom", E_FAIL);
    }
    catch (CExc& e)
    {
        log->Error(e, 122);
    }
    const std::wstring open = L"Connecting to a remote host. Host: [srv01]. Specified account: [admin].";
    EXPECT_EQ((DepthText{
                  {1, open},
                  {3, L"Collecting guest  metrics."},
                  {3, L"Collecting guest  metrics.Failed."},
                  {1, open + L"Failed."},
                  {0, L"Cannot install agent."},
                  {1, L"boom"},
              }),
              DepthsAndTexts());
    EXPECT_EQ(LogInfo, writer->lines[0].level);
    EXPECT_EQ(LogTrace, writer->lines[1].level);
    EXPECT_EQ(LogTrace, writer->lines[2].level);
    EXPECT_EQ(0, log->GetDepth());
}

TEST_F(LogFixture, ScopeBelowTheMinimumLevelIsInert)
{
    log->SetLevel(LogInfo);
    {
        CTraceScope scope(*log, 127);
        log->Info(L"inside");
        EXPECT_EQ(0, log->GetDepth());
    }
    {
        CLogScope scope(*log, LogTrace, L"plain text");
        scope.Ok();
    }
    EXPECT_EQ((DepthText{{0, L"inside"}}), DepthsAndTexts());
}

// A message with its exception is one group: another thread's lines never land inside it.
TEST_F(LogFixture, ExceptionGroupIsNotSplitByOtherThreads)
{
    CExc e(L"s3", E_FAIL);
    e.AddMessage(L"s2");
    e.AddMessage(L"s1");
    const int rounds = 2000;
    std::atomic<bool> started{false}, done{false};
    std::thread other([&] {
        while (!done)
        {
            log->Info(L"other");
            started = true;
        }
    });
    while (!started)
        Sleep(0);
    for (int i = 0; i < rounds; ++i)
        log->Error(e, L"head");
    done = true;
    other.join();

    std::vector<std::wstring> texts = writer->Texts();
    int groups = 0;
    for (size_t i = 0; i < texts.size(); ++i)
    {
        if (texts[i] != L"head")
            continue;
        ++groups;
        ASSERT_LT(i + 3, texts.size());
        ASSERT_EQ((std::vector<std::wstring>{L"s1", L"s2", L"s3"}),
                  std::vector<std::wstring>(texts.begin() + i + 1, texts.begin() + i + 4))
            << "group at line " << i;
    }
    EXPECT_EQ(rounds, groups);
}
