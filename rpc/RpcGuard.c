/* The structured-exception guard around generated RPC stubs (see RpcGuard.h).
 *
 * gcc has no __try/__except, so each architecture gets the mechanism its Windows ABI defines:
 * - x86_64: a scope-table entry for the platform's __C_specific_handler, written in assembly
 *   around one call. The filter records the code and picks the handler; the system then
 *   unwinds to the label after the call and the trampoline returns normally.
 * - i686: an exception registration record linked into the thread's fs:0 chain. Its handler
 *   records the code, lets RtlUnwind run the handlers of every frame above it (the RPC
 *   runtime's own cleanups) and jumps back to the point saved before the call.
 * Both leave C++ exceptions of this runtime alone: on x86_64 they are structured exceptions
 * with their own code, on i686 they never enter the fs:0 chain; either way the guard is
 * unlinked as they pass. */
#include "rpc/RpcGuard.h"

#include <intrin.h>
#include <stddef.h>

/* Messages of client stubs that started but did not finish, innermost last. A stub does not
 * call another stub, so a handful is plenty; deeper nesting is simply not tracked. */
#define NIMBO_GUARD_OPEN_MESSAGES 4

typedef struct SNimboGuard
{
    struct SNimboGuard* outer;
    volatile unsigned long code;
    PMIDL_STUB_MESSAGE open[NIMBO_GUARD_OPEN_MESSAGES];
    volatile unsigned openCount;
    /* Copies of the messages of the stubs a fault ended, taken while the stubs' frames still
     * exist: they are gone (and their memory reused) once the guard resumes. */
    struct
    {
        MIDL_STUB_MESSAGE stub;
        RPC_MESSAGE rpc;
    } orphaned[NIMBO_GUARD_OPEN_MESSAGES];
    unsigned orphanedCount;
#ifndef _WIN64
    EXCEPTION_REGISTRATION_RECORD registration;
    void* resume[5]; /* __builtin_setjmp buffer */
#endif
} SNimboGuard;

/* The innermost guard of this thread. */
static __thread SNimboGuard* t_guard;

void NimboRpcStubEnter(PMIDL_STUB_MESSAGE message)
{
    SNimboGuard* guard = t_guard;
    if (guard && guard->openCount < NIMBO_GUARD_OPEN_MESSAGES)
        guard->open[guard->openCount++] = message;
}

void NimboRpcStubLeave(PMIDL_STUB_MESSAGE message)
{
    SNimboGuard* guard = t_guard;
    if (guard && guard->openCount > 0 && guard->open[guard->openCount - 1] == message)
        --guard->openCount;
}

/* gcc's C++ exceptions travel as structured exceptions "GCC" with a flag bit (throw, unwind,
 * forced unwind); they belong to the C++ handlers further up. */
static int IsCxxException(DWORD code)
{
    return (code & 0x20FFFFFFu) == 0x20474343u;
}

/* Called while the exception is dispatched, before anything is unwound. */
static void Caught(SNimboGuard* guard, DWORD code)
{
    guard->code = code;
    guard->orphanedCount = 0;
    for (unsigned i = guard->openCount; i > 0; --i)
    {
        PMIDL_STUB_MESSAGE message = guard->open[i - 1];
        if (!message->RpcMsg)
            continue;
        guard->orphaned[guard->orphanedCount].stub = *message;
        guard->orphaned[guard->orphanedCount].rpc = *message->RpcMsg;
        ++guard->orphanedCount;
    }
    guard->openCount = 0;
}

#ifdef _WIN64

LONG NimboRpcGuardFilter(EXCEPTION_POINTERS* pointers, void* establisherFrame);
void NimboRpcGuardTrampoline(PFN_NIMBO_RPC_GUARDED body, void* context);

LONG NimboRpcGuardFilter(EXCEPTION_POINTERS* pointers, void* establisherFrame)
{
    (void)establisherFrame;
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (IsCxxException(code) || !t_guard)
        return EXCEPTION_CONTINUE_SEARCH;
    Caught(t_guard, code);
    return EXCEPTION_EXECUTE_HANDLER;
}

