#pragma once
#include <windows.h>
#include <memory>
#include <utility>

#include "foundation/Exc.h"
#include "foundation/Threads.h"

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
    CGuardedSlot() noexcept = default;
    CGuardedSlot(const CGuardedSlot&) = delete;
    CGuardedSlot& operator=(const CGuardedSlot&) = delete;

    std::shared_ptr<T> Get() const
    {
        util::CCriticalSection::CHold lock(m_lock);
        return m_value;
    }

    // What a child object works with for the duration of one member, held so that a
    // Disconnect meanwhile cannot destroy it under the call. An empty slot (never filled, or
    // emptied by Disconnect) raises message `messageId` with 0x80070003.
    std::shared_ptr<T> GetOrRaise(UINT messageId) const
    {
        std::shared_ptr<T> value = Get();
        if (!value)
            throw CExc(MsgText(messageId), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
        return value;
    }

    // Setting an empty reference releases the held object; it is destroyed after the lock
    // is left when this was its last reference.
    void Set(std::shared_ptr<T> value)
    {
        {
            util::CCriticalSection::CHold lock(m_lock);
            m_value.swap(value);
        }
        // 'value' now holds the previous object and goes away here, outside the lock.
    }

private:
    mutable util::CCriticalSection m_lock;
    std::shared_ptr<T> m_value;
};
}
