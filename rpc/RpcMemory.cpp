// The memory routines that generated client stubs name in their stub descriptors. Strings and
// arrays that a stub returns are allocated here and released with midl_user_free by the code
// that receives them.
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
