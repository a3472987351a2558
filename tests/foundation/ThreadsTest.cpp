#include <gtest/gtest.h>

#include "foundation/Exc.h"
#include "foundation/Threads.h"

using namespace util;

namespace
{
bool Terminates(const CTerminationEvent& event, DWORD timeoutMs)
{
    try
    {
        event.CheckTermination(timeoutMs);
        return false;
    }
    catch (STermExc&)
    {
        return true;
    }
}

// A worker in the shape of a polling loop: counts rounds until told to stop, then sleeps a
// while before it ends.
struct SWorker
{
    CTerminationEvent stop;
    volatile LONG rounds = 0, finished = 0;
    static DWORD WINAPI Run(void* context)
    {
        auto* self = static_cast<SWorker*>(context);
        while (!Terminates(self->stop, 5))
            InterlockedIncrement(&self->rounds);
        Sleep(300);
        InterlockedExchange(&self->finished, 1);
        return 0;
    }
};
}

// A termination event throws only once signalled and stays signalled; a worker stops through
// it, Join reports that, and the thread owner's destruction waits for the routine to end.
TEST(Thread, StopsThroughItsTerminationEventJoinReportsItAndDestructionWaits)
{
    CTerminationEvent event;
    ASSERT_NE(event.Handle(), nullptr);
    EXPECT_FALSE(Terminates(event, 0));
    const DWORD start = GetTickCount();
    EXPECT_FALSE(Terminates(event, 100));
    EXPECT_GE(GetTickCount() - start, 80u) << "an unsignalled check waits out its timeout";
    event.Signal();
    for (DWORD timeout : {DWORD(0), DWORD(0), DWORD(INFINITE)})
        EXPECT_TRUE(Terminates(event, timeout)) << "manual reset: every later check stops";

    SWorker worker;
    {
        CThread thread(&SWorker::Run, &worker);
        ASSERT_NE(thread.Handle(), nullptr);
        EXPECT_NE(thread.Id(), 0u);
        EXPECT_FALSE(thread.Join(50)) << "the worker runs until told to stop";
        for (int i = 0; i < 1000 && !worker.rounds; ++i)
            Sleep(10);
        EXPECT_GT(worker.rounds, 0);
        worker.stop.Signal();
    }
    EXPECT_EQ(worker.finished, 1) << "the owner's destruction waits for the routine to end";

    SWorker joined;
    CThread thread(&SWorker::Run, &joined);
    joined.stop.Signal();
    EXPECT_TRUE(thread.Join(5000));
    EXPECT_EQ(joined.finished, 1);
    EXPECT_TRUE(thread.Join(0));
}
