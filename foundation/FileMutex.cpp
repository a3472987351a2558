#include "foundation/FileMutex.h"

#include "foundation/Exc.h"
#include "foundation/FileSystem.h"

namespace util
{
namespace
{
// The wait-timeout code in HRESULT form; it doubles as the exception's HRESULT.
const DWORD kLockTimeoutCode = 0x80070102;
const DWORD kRetryPauseMs = 1000;
}

CFileMutex::CFileMutex(const std::wstring& lockFilePath)
    : m_path(lockFilePath), m_extendedPath(ToExtendedPath(lockFilePath))
{
}

CFileMutex::~CFileMutex()
{
    Unlock();
}

void CFileMutex::Lock(int timeoutAttempts)
{
    if (IsLocked())
        throw CExc(L"File-based mutex already locked. File path: [%1].", m_path, E_FAIL);
    int attempt = 0;
    for (;;)
    {
        if (timeoutAttempts != kInfinite && attempt >= timeoutAttempts)
            throw CWin32Exc(L"Waiting for the file lock has timed out. Lock path: [%1].", m_path,
                            kLockTimeoutCode);
        m_file.reset(CreateFileW(m_extendedPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (m_file)
            return;
        const DWORD error = GetLastError();
        // Sharing violation: someone holds the lock. Access denied: the holder is deleting the
        // file right now.
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)
            throw CWin32Exc(L"Cannot create a file for the mutex. File path: [%1].", m_path, error);
        Sleep(kRetryPauseMs);
        if (timeoutAttempts != kInfinite)
            ++attempt;
    }
}

void CFileMutex::Unlock() noexcept
{
    if (!IsLocked())
        return;
    // Marked for deletion while still open, so the file is gone the moment the handle closes
    // and no other process can find a stale file left by this one.
    DeleteFileW(m_extendedPath.c_str());
    m_file.reset();
}

CFileMutexLock::CFileMutexLock(std::shared_ptr<CFileMutex> mutex, int timeoutAttempts)
    : m_mutex(std::move(mutex))
{
    m_mutex->Lock(timeoutAttempts);
}

CFileMutexLock::~CFileMutexLock()
{
    m_mutex->Unlock();
}
}
