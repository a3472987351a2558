#pragma once
#include <windows.h>

#include "foundation/Handle.h"

namespace util
{
// A re-entrant lock for one object's state; CHold keeps it for a scope.
class CCriticalSection
{
public:
    CCriticalSection() noexcept { InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() { DeleteCriticalSection(&m_cs); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter() noexcept { EnterCriticalSection(&m_cs); }
    void Leave() noexcept { LeaveCriticalSection(&m_cs); }

    class CHold
    {
    public:
        explicit CHold(CCriticalSection& lock) noexcept : m_lock(lock) { m_lock.Enter(); }
        ~CHold() { m_lock.Leave(); }
        CHold(const CHold&) = delete;
        CHold& operator=(const CHold&) = delete;

    private:
        CCriticalSection& m_lock;
    };

private:
    CRITICAL_SECTION m_cs;
};

// The way one thread tells a worker to stop: the worker calls CheckTermination between its
// steps and leaves its loop when STermExc comes out.
class CTerminationEvent
{
public:
    // Manual reset, not signalled.
    CTerminationEvent();
    CTerminationEvent(const CTerminationEvent&) = delete;
    CTerminationEvent& operator=(const CTerminationEvent&) = delete;

    // Safe in destructors and stop paths: never throws.
    void Signal() noexcept;
    // Waits up to `timeoutMs` (0 polls) and throws STermExc when the event is signalled; a
    // signalled event throws even with a zero timeout.
    void CheckTermination(DWORD timeoutMs = 0) const;

    HANDLE Handle() const noexcept { return m_event.get(); }

private:
    CEventHandle m_event;
};

// A thread that runs at once. Destroying the object waits for the thread to end, so the
// routine must be told to stop first (for example through a CTerminationEvent).
class CThread
{
public:
    CThread(LPTHREAD_START_ROUTINE routine, void* context);
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // True when the thread has ended within the timeout.
    bool Join(DWORD timeoutMs);
    // Lets the thread run on without this object (closes the handle); destroying the object
    // then waits for nothing. For a thread that must let go of itself.
    void Detach() noexcept { m_thread.reset(); }

    HANDLE Handle() const noexcept { return m_thread.get(); }
    DWORD Id() const noexcept { return m_id; }

private:
    // Declared first: CreateThread writes it while m_thread is being initialised.
    DWORD m_id = 0;
    CThreadHandle m_thread;
};
}
