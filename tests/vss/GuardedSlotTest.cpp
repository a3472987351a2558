// The slot shared by a connection and its children destroys the object it held outside its lock.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "vss/GuardedSlot.h"

namespace
{
TEST(GuardedSlot, HeldObjectIsDestroyedOutsideTheLock)
{
    // A destructor that waits for another thread using the same slot would deadlock if the
    // slot destroyed the object while holding its lock.
    struct SHeld
    {
        std::function<void()> onDestroy;
        ~SHeld() { onDestroy(); }
    };
    vss::CGuardedSlot<SHeld> slot;
    bool otherThreadGotIn = false;
    auto held = std::make_shared<SHeld>();
    held->onDestroy = [&] { std::thread([&] { slot.Get(), otherThreadGotIn = true; }).join(); };
    slot.Set(std::move(held));
    slot.Set(nullptr);
    EXPECT_TRUE(otherThreadGotIn);
}
}
