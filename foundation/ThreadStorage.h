#pragma once
// Thread-local variables of the C++ runtime inside the DLL (foundation/ThreadStorageShim.cpp).

namespace util
{
// Frees the calling thread's variables: when a thread ends, and when the DLL is unloaded
// (`moduleUnloading`; the variables of other threads still running are then lost as memory).
void EndThreadStorage(bool moduleUnloading) noexcept;
}
