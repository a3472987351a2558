#pragma once
#include <windows.h>
#include <memory>
#include <utility>

namespace vss
{
// One shared reference (possibly empty) that a connection object and the children it hands
// out all look at. The lock is held only while the reference is copied or replaced, never
// while the held object is built or destroyed, so a slow engine or client never blocks a
// reader on another thread.
template <class T>
class CGuardedSlot
{
public:
    CGuardedSlot() noexcept { InitializeCriticalSection(&m_lock); }
    ~CGuardedSlot() { DeleteCriticalSection(&m_lock); }
    CGuardedSlot(const CGuardedSlot&) = delete;
    CGuardedSlot& operator=(const CGuardedSlot&) = delete;

    std::shared_ptr<T> Get() const
    {
        CLock lock(m_lock);
        return m_value;
    }

    // Setting an empty reference releases the held object; it is destroyed after the lock
    // is left when this was its last reference.
    void Set(std::shared_ptr<T> value)
    {
        {
            CLock lock(m_lock);
            m_value.swap(value);
        }
        // 'value' now holds the previous object and goes away here, outside the lock.
    }

private:
    class CLock
    {
    public:
        explicit CLock(CRITICAL_SECTION& cs) noexcept : m_cs(cs) { EnterCriticalSection(&m_cs); }
        ~CLock() { LeaveCriticalSection(&m_cs); }
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;

    private:
        CRITICAL_SECTION& m_cs;
    };

    mutable CRITICAL_SECTION m_lock;
    std::shared_ptr<T> m_value;
};
}
