#pragma once
// The module object of the in-process server: the count of live objects and server locks
// that decides whether the DLL may be unloaded, and a critical section for module-wide state.
#include <windows.h>

namespace comfw
{
class CDllModule
{
public:
    // The first module constructed in a process becomes the one that Get() returns.
    explicit CDllModule(const GUID& libId) noexcept;
    virtual ~CDllModule();

    CDllModule(const CDllModule&) = delete;
    CDllModule& operator=(const CDllModule&) = delete;

    // The process's module. Programs that link the code without the DLL's module object (unit
    // tests) get a module of their own, so every object still counts somewhere.
    static CDllModule& Get() noexcept;

    // Raised by every live object, by class objects held by a client and by LockServer(TRUE).
    LONG Lock() noexcept { return InterlockedIncrement(&m_lockCount); }
    LONG Unlock() noexcept { return InterlockedDecrement(&m_lockCount); }
    LONG GetLockCount() const noexcept { return InterlockedCompareExchange(const_cast<LONG*>(&m_lockCount), 0, 0); }

    // False when the critical section could not be initialised; the DLL then refuses to load.
    bool IsInitialized() const noexcept { return m_initialized; }

    const GUID& GetLibId() const noexcept { return m_libId; }

    // Module-wide lock, entered only for short copies of module state.
    class CLock
    {
    public:
        explicit CLock(CDllModule& module) noexcept : m_cs(module.m_cs) { EnterCriticalSection(&m_cs); }
        ~CLock() { LeaveCriticalSection(&m_cs); }
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;

    private:
        CRITICAL_SECTION& m_cs;
    };

private:
    LONG m_lockCount = 0;
    CRITICAL_SECTION m_cs;
    bool m_initialized = false;
    GUID m_libId;
};
}
