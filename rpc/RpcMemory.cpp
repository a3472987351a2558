// The memory routines that generated stubs name in their stub descriptors: a plain heap.
// Client stubs allocate what they return in [out] strings and arrays here, and the code that
// receives such a value releases it with midl_user_free. Server stubs (the agent's plugins)
// allocate the [out] values a server routine fills and release them once sent. Compiled into
// the library and into every plugin that serves RPC, once per binary.
#include <windows.h>
#include <rpc.h>
#include <rpcndr.h>
#include <cstdlib>

extern "C" void* __RPC_USER midl_user_allocate(size_t size)
{
    return std::malloc(size);
}

extern "C" void __RPC_USER midl_user_free(void* pointer)
{
    std::free(pointer);
}
