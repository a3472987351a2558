// The agents run on guests as old as Windows XP and Server 2003, and the library may be loaded
// on hosts of that age; their KERNEL32 has no GetTickCount64. The static threading runtime
// imports it all the same, so this file answers that import itself: the system's function
// where it exists, otherwise GetTickCount widened by counting its wrap-arounds. Defining the
// import pointer here keeps the linker from taking KERNEL32's. It must be linked as an object
// of each executable and DLL (a static library member would come too late to win).
#include <windows.h>

namespace
{
using TickCount64Fn = ULONGLONG(WINAPI*)();

// No function-local statics here: their guards would use the threading runtime, which is the
// very code that calls this function.
TickCount64Fn volatile g_native = nullptr;
volatile LONG g_nativeLooked = 0;
// High 32 bits: wrap-arounds seen; low 32 bits: the last GetTickCount value.
volatile LONG64 g_widened = 0;

ULONGLONG WINAPI WidenedTickCount()
{
    for (;;)
    {
        const LONG64 old = __sync_val_compare_and_swap(&g_widened, 0, 0);
        const DWORD now = GetTickCount();
        DWORD wraps = static_cast<DWORD>(static_cast<ULONGLONG>(old) >> 32);
        if (now < static_cast<DWORD>(old))
            ++wraps;
        const LONG64 next = static_cast<LONG64>((static_cast<ULONGLONG>(wraps) << 32) | now);
        if (__sync_bool_compare_and_swap(&g_widened, old, next))
            return static_cast<ULONGLONG>(next);
    }
}

ULONGLONG WINAPI TickCount64()
{
    if (!g_nativeLooked)
    {
        g_native = reinterpret_cast<TickCount64Fn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64")));
        InterlockedExchange(&g_nativeLooked, 1);
    }
    TickCount64Fn native = g_native;
    return native ? native() : WidenedTickCount();
}
}

#ifdef _WIN64
#define NIMBO_IMP_GETTICKCOUNT64 "__imp_GetTickCount64"
#else
#define NIMBO_IMP_GETTICKCOUNT64 "__imp__GetTickCount64@0"
#endif
extern "C"
{
TickCount64Fn nimbo_imp_GetTickCount64 __asm__(NIMBO_IMP_GETTICKCOUNT64) = TickCount64;
}
