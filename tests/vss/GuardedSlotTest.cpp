// The slot shared by a connection and its children: what Get and Set hand over, and that the
// held object is destroyed outside the slot's lock.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "vss/GuardedSlot.h"

namespace
{
struct SHeld
{
    explicit SHeld(int v, int* destroyed = nullptr) : value(v), destroyedCount(destroyed) {}
    ~SHeld()
    {
        if (destroyedCount)
            ++*destroyedCount;
        if (onDestroy)
            onDestroy();
    }
    int value;
    int* destroyedCount;
    std::function<void()> onDestroy;
};

TEST(GuardedSlot, HeldObjectIsDestroyedOutsideTheLock)
{
    // A destructor that waits for another thread using the same slot would deadlock if the
    // slot destroyed the object while holding its lock.
    vss::CGuardedSlot<SHeld> slot;
    auto held = std::make_shared<SHeld>(1);
    bool otherThreadGotIn = false;
    held->onDestroy = [&] {
        std::thread other([&] {
            slot.Get();
            otherThreadGotIn = true;
        });
        other.join();
    };
    slot.Set(std::move(held));
    slot.Set(nullptr);
    EXPECT_TRUE(otherThreadGotIn);
}
}
