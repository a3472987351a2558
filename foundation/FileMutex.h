#pragma once
#include <windows.h>
#include <memory>
#include <string>

#include "foundation/Handle.h"

namespace util
{
// A lock that excludes every thread, process and machine that can reach the lock file: the
// holder keeps the file open without read or write sharing, so other opens fail until it is
// closed. The file exists exactly while the lock is held; if the holder dies, the system closes
// its handle and the next Lock re-creates the file. One object serves one owner.
class CFileMutex
{
public:
    // Waits without limit.
    static constexpr int kInfinite = -1;

    explicit CFileMutex(const std::wstring& lockFilePath);
    ~CFileMutex();
    CFileMutex(const CFileMutex&) = delete;
    CFileMutex& operator=(const CFileMutex&) = delete;

    // `timeoutAttempts` tries, one second apart (kInfinite: until it succeeds; 0 fails at once).
    // A second Lock on a locked object raises instead of waiting.
    void Lock(int timeoutAttempts);
    void Unlock() noexcept;

    bool IsLocked() const noexcept { return m_file.valid(); }
    const std::wstring& Path() const noexcept { return m_path; }

private:
    CFileHandle m_file;
    std::wstring m_path;
    std::wstring m_extendedPath;
};

// Holds a CFileMutex locked for its own lifetime.
class CFileMutexLock
{
public:
    CFileMutexLock(std::shared_ptr<CFileMutex> mutex, int timeoutAttempts);
    ~CFileMutexLock();
    CFileMutexLock(const CFileMutexLock&) = delete;
    CFileMutexLock& operator=(const CFileMutexLock&) = delete;

private:
    std::shared_ptr<CFileMutex> m_mutex;
};
}
