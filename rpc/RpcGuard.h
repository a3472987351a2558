#pragma once
// The one place that sees structured exceptions. A failed remote call (transport error, fault
// sent by the server, a stub that finds bad data) is raised by the RPC runtime as a structured
// exception whose code is the RPC status; C++ handlers do not see it, and left alone it ends
// the process. Every call into a generated client stub runs through NimboRpcCallGuarded:
//
//   static void CallFreeze(void* binding) { Freeze(static_cast<RPC_BINDING_HANDLE>(binding)); }
//   unsigned long status = NimboRpcCallGuarded(&CallFreeze, binding);   // 0: returned normally
//
// The body must not throw C++ exceptions and must not own objects with destructors: on a
// structured exception its frames are left without running any cleanup. Work that may throw
// belongs after the guarded call.

#include <windows.h>
#include <rpc.h>
#include <rpcndr.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*PFN_NIMBO_RPC_GUARDED)(void* context);

// Runs body(context). Returns 0 when it returns, otherwise the code of the structured exception
// that ended it (the RPC status for a failed remote call). C++ exceptions of this runtime are
// never taken: they pass on to their own handlers. Calls may nest, on any number of threads.
unsigned long NimboRpcCallGuarded(PFN_NIMBO_RPC_GUARDED body, void* context);

// Used by the generated client stubs (through rpc/StubSupport.h), not by hand: a stub enters
// its message before it asks the runtime for a buffer and leaves it once the buffer is freed.
// When a structured exception ends the stub in between, the guard frees the buffer instead,
// so the connection that the message holds goes back to its binding.
void NimboRpcStubEnter(PMIDL_STUB_MESSAGE message);
void NimboRpcStubLeave(PMIDL_STUB_MESSAGE message);

#ifdef __cplusplus
}
#endif
