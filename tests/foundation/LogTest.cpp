#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Exc.h"
#include "foundation/Log.h"
#include "tests/foundation/LogRecorder.h"

using namespace util;

namespace
{
// Lines as "<level letter><depth> <text>" (tests/foundation/LogRecorder.h).
struct LogFixture : ::testing::Test
{
    std::shared_ptr<logtest::CLogRecorder> writer = std::make_shared<logtest::CLogRecorder>();
    std::shared_ptr<CLog> log = logtest::RecordingLog(writer);
};

using Lines = std::vector<std::wstring>;
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
        const Lines all{L"t", L"i", L"w", L"e"};
        EXPECT_EQ(Lines(all.begin() + minimum - 1, all.end()), writer->Texts()) << "minimum level " << minimum;
        EXPECT_EQ(minimum <= 1, log->IsTraceEnabled()) << "minimum level " << minimum;
        EXPECT_EQ(minimum <= 2, log->IsInfoEnabled()) << "minimum level " << minimum;
    }
    const struct { int comLevel, minimum; } levels[] = {{0, 5}, {1, 2}, {2, 1}, {3, 5}, {-1, 5}, {100, 5}};
    for (const auto& c : levels)
        EXPECT_EQ(c.minimum, MinimumLevelFromComLevel(c.comLevel)) << "COM level " << c.comLevel;
}

TEST_F(LogFixture, MessageIsSplitIntoLinesAtLineFeedsAndDepthStaysPositive)
{
    const struct { const wchar_t* text; Lines lines; } cases[] = {
        {L"one", {L"one"}}, {L"one\r\ntwo", {L"one", L"two"}}, {L"one\ntwo\n", {L"one", L"two"}},
        {L"one\r\n\r\nthree", {L"one", L"", L"three"}}, {L"cr\ronly", {L"cr\ronly"}}, {L"\r\n", {L""}}, {L"", {}}};
    for (const auto& c : cases)
    {
        writer->lines.clear();
        log->Info(std::wstring(c.text));
        EXPECT_EQ(c.lines, writer->Texts()) << "text [" << ::testing::PrintToString(std::wstring(c.text)) << "]";
    }
    EXPECT_EQ(0, log->Indent(-1));
    EXPECT_EQ(1, log->Indent(1));
    EXPECT_EQ(1, log->SetDepth(-3));
    EXPECT_EQ(0, log->GetDepth());
    EXPECT_EQ(0, log->SetDepth(4));
    EXPECT_EQ(4, log->GetDepth());
}

// An exception's sentences follow the message one level deeper. A scope opens one level deeper
// than the depth it found and closes there with "Ok." or, left by an exception, "Failed.";
// below the minimum level it writes nothing and indents nothing.
TEST_F(LogFixture, ExceptionsAndScopesAtTheirDepths)
{
    CExc error(L"inner", E_FAIL);
    error.AddMessage(L"middle");
    error.AddMessage(122);
    log->SetDepth(2);
    log->Error(error, 101, L"srv01", L"admin");
    log->Warning(error);
    EXPECT_EQ(2, log->GetDepth());
    log->SetDepth(1);
    {
        CInfoScope scope(*log, 121);
        log->Info(L"inside");
        scope.Ok();
    }
    EXPECT_EQ(1, log->GetDepth());
    log->SetDepth(0);
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
    EXPECT_EQ(0, log->GetDepth());
    log->SetLevel(LogInfo);
    {
        CTraceScope scope(*log, 127);
        log->Info(L"inert");
        EXPECT_EQ(0, log->GetDepth());
    }
    {
        CLogScope scope(*log, LogTrace, L"plain text");
        scope.Ok();
    }
    const std::wstring open = L"Connecting to a remote host. Host: [srv01]. Specified account: [admin].";
    EXPECT_EQ((Lines{L"E2 Cannot connect to the host's administrative share. Host:  [srv01]. Account: [admin].",
                     L"E3 Cannot install agent.", L"E3 middle", L"E3 inner", L"W3 Cannot install agent.", L"W3 middle",
                     L"W3 inner", L"I2 Installing agent.", L"I3 inside", L"I2 Installing agent.Ok.", L"I1 " + open,
                     L"T3 Collecting guest  metrics.", L"T3 Collecting guest  metrics.Failed.", L"I1 " + open + L"Failed.",
                     L"E0 Cannot install agent.", L"E1 boom", L"I0 inert"}),
              writer->lines);
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
