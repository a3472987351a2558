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

// Lock must time out; gives back how long that took.
DWORD ExpectTimeout(CFileMutex& mutex, int attempts)
{
    const DWORD start = GetTickCount();
    CWin32Exc e = Raised<CWin32Exc>([&] { mutex.Lock(attempts); });
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(e.GetHResult(), kTimeoutHr);
    EXPECT_EQ(e.GetCode(), static_cast<DWORD>(kTimeoutHr));
    ExpectSentencesAndWin32Line(e, {L"Waiting for the file lock has timed out. Lock path: [" + mutex.Path() + L"]."},
                                -2147024638);
    EXPECT_FALSE(mutex.IsLocked());
    return elapsed;
}

long TryInOtherProcess(const std::wstring& lockPath, int attempts)
{
    return CChildProcess(SiblingProgram(kLockHolder), L"try " + Quoted(lockPath) + L" " + std::to_wstring(attempts))
        .WaitForExit(15000);
}
}

// Both directions between this process and a second one, on one lock file.
TEST(FileMutex, ExcludesAnotherProcessTimesOutOrWaitsAndOutlivesAKilledHolder)
{
    CScratchFolder dir;
    const std::wstring lockPath = dir / L"install.lck";
    {
        CFileMutex mutex(lockPath);
        mutex.Lock(1);
        EXPECT_TRUE(FileExists(lockPath));
        EXPECT_EQ(TryInOtherProcess(lockPath, 2), 1) << "the other process must time out";
        mutex.Unlock();
        EXPECT_FALSE(FileExists(lockPath)) << "the file exists only while locked";
        EXPECT_EQ(TryInOtherProcess(lockPath, 1), 0);
    }
    SReadyHolder holder(SiblingProgram(kLockHolder), L"hold " + Quoted(lockPath));
    ASSERT_TRUE(holder.WaitReady()) << "holder did not take the lock";
    CFileMutex mutex(lockPath);
    const DWORD elapsed = ExpectTimeout(mutex, 3);
    EXPECT_GE(elapsed, 2500u) << "three attempts one second apart";
    EXPECT_LT(elapsed, 8000u);
    // Without a limit the wait lasts until the holder lets go.
    CThread releaser(&CNamedEvent::SetLater, &holder.release);
    const DWORD start = GetTickCount();
    mutex.Lock(CFileMutex::kInfinite);
    EXPECT_GE(GetTickCount() - start, 400u);
    EXPECT_TRUE(mutex.IsLocked());
    EXPECT_EQ(holder.process.WaitForExit(15000), 0);
    mutex.Unlock();

    // The system closes a dead holder's handle; its file stays but can be taken.
    SReadyHolder killed(SiblingProgram(kLockHolder), L"hold " + Quoted(lockPath));
    ASSERT_TRUE(killed.WaitReady());
    killed.process.Kill();
    mutex.Lock(2);
    EXPECT_TRUE(mutex.IsLocked());
}

TEST(FileMutex, FailuresThatDoNotWaitAndTheScopedLock)
{
    CScratchFolder dir;
    const std::wstring lockPath = dir / L"install.lck";
    {
        CFileMutex mutex(lockPath);
        mutex.Lock(1);
        CExc twice = Raised([&] { mutex.Lock(5); });
        EXPECT_EQ(twice.GetHResult(), E_FAIL);
        EXPECT_EQ(Sentences(twice),
                  std::vector<std::wstring>{L"File-based mutex already locked. File path: [" + lockPath + L"]."});
        EXPECT_TRUE(mutex.IsLocked()) << "the refused second Lock must not drop the first";
        CFileMutex other(lockPath);  // another object in the same process is excluded like another process
        ExpectTimeout(other, 1);
    }
    EXPECT_FALSE(FileExists(lockPath)) << "destroying a locked mutex unlocks it";

    CFileMutex zero(lockPath);
    EXPECT_LT(ExpectTimeout(zero, 0), 500u);
    EXPECT_FALSE(FileExists(lockPath)) << "a zero time-out makes no attempt";

    const std::wstring unreachable = dir / L"missing\\install.lck";
    CFileMutex mutex(unreachable);
    const DWORD start = GetTickCount();
    CWin32Exc e = Raised<CWin32Exc>([&] { mutex.Lock(CFileMutex::kInfinite); });
    EXPECT_LT(GetTickCount() - start, 500u) << "only sharing conflicts are waited out";
    EXPECT_EQ(e.GetHResult(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(FirstSentence(e), L"Cannot create a file for the mutex. File path: [" + unreachable + L"].");

    auto shared = std::make_shared<CFileMutex>(lockPath);
    {
        CFileMutexLock hold(shared, 1);
        EXPECT_TRUE(FileExists(lockPath));
    }
    EXPECT_FALSE(shared->IsLocked());
    EXPECT_FALSE(FileExists(lockPath));
}
