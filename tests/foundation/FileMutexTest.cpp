#include <gtest/gtest.h>

#include <memory>

#include "foundation/FileMutex.h"
#include "foundation/Threads.h"
#include "tests/foundation/FilesTestSupport.h"

using namespace util;
using namespace filestest;

namespace
{
const HRESULT kTimeoutHr = HRESULT(0x80070102);

// Lock must time out; `elapsedMs` tells how long that took.
void ExpectTimeout(CFileMutex& mutex, int attempts, DWORD& elapsedMs)
{
    const DWORD start = GetTickCount();
    CWin32Exc e = Raised<CWin32Exc>([&] { mutex.Lock(attempts); });
    elapsedMs = GetTickCount() - start;
    EXPECT_EQ(e.GetHResult(), kTimeoutHr);
    EXPECT_EQ(e.GetCode(), static_cast<DWORD>(kTimeoutHr));
    ExpectSentencesAndWin32Line(e, {L"Waiting for the file lock has timed out. Lock path: [" + mutex.Path() + L"]."},
                                -2147024638);
    EXPECT_FALSE(mutex.IsLocked());
}

long TryInOtherProcess(const std::wstring& lockPath, int attempts)
{
    CChildProcess child(SiblingProgram(kLockHolder), L"try " + Quoted(lockPath) + L" " + std::to_wstring(attempts));
    return child.WaitForExit(15000);
}

// Both directions between this process and a second one, on one lock file.
void CheckExclusionBetweenProcesses(const std::wstring& lockPath)
{
    {
        CFileMutex mutex(lockPath);
        mutex.Lock(1);
        EXPECT_TRUE(FileExists(lockPath));
        EXPECT_EQ(TryInOtherProcess(lockPath, 2), 1) << "the other process must time out";
        mutex.Unlock();
        EXPECT_FALSE(FileExists(lockPath)) << "the file exists only while locked";
        EXPECT_EQ(TryInOtherProcess(lockPath, 1), 0);
    }

    CReadyHolder holder(SiblingProgram(kLockHolder), L"hold " + Quoted(lockPath));
    ASSERT_TRUE(holder.WaitReady()) << "holder did not take the lock";
    CFileMutex mutex(lockPath);
    DWORD elapsed = 0;
    ExpectTimeout(mutex, 3, elapsed);
    EXPECT_GE(elapsed, 2500u) << "three attempts one second apart";
    EXPECT_LT(elapsed, 8000u);

    holder.Release().Set();
    EXPECT_EQ(holder.Process().WaitForExit(15000), 0);
    mutex.Lock(3);
    EXPECT_TRUE(mutex.IsLocked());
}
}

TEST(FileMutex, ExcludesAnotherProcessAndTimesOutAfterTheGivenAttempts)
{
    CScratchFolder dir;
    CheckExclusionBetweenProcesses(dir / L"install.lck");
}

TEST(FileMutex, WithoutLimitWaitsForTheHolderAndOutlivesAKilledOne)
{
    CScratchFolder dir;
    const std::wstring lockPath = dir / L"install.lck";
    {
        CReadyHolder holder(SiblingProgram(kLockHolder), L"hold " + Quoted(lockPath));
        ASSERT_TRUE(holder.WaitReady());
        CThread releaser(&CNamedEvent::SetLater, &holder.Release());
        CFileMutex mutex(lockPath);
        const DWORD start = GetTickCount();
        mutex.Lock(CFileMutex::kInfinite);
        EXPECT_GE(GetTickCount() - start, 400u);
        EXPECT_TRUE(mutex.IsLocked());
    }

    // The system closes a dead holder's handle; its file stays but can be taken.
    CReadyHolder holder(SiblingProgram(kLockHolder), L"hold " + Quoted(lockPath));
    ASSERT_TRUE(holder.WaitReady());
    holder.Process().Kill();
    CFileMutex mutex(lockPath);
    mutex.Lock(2);
    EXPECT_TRUE(mutex.IsLocked());
}

TEST(FileMutex, FailuresThatDoNotWait)
{
    CScratchFolder dir;
    const std::wstring lockPath = dir / L"install.lck";
    DWORD elapsed = 0;
    {
        CFileMutex mutex(lockPath);
        mutex.Lock(1);
        CExc twice = Raised([&] { mutex.Lock(5); });
        EXPECT_EQ(twice.GetHResult(), E_FAIL);
        EXPECT_EQ(Sentences(twice),
                  std::vector<std::wstring>{L"File-based mutex already locked. File path: [" + lockPath + L"]."});
        EXPECT_TRUE(mutex.IsLocked()) << "the refused second Lock must not drop the first";

        // Another object in the same process is excluded like another process.
        CFileMutex other(lockPath);
        ExpectTimeout(other, 1, elapsed);
    }
    EXPECT_FALSE(FileExists(lockPath)) << "destroying a locked mutex unlocks it";

    CFileMutex zero(lockPath);
    ExpectTimeout(zero, 0, elapsed);
    EXPECT_LT(elapsed, 500u);
    EXPECT_FALSE(FileExists(lockPath)) << "a zero time-out makes no attempt";

    const std::wstring unreachable = dir / L"missing\\install.lck";
    CFileMutex mutex(unreachable);
    const DWORD start = GetTickCount();
    CWin32Exc e = Raised<CWin32Exc>([&] { mutex.Lock(CFileMutex::kInfinite); });
    EXPECT_LT(GetTickCount() - start, 500u) << "only sharing conflicts are waited out";
    EXPECT_EQ(e.GetHResult(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(FirstSentence(e), L"Cannot create a file for the mutex. File path: [" + unreachable + L"].");
}

TEST(FileMutexLock, HoldsTheLockForItsScope)
{
    CScratchFolder dir;
    auto mutex = std::make_shared<CFileMutex>(dir / L"install.lck");
    {
        CFileMutexLock hold(mutex, 1);
        EXPECT_TRUE(FileExists(mutex->Path()));
    }
    EXPECT_FALSE(mutex->IsLocked());
    EXPECT_FALSE(FileExists(mutex->Path()));
}
