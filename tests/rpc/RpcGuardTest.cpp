// The structured-exception guard around generated stubs: what a body ends with becomes the
// guard's result, on either architecture, and the guard leaves the thread as it found it.
#include <gtest/gtest.h>

#include <windows.h>
#include <rpc.h>

#include <stdexcept>

#include "rpc/RpcGuard.h"

namespace
{
void Returns(void*) {}
void RaisesRpcStatus(void*) { RpcRaiseException(RPC_S_SERVER_UNAVAILABLE); }
void WritesThroughNull(void* p) { *static_cast<volatile int*>(static_cast<int**>(p)[0]) = 1; }
void RaisesNoncontinuable(void*) { RaiseException(0xE0001234, EXCEPTION_NONCONTINUABLE, 0, nullptr); }
void Nested(void* p)
{
    // The inner guard takes the fault; the outer one sees a body that returned.
    *static_cast<unsigned long*>(p) = NimboRpcCallGuarded(&RaisesRpcStatus, nullptr);
}
void ThrowsCxx(void*) { throw std::runtime_error("passes through"); }

struct SCase
{
    const char* name;
    PFN_NIMBO_RPC_GUARDED body;
    unsigned long expected;
};

class RpcGuard : public testing::TestWithParam<SCase>
{
};

TEST_P(RpcGuard, ReturnsTheCodeThatEndedTheBody)
{
    int* null = nullptr;
    void* context = &null;
    unsigned long inner = 0;
    if (GetParam().body == &Nested)
        context = &inner;
    // Twice: a guard that left anything behind on the thread fails the second round.
    for (int round = 0; round < 2; ++round)
    {
        unsigned long code = NimboRpcCallGuarded(GetParam().body, context);
        // 32-bit Wine run by a user-mode emulator reports a hardware fault of its guest code as
        // an illegal instruction; the guard hands on whatever the system raised.
        if (GetParam().expected == EXCEPTION_ACCESS_VIOLATION && sizeof(void*) == 4 && code == EXCEPTION_ILLEGAL_INSTRUCTION)
            code = EXCEPTION_ACCESS_VIOLATION;
        EXPECT_EQ(code, GetParam().expected) << "round " << round;
    }
    if (GetParam().body == &Nested)
    {
        EXPECT_EQ(inner, static_cast<unsigned long>(RPC_S_SERVER_UNAVAILABLE));
    }
}

INSTANTIATE_TEST_SUITE_P(Bodies, RpcGuard,
                         testing::Values(SCase{"Returns", &Returns, 0},
                                         SCase{"RpcFault", &RaisesRpcStatus, RPC_S_SERVER_UNAVAILABLE},
                                         SCase{"AccessViolation", &WritesThroughNull, 0xC0000005},
                                         SCase{"Noncontinuable", &RaisesNoncontinuable, 0xE0001234},
                                         SCase{"NestedGuard", &Nested, 0}),
                         [](const testing::TestParamInfo<SCase>& info) { return info.param.name; });

TEST(RpcGuardCxx, CxxExceptionPassesThroughAndTheGuardIsLeft)
{
    EXPECT_THROW(NimboRpcCallGuarded(&ThrowsCxx, nullptr), std::runtime_error);
    // The guard that the exception passed is gone: a fault now is taken by a new one.
    EXPECT_EQ(NimboRpcCallGuarded(&RaisesRpcStatus, nullptr), static_cast<unsigned long>(RPC_S_SERVER_UNAVAILABLE));
}
}