/* NimboRpcGuardTrampoline(body, context): calls body(context) inside one scope-table entry
 * whose handler target is the instruction after the call. */
__asm__(".text\n"
        ".globl NimboRpcGuardTrampoline\n"
        ".def NimboRpcGuardTrampoline; .scl 2; .type 32; .endef\n"
        ".seh_proc NimboRpcGuardTrampoline\n"
        "NimboRpcGuardTrampoline:\n"
        "\tsubq $40, %rsp\n"
        "\t.seh_stackalloc 40\n"
        "\t.seh_endprologue\n"
        "\t.seh_handler __C_specific_handler, @except\n"
        "\t.seh_handlerdata\n"
        "\t.long 1\n"
        "\t.rva .Lnimbo_guard_begin, .Lnimbo_guard_end, NimboRpcGuardFilter, .Lnimbo_guard_end\n"
        "\t.text\n"
        ".Lnimbo_guard_begin:\n"
        "\tmovq %rcx, %rax\n"
        "\tmovq %rdx, %rcx\n"
        "\tcall *%rax\n"
        "\tnop\n"
        ".Lnimbo_guard_end:\n"
        "\tnop\n"
        "\taddq $40, %rsp\n"
        "\tret\n"
        ".seh_endproc\n");

#else

static EXCEPTION_DISPOSITION __cdecl NimboRpcGuardHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                          CONTEXT* context, void* dispatcherContext)
{
    (void)context;
    (void)dispatcherContext;
    SNimboGuard* guard = (SNimboGuard*)((char*)establisherFrame - offsetof(SNimboGuard, registration));
    if (IS_UNWINDING(record->ExceptionFlags))
        return ExceptionContinueSearch;
    if (IsCxxException(record->ExceptionCode))
        return ExceptionContinueSearch;
    Caught(guard, record->ExceptionCode);
    /* Returns once every frame above ours has been unwound; fs:0 then names our record. */
    RtlUnwind(establisherFrame, 0, record, 0);
    __builtin_longjmp(guard->resume, 1);
}

#endif

/* Ends a guard: on the normal way out and when a C++ exception passes through the guard (this
 * file is compiled with unwind tables for that). */
static void LeaveGuard(SNimboGuard** scope)
{
    SNimboGuard* guard = *scope;
#ifndef _WIN64
    if (__readfsdword(0) == (DWORD)(ULONG_PTR)&guard->registration)
        __writefsdword(0, (DWORD)(ULONG_PTR)guard->registration.Next);
#endif
    t_guard = guard->outer;
}

__attribute__((noinline)) unsigned long NimboRpcCallGuarded(PFN_NIMBO_RPC_GUARDED body, void* context)
{
    SNimboGuard guard;
    guard.outer = t_guard;
    guard.code = 0;
    guard.openCount = 0;
    guard.orphanedCount = 0;
    {
        SNimboGuard* scope __attribute__((cleanup(LeaveGuard))) = &guard;
        t_guard = scope;
#ifdef _WIN64
        NimboRpcGuardTrampoline(body, context);
#else
        guard.registration.Handler = (PEXCEPTION_ROUTINE)NimboRpcGuardHandler;
        guard.registration.Next = (EXCEPTION_REGISTRATION_RECORD*)__readfsdword(0);
        if (__builtin_setjmp(guard.resume) == 0)
        {
            __writefsdword(0, (DWORD)(ULONG_PTR)&guard.registration);
            body(context);
        }
#endif
    }
    /* What the stubs' own cleanup would have done, on the copies: the buffers, and the
     * connections they hold, go back to the runtime (which knows whether there is one). */
    for (unsigned i = 0; i < guard.orphanedCount; ++i)
    {
        guard.orphaned[i].stub.RpcMsg = &guard.orphaned[i].rpc;
        NdrFreeBuffer(&guard.orphaned[i].stub);
    }
    return guard.code;
}
