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

// A worker in the shape of a polling loop: counts rounds until told to stop.
struct SWorker
{
    CTerminationEvent stop;
    volatile LONG rounds = 0;
    volatile LONG leftThroughTermination = 0;

    static DWORD WINAPI Run(void* context)
    {
        SWorker* self = static_cast<SWorker*>(context);
        try
        {
            for (;;)
            {
                self->stop.CheckTermination(5);
                InterlockedIncrement(&self->rounds);
            }
        }
        catch (STermExc&)
        {
            InterlockedExchange(&self->leftThroughTermination, 1);
        }
        return 0;
    }
};
}

TEST(TerminationEvent, ThrowsOnlyOnceSignalledAndStaysSignalled)
{
    CTerminationEvent event;
    ASSERT_NE(event.Handle(), nullptr);
    EXPECT_FALSE(Terminates(event, 0));
    const DWORD start = GetTickCount();
    EXPECT_FALSE(Terminates(event, 100));
    EXPECT_GE(GetTickCount() - start, 80u) << "an unsignalled check waits out its timeout";

    event.Signal();
    EXPECT_TRUE(Terminates(event, 0));
    EXPECT_TRUE(Terminates(event, 0)) << "manual reset: a second check still stops";
    EXPECT_TRUE(Terminates(event, INFINITE));
}

TEST(Thread, WorkerStopsThroughTheEventAndJoinReportsIt)
{
    SWorker worker;
    CThread thread(&SWorker::Run, &worker);
    ASSERT_NE(thread.Handle(), nullptr);
    EXPECT_NE(thread.Id(), 0u);
    EXPECT_FALSE(thread.Join(50)) << "the worker runs until told to stop";

    worker.stop.Signal();
    EXPECT_TRUE(thread.Join(5000));
    EXPECT_EQ(worker.leftThroughTermination, 1);
    EXPECT_GT(worker.rounds, 0);
    EXPECT_TRUE(thread.Join(0));
}

TEST(Thread, DestructionWaitsForTheRoutineToEnd)
{
    struct SSlow
    {
        static DWORD WINAPI Run(void* done)
        {
            Sleep(300);
            InterlockedExchange(static_cast<volatile LONG*>(done), 1);
            return 0;
        }
    };
    volatile LONG done = 0;
    {
        CThread thread(&SSlow::Run, const_cast<LONG*>(&done));
    }
    EXPECT_EQ(done, 1);
}
