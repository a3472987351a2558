#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/FileSystem.h"
#include "foundation/Threads.h"
#include "tests/foundation/FilesTestSupport.h"

using namespace util;
using namespace filestest;

TEST(PathText, SplitStripJoinAndExtend)
{
    struct SSplit
    {
        const wchar_t *path, *folder, *name;
    };
    for (const SSplit& c : std::vector<SSplit>{{L"C:\\a\\b.txt", L"C:\\a", L"b.txt"},
                                               {L"C:/a/b.txt", L"C:/a", L"b.txt"},
                                               {L"a/b\\c/d", L"a/b", L"c/d"},  // any "\" wins over "/"
                                               {L"name", L"", L"name"},
                                               {L"C:\\a\\", L"C:\\a", L""}})
    {
        std::wstring folder = L"old", name = L"old";
        SplitPath(c.path, folder, name);
        EXPECT_EQ(folder + L"|" + name, std::wstring(c.folder) + L"|" + c.name) << c.path;
    }

    EXPECT_EQ(StripTrailingSeparator(L""), L"");
    EXPECT_EQ(StripTrailingSeparator(L"C:/a/"), L"C:/a");
    EXPECT_EQ(StripTrailingSeparator(L"C:\\a\\\\"), L"C:\\a\\");
    EXPECT_EQ(JoinPath(L"C:\\a\\", L"*"), L"C:\\a\\*");
    EXPECT_EQ(JoinPath(L"", L"b"), L"\\b");
    EXPECT_EQ(JoinPath({L"\\\\srv", L"share/", L"", L"f.txt"}), L"\\\\srv\\share\\\\f.txt");

    struct SCase
    {
        const wchar_t *in, *out;
    };
    for (const SCase& c : std::vector<SCase>{{L"C:\\a", L"\\\\?\\C:\\a"},
                                             {L"\\\\srv\\share\\x", L"\\\\?\\UNC\\srv\\share\\x"},
                                             {L"\\\\?\\C:/a", L"\\\\?\\C:/a"},
                                             {L"\\\\?\\unc\\srv\\s", L"\\\\?\\unc\\srv\\s"},
                                             {L"a", L"\\\\?\\a"},
                                             {L"C:/a/b", L"\\\\?\\C:\\a\\b"},
                                             {L"//srv/share", L"\\\\?\\UNC\\srv\\share"},
                                             {L"", L"\\\\?\\"}})
        EXPECT_EQ(ToExtendedPath(c.in), c.out) << c.in;
}

TEST(FileExistsAndEnumFolder, SeeFilesAndFoldersAndNeverRaise)
{
    CScratchFolder dir;
    WriteTextFile(dir / L"b.txt", "b");
    WriteTextFile(dir / L"a.txt", "a");
    CreateFolderTree(dir / L"sub");
    EXPECT_TRUE(FileExists(dir / L"a.txt"));
    EXPECT_TRUE(FileExists(dir / L"sub"));
    EXPECT_FALSE(FileExists(dir / L"missing\\a.txt"));
    EXPECT_FALSE(FileExists(L""));

    std::vector<std::wstring> files, folders;
    EnumFolder(dir / L"*", files, folders);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::wstring>{L"a.txt", L"b.txt"}));
    EXPECT_EQ(folders, std::vector<std::wstring>{L"sub"});
    // Nothing found: the lists of an earlier call do not survive.
    EnumFolder(dir / L"missing\\*", files, folders);
    EXPECT_TRUE(files.empty() && folders.empty());
}

TEST(CreateFolderTree, CreatesEveryMissingLevelOfShortAndLongPaths)
{
    CScratchFolder dir;
    CreateFolderTree(dir / L"x\\y/z\\");
    for (const wchar_t* level : {L"x", L"x\\y", L"x\\y\\z"})
        EXPECT_TRUE(IsFolder(dir / level)) << level;
    WriteTextFile(dir / L"x\\y\\z\\keep.txt", "keep");
    CreateFolderTree(dir / L"x\\y\\z");
    EXPECT_TRUE(FileExists(dir / L"x\\y\\z\\keep.txt")) << "an existing folder is left alone";

    std::wstring deep = dir / L"long";
    while (deep.size() < 300)
        deep = JoinPath(deep, L"level_abcdefghijklmnopqrstuvwxyz");
    CreateFolderTree(deep);
    EXPECT_TRUE(IsFolder(deep));
}

