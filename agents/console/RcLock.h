#pragma once
// Holds a critical section for the rest of a scope.

#include <windows.h>

namespace agent
{
class CRcLockHold
{
public:
    explicit CRcLockHold(CRITICAL_SECTION& lock) : m_lock(lock) { EnterCriticalSection(&m_lock); }
    ~CRcLockHold() { LeaveCriticalSection(&m_lock); }
    CRcLockHold(const CRcLockHold&) = delete;
    CRcLockHold& operator=(const CRcLockHold&) = delete;

private:
    CRITICAL_SECTION& m_lock;
};
}
