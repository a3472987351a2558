#include "foundation/Threads.h"

#include "foundation/Exc.h"

namespace util
{
CTerminationEvent::CTerminationEvent()
    : m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!m_event)
    {
        const DWORD error = GetLastError();
        throw CWin32Exc(error);
    }
}

void CTerminationEvent::Signal() noexcept
{
    // Cannot fail on an event this object created and still owns.
    SetEvent(m_event.get());
}

void CTerminationEvent::CheckTermination(DWORD timeoutMs) const
{
    if (WaitForSingleObject(m_event.get(), timeoutMs) == WAIT_OBJECT_0)
        throw STermExc();
}

CThread::CThread(LPTHREAD_START_ROUTINE routine, void* context)
    : m_thread(CreateThread(nullptr, 0, routine, context, 0, &m_id))
{
    if (!m_thread)
    {
        const DWORD error = GetLastError();
        throw CWin32Exc(L"CreateThread() failed.", error);
    }
}

CThread::~CThread()
{
    if (m_thread)
        WaitForSingleObject(m_thread.get(), INFINITE);
}

bool CThread::Join(DWORD timeoutMs)
{
    return WaitForSingleObject(m_thread.get(), timeoutMs) == WAIT_OBJECT_0;
}
}