TEST(CreateFolderTree, FailuresNameEveryLevelAndTheFailingCall)
{
    CExc relative = Raised([] { CreateFolderTree(L"nimbo_no_such_relative_folder\\"); });
    EXPECT_EQ(relative.GetHResult(), E_INVALIDARG);
    EXPECT_EQ(Sentences(relative), (std::vector<std::wstring>{
                                       L"Cannot create folder [nimbo_no_such_relative_folder\\].",
                                       L"Invalid folder path: [nimbo_no_such_relative_folder]."}));

    // "\\server" alone names no folder, so creation stops there.
    const std::wstring server = L"\\\\nimbonohost";
    CExc unc = Raised([&] { CreateFolderTree(server + L"\\share\\dir"); });
    EXPECT_EQ(unc.GetHResult(), E_INVALIDARG);
    EXPECT_EQ(Sentences(unc), (std::vector<std::wstring>{L"Cannot create folder [" + server + L"\\share\\dir].",
                                                         L"Cannot create folder [" + server + L"\\share].",
                                                         L"Cannot create folder [" + server + L"].",
                                                         L"Invalid folder path: [" + server + L"]."}));

    CScratchFolder dir;
    const std::wstring blocker = dir / L"file.txt";
    WriteTextFile(blocker, "not a folder");
    CWin32Exc blocked = Raised<CWin32Exc>([&] { CreateFolderTree(blocker + L"\\a\\b"); });
    EXPECT_EQ(blocked.GetHResult(), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    ExpectSentencesAndWin32Line(blocked,
                                {L"Cannot create folder [" + blocker + L"\\a\\b].", L"Cannot create folder [" + blocker + L"\\a].",
                                 L"Cannot create folder [" + blocker + L"].",
                                 L"CreateDirectoryW(" + ToExtendedPath(blocker) + L") failed."},
                                ERROR_ALREADY_EXISTS);

    // Paths no folder layout needs (thousands of new levels, a megabyte of text) fail before
    // anything is created, with one sentence and the system's own reason.
    std::wstring manyLevels = dir / L"deep";
    for (int i = 0; i < 3000; ++i)
        manyLevels += L"\\d";
    const std::wstring huge = dir / std::wstring(1 << 20, L'h');
    for (const std::wstring& path : {manyLevels, huge})
    {
        CWin32Exc refused = Raised<CWin32Exc>([&] { CreateFolderTree(path); });
        ExpectSentencesAndWin32Line(refused, {L"Cannot create folder [" + path + L"]."}, ERROR_FILENAME_EXCED_RANGE);
        EXPECT_FALSE(FileExists(dir / L"deep"));
    }
}

TEST(RemoveFileAndResetReadOnly, ReadOnlyMissingAndBusyFiles)
{
    CScratchFolder dir;
    const std::wstring readOnly = dir / L"ro.txt", busy = dir / L"busy.txt", missing = dir / L"missing.txt";
    WriteTextFile(readOnly, "r");
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    ResetReadOnly(readOnly);
    EXPECT_EQ(GetFileAttributesW(readOnly.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN)) << "only the read-only bit is cleared";
    SetReadOnly(readOnly);
    RemoveFile(readOnly);
    EXPECT_FALSE(FileExists(readOnly));
    RemoveFile(missing);

    CWin32Exc noFile = Raised<CWin32Exc>([&] { ResetReadOnly(missing); });
    EXPECT_EQ(noFile.GetCode(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ExpectSentencesAndWin32Line(noFile,
                                {L"Cannot reset the read-only flag. File path: [" + missing + L"].",
                                 L"Cannot get file attributes. File path: [" + missing + L"]."},
                                ERROR_FILE_NOT_FOUND);

    WriteTextFile(busy, "b");
    CFileHandle open = OpenExclusively(busy);
    CWin32Exc inUse = Raised<CWin32Exc>([&] { RemoveFile(busy); });
    EXPECT_EQ(inUse.GetCode(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ExpectSentencesAndWin32Line(inUse, {L"Cannot delete file [" + busy + L"]."}, ERROR_SHARING_VIOLATION);
}

TEST(CopyFileTo, CreatesTheTargetFolderOverwritesAndReportsBothPaths)
{
    CScratchFolder dir;
    const std::wstring source = dir / L"src.txt", target = dir / L"new\\deeper\\dst.txt";
    WriteTextFile(source, "first");
    CopyFileTo(source, target, true);
    WriteTextFile(source, "second, longer");
    CopyFileTo(source, target, false);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_TRUE(GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 14u);

    struct SCase
    {
        const wchar_t *source, *target;
        DWORD code;
    };
    for (const SCase& c : std::vector<SCase>{{L"missing.txt", L"dst.txt", ERROR_FILE_NOT_FOUND},
                                             {L"src.txt", L"no\\folder\\dst.txt", ERROR_PATH_NOT_FOUND}})
    {
        const std::wstring from = dir / c.source, to = dir / c.target;
        CWin32Exc e = Raised<CWin32Exc>([&] { CopyFileTo(from, to, false); });
        EXPECT_EQ(e.GetCode(), c.code) << c.source;
        ExpectSentencesAndWin32Line(
            e, {L"Cannot copy file. Source file: [" + from + L"]. Target file: [" + to + L"].", L"CopyFile() failed."},
            c.code);
    }
}

TEST(RemoveFolder, RemovesWholeTreesWithReadOnlyEntries)
{
    CScratchFolder dir;
    const std::wstring root = dir / L"tree";
    CreateFolderTree(root + L"\\a\\b");
    CreateFolderTree(root + L"\\c");
    WriteTextFile(root + L"\\top.txt", "t");
    WriteTextFile(root + L"\\a\\b\\ro.txt", "r");
    for (const wchar_t* entry : {L"\\a\\b\\ro.txt", L"\\a\\b", L"\\c"})
        SetReadOnly(root + entry);
    RemoveFolder(root + L"\\");
    EXPECT_FALSE(FileExists(root));
    EXPECT_TRUE(IsFolder(dir.Path()));
}

TEST(RemoveFolder, MissingFolderAndBusyFileAreReportedPerLevel)
{
    CScratchFolder dir;
    const std::wstring missing = dir / L"missing";
    CWin32Exc e = Raised<CWin32Exc>([&] { RemoveFolder(missing); });
    EXPECT_EQ(e.GetCode(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ExpectSentencesAndWin32Line(
        e, {L"Cannot remove folder [" + missing + L"].", L"RemoveDirectory(" + ToExtendedPath(missing) + L") failed."},
        ERROR_FILE_NOT_FOUND);

    const std::wstring root = dir / L"tree", busy = root + L"\\inner\\busy.txt";
    CreateFolderTree(root + L"\\inner");
    WriteTextFile(busy, "b");
    CFileHandle open = OpenExclusively(busy);
    e = Raised<CWin32Exc>([&] { RemoveFolder(root); });
    EXPECT_EQ(e.GetCode(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ExpectSentencesAndWin32Line(e,
                                {L"Cannot remove folder [" + root + L"].", L"Cannot remove folder [" + root + L"\\inner].",
                                 L"Cannot delete file [" + busy + L"]."},
                                ERROR_SHARING_VIOLATION);
}

// A running program's file cannot be deleted (access denied) until the program ends: the case
// the retry is for. Other errors are not waited out.
TEST(RemoveFolderWithRetry, WaitsOutAccessDeniedOnlyAndGivesUpQuietly)
{
    CScratchFolder dir;
    const std::wstring root = dir / L"agent", program = root + L"\\agent.exe";
    CopyFileTo(SiblingProgram(kLockHolder), program, true);
    RemoveFolderWithRetry(root, 10, 0);
    EXPECT_TRUE(FileExists(program)) << "no attempts, nothing done";
    {
        CFileHandle open = OpenExclusively(program);
        const DWORD start = GetTickCount();
        CWin32Exc e = Raised<CWin32Exc>([&] { RemoveFolderWithRetry(root, 2000, 5); });
        EXPECT_EQ(e.GetCode(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_LT(GetTickCount() - start, 1500u);
    }

    CReadyHolder running(program, L"wait");
    ASSERT_TRUE(running.WaitReady());
    DWORD start = GetTickCount();
    RemoveFolderWithRetry(root, 100, 3);
    EXPECT_GE(GetTickCount() - start, 250u) << "a pause after each refused attempt";
    EXPECT_TRUE(FileExists(program)) << "all attempts refused: nothing removed, no error";

    CThread releaser(&CNamedEvent::SetLater, &running.Release());
    start = GetTickCount();
    RemoveFolderWithRetry(root, 100, 100);
    EXPECT_GE(GetTickCount() - start, 400u);
    EXPECT_FALSE(FileExists(root));
    EXPECT_EQ(running.Process().WaitForExit(15000), 0);
}

TEST(UncPaths, FileOperationsWorkOnAShareInPlainAndExtendedForm)
{
    CUncShare share;
    SKIP_WITHOUT_UNC(share);
    const std::wstring unc = share.UncPath(), local = share.LocalPath();
    CreateFolderTree(unc + L"\\agent\\bin\\");
    EXPECT_TRUE(IsFolder(local + L"\\agent\\bin"));
    WriteTextFile(local + L"\\source.txt", "payload");
    CopyFileTo(unc + L"\\source.txt", unc + L"\\agent\\bin\\copy.txt", false);
    CopyFileTo(local + L"\\source.txt", L"\\\\?\\UNC\\" + unc.substr(2) + L"\\agent\\other\\copy.txt", true);
    EXPECT_TRUE(FileExists(local + L"\\agent\\bin\\copy.txt"));
    EXPECT_TRUE(FileExists(local + L"\\agent\\other\\copy.txt"));

    std::vector<std::wstring> files, folders;
    EnumFolder(unc + L"\\agent\\*", files, folders);
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(folders, (std::vector<std::wstring>{L"bin", L"other"}));

    SetReadOnly(local + L"\\agent\\bin\\copy.txt");
    RemoveFolder(unc + L"\\agent");
    RemoveFile(unc + L"\\source.txt");
    EXPECT_FALSE(FileExists(local + L"\\agent"));
    EXPECT_FALSE(FileExists(local + L"\\source.txt"));
}
