#pragma once
// Where the lines of a logger end up. A logger hands every finished line to its writer; the
// writer decides the format and the medium.

#include <windows.h>
#include <string>
#include <vector>

namespace util
{
// A re-entrant lock (a critical section). Loggers and writers each own one.
class CLogLock
{
public:
    CLogLock() noexcept { InitializeCriticalSection(&m_cs); }
    ~CLogLock() { DeleteCriticalSection(&m_cs); }
    CLogLock(const CLogLock&) = delete;
    CLogLock& operator=(const CLogLock&) = delete;

    void Enter() noexcept { EnterCriticalSection(&m_cs); }
    void Leave() noexcept { LeaveCriticalSection(&m_cs); }

    // Holds the lock for the lifetime of the holder.
    class CHold
    {
    public:
        explicit CHold(CLogLock& lock) noexcept : m_lock(lock) { m_lock.Enter(); }
        ~CHold() { m_lock.Leave(); }
        CHold(const CHold&) = delete;
        CHold& operator=(const CHold&) = delete;

    private:
        CLogLock& m_lock;
    };

private:
    CRITICAL_SECTION m_cs;
};

using LogTags = std::vector<std::wstring>;

class CLogWriter
{
public:
    virtual ~CLogWriter() = default;

    // Hands one line (no line breaks inside) to the writer. Lines from any number of loggers
    // and threads reach Write one at a time.
    void WriteLine(int level, const LogTags& tags, int depth, const std::wstring& text)
    {
        CLogLock::CHold hold(m_lock);
        Write(level, tags, depth, text);
    }

protected:
    // Called under the writer's lock. `depth` is the indentation level of the line.
    virtual void Write(int level, const LogTags& tags, int depth, const std::wstring& text) = 0;

private:
    CLogLock m_lock;
};
}
