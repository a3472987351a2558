// Thread-local variables of the statically linked C++ runtime (the exception-handling state of
// each thread, above all) live in "emulated TLS". The runtime's own implementation keeps them
// through the threading library's keys, which create a thread record with an event and a
// duplicated thread handle for every thread that throws, plus a lock with two semaphores per
// load of the DLL; none of that is released when COM unloads the DLL while the process and
// its threads go on. This file answers the runtime's one entry point itself, with a Win32 TLS
// slot that holds an array of the thread's variables, and frees a thread's array when the
// thread ends or the DLL is unloaded. Like TickCount64Shim.cpp, it must be linked as an object
// of the DLL so that it is chosen before the runtime library's version.
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/ThreadStorage.h"

namespace
{
// The runtime's control record of one thread-local variable (layout fixed by the compiler).
struct SEmuTlsObject
{
    size_t size;
    size_t align;
    volatile LONG_PTR index;  // 0 until the variable is first used; then its slot, from 1
    void* initialValue;       // null: zero-filled
};

// The thread's array: [0] holds the number of slots; [i] the variable of index i (or null).
// Each variable's block keeps the pointer that malloc returned just before the aligned data.
volatile LONG g_tlsSlot = static_cast<LONG>(TLS_OUT_OF_INDEXES);
volatile LONG g_lastIndex = 0;

DWORD TlsSlot() noexcept
{
    LONG slot = g_tlsSlot;
    if (slot != static_cast<LONG>(TLS_OUT_OF_INDEXES))
        return static_cast<DWORD>(slot);
    const DWORD fresh = TlsAlloc();
    if (fresh == TLS_OUT_OF_INDEXES)
        abort();
    slot = InterlockedCompareExchange(&g_tlsSlot, static_cast<LONG>(fresh), static_cast<LONG>(TLS_OUT_OF_INDEXES));
    if (slot != static_cast<LONG>(TLS_OUT_OF_INDEXES))
    {
        TlsFree(fresh);  // another thread was first
        return static_cast<DWORD>(slot);
    }
    return fresh;
}

void* NewVariable(const SEmuTlsObject* object) noexcept
{
    const size_t align = object->align > sizeof(void*) ? object->align : sizeof(void*);
    char* raw = static_cast<char*>(malloc(object->size + align + sizeof(void*)));
    if (!raw)
        abort();
    char* data = raw + sizeof(void*);
    data += (align - reinterpret_cast<uintptr_t>(data) % align) % align;
    reinterpret_cast<void**>(data)[-1] = raw;
    if (object->initialValue)
        memcpy(data, object->initialValue, object->size);
    else
        memset(data, 0, object->size);
    return data;
}
}

extern "C" void* __emutls_get_address(SEmuTlsObject* object)
{
    LONG_PTR index = object->index;
    if (index == 0)
    {
        const LONG_PTR fresh = InterlockedIncrement(&g_lastIndex);
        index = InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&object->index),
                                                  reinterpret_cast<void*>(fresh), nullptr)
                    ? object->index
                    : fresh;
    }
    const DWORD slot = TlsSlot();
    void** array = static_cast<void**>(TlsGetValue(slot));
    const size_t count = array ? reinterpret_cast<size_t>(array[0]) : 0;
    if (static_cast<size_t>(index) >= count)
    {
        size_t grown = count ? count * 2 : 16;
        while (grown <= static_cast<size_t>(index))
            grown *= 2;
        void** bigger = static_cast<void**>(realloc(array, grown * sizeof(void*)));
        if (!bigger)
            abort();
        memset(bigger + (count ? count : 1), 0, (grown - (count ? count : 1)) * sizeof(void*));
        bigger[0] = reinterpret_cast<void*>(grown);
        array = bigger;
        TlsSetValue(slot, array);
    }
    if (!array[index])
        array[index] = NewVariable(object);
    return array[index];
}

namespace util
{
void EndThreadStorage(bool moduleUnloading) noexcept
{
    const LONG slot = g_tlsSlot;
    if (slot == static_cast<LONG>(TLS_OUT_OF_INDEXES))
        return;
    void** array = static_cast<void**>(TlsGetValue(static_cast<DWORD>(slot)));
    if (array)
    {
        const size_t count = reinterpret_cast<size_t>(array[0]);
        for (size_t i = 1; i < count; ++i)
            if (array[i])
                free(static_cast<void**>(array[i])[-1]);
        free(array);
        TlsSetValue(static_cast<DWORD>(slot), nullptr);
    }
    if (moduleUnloading)
    {
        TlsFree(static_cast<DWORD>(slot));
        g_tlsSlot = static_cast<LONG>(TLS_OUT_OF_INDEXES);
    }
}
}
