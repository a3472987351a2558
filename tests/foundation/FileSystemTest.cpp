#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "foundation/FileSystem.h"
#include "foundation/Threads.h"
#include "tests/foundation/FilesTestSupport.h"

using namespace util;
using namespace filestest;

TEST(PathText, SplitStripJoinAndExtend)
{
    struct { const wchar_t *path, *folderAndName; } splits[] = {
        {L"C:\\a\\b.txt", L"C:\\a|b.txt"}, {L"C:/a/b.txt", L"C:/a|b.txt"},
        {L"a/b\\c/d", L"a/b|c/d"},  // any "\" wins over "/"
        {L"name", L"|name"}, {L"C:\\a\\", L"C:\\a|"}};
    for (const auto& c : splits)
    {
        std::wstring folder = L"old", name = L"old";
        SplitPath(c.path, folder, name);
        EXPECT_EQ(folder + L"|" + name, c.folderAndName) << c.path;
    }
    struct { std::wstring actual; const wchar_t* expected; } texts[] = {
        {StripTrailingSeparator(L""), L""}, {StripTrailingSeparator(L"C:/a/"), L"C:/a"},
        {StripTrailingSeparator(L"C:\\a\\\\"), L"C:\\a\\"}, {JoinPath(L"C:\\a\\", L"*"), L"C:\\a\\*"},
        {JoinPath(L"", L"b"), L"\\b"}, {JoinPath({L"\\\\srv", L"share/", L"", L"f.txt"}), L"\\\\srv\\share\\\\f.txt"},
        {ToExtendedPath(L"C:\\a"), L"\\\\?\\C:\\a"}, {ToExtendedPath(L"\\\\srv\\share\\x"), L"\\\\?\\UNC\\srv\\share\\x"},
        {ToExtendedPath(L"\\\\?\\C:/a"), L"\\\\?\\C:/a"}, {ToExtendedPath(L"\\\\?\\unc\\srv\\s"), L"\\\\?\\unc\\srv\\s"},
        {ToExtendedPath(L"a"), L"\\\\?\\a"}, {ToExtendedPath(L"C:/a/b"), L"\\\\?\\C:\\a\\b"},
        {ToExtendedPath(L"//srv/share"), L"\\\\?\\UNC\\srv\\share"}, {ToExtendedPath(L""), L"\\\\?\\"}};
    for (const auto& c : texts)
        EXPECT_EQ(c.actual, c.expected);
}

// One scenario on a local folder, below a path longer than MAX_PATH, and on a share named in
// UNC form (plain and extended); what it leaves is looked at through the local path.
TEST(FileOperations, SameOutcomeOnLocalLongAndUncPaths)
{
    CScratchFolder local;
    CUncShare share;
    std::wstring deep = local / L"long";
    while (deep.size() < 300)
        deep = JoinPath(deep, L"level_abcdefghijklmnopqrstuvwxyz");
    struct SCase { const char* what; std::wstring root, seen; };
    std::vector<SCase> cases = {{"local", local / L"tree", local / L"tree"}, {"longer than MAX_PATH", deep, deep}};
    if (share.Available())  // under Wine
        cases.insert(cases.end(), {{"UNC", share.UncPath() + L"\\tree", share / L"tree"},
                                   {"extended UNC", L"\\\\?\\UNC\\" + share.UncPath().substr(2) + L"\\tree2", share / L"tree2"}});
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::wstring& r = c.root;
        CreateFolderTree(r + (r.rfind(L"\\\\?\\", 0) ? L"\\x\\y/z\\" : L"\\x\\y\\z\\"));  // no "/" in extended form
        for (const wchar_t* level : {L"\\x", L"\\x\\y", L"\\x\\y\\z"})
            EXPECT_TRUE(IsFolder(c.seen + level)) << level;
        WriteTextFile(c.seen + L"\\x\\y\\z\\keep.txt", "keep");
        CreateFolderTree(r + L"\\x\\y\\z");
        EXPECT_TRUE(FileExists(r + L"\\x\\y\\z\\keep.txt")) << "an existing folder is left alone";

        // The copy makes its target folder and overwrites.
        CopyFileTo(r + L"\\x\\y\\z\\keep.txt", r + L"\\c\\copy.txt", true);
        WriteTextFile(c.seen + L"\\x\\y\\z\\keep.txt", "second, longer");
        CopyFileTo(r + L"\\x\\y\\z\\keep.txt", r + L"\\c\\copy.txt", false);
        EXPECT_EQ(ReadAll(ToExtendedPath(c.seen + L"\\c\\copy.txt")), "second, longer");

        std::vector<std::wstring> files, folders;
        EnumFolder(r + L"\\c\\*", files, folders);
        EXPECT_EQ(files, std::vector<std::wstring>{L"copy.txt"});
        EnumFolder(r + L"\\*", files, folders);
        std::sort(folders.begin(), folders.end());
        EXPECT_EQ(folders, (std::vector<std::wstring>{L"c", L"x"}));
        EXPECT_TRUE(files.empty());
        EnumFolder(r + L"\\missing\\*", files, folders);
        EXPECT_TRUE(files.empty() && folders.empty()) << "the lists of an earlier call do not survive";

        // Only the read-only bit is cleared; read-only files and folders go with the tree.
        const std::wstring hidden = ToExtendedPath(c.seen + L"\\c\\copy.txt");
        SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        ResetReadOnly(r + L"\\c\\copy.txt");
        EXPECT_EQ(GetFileAttributesW(hidden.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
                  DWORD(FILE_ATTRIBUTE_HIDDEN));
        for (const wchar_t* entry : {L"\\c\\copy.txt", L"\\x\\y\\z\\keep.txt", L"\\x\\y", L"\\c"})
            SetReadOnly(c.seen + entry);
        RemoveFile(r + L"\\c\\copy.txt");
        RemoveFile(r + L"\\c\\missing.txt");
        EXPECT_FALSE(FileExists(r + L"\\c\\copy.txt"));
        RemoveFolder(r + L"\\");
        EXPECT_FALSE(FileExists(c.seen));
    }
    EXPECT_FALSE(FileExists(L""));
}

// Every failure names each level it went through, outermost first, then the system's line.
TEST(FileOperations, FailuresNameEveryLevelAndTheSystemCode)
{
    CScratchFolder dir;
    const std::wstring file = dir / L"file.txt", tree = dir / L"tree", busy = tree + L"\\inner\\busy.txt",
                       missing = dir / L"missing", relative = L"nimbo_no_such_relative_folder",
                       server = L"\\\\nimbonohost";
    WriteTextFile(file, "not a folder");
    CreateFolderTree(tree + L"\\inner");
    WriteTextFile(busy, "b");
    CFileHandle open = OpenExclusively(busy);
    // Paths no folder layout needs (thousands of new levels, a megabyte of text) fail before
    // anything is created, with one sentence and the system's own reason.
    std::wstring manyLevels = dir / L"deep";
    for (int i = 0; i < 3000; ++i)
        manyLevels += L"\\d";
    const std::wstring huge = dir / std::wstring(1 << 20, L'h');
    const auto create = [](const std::wstring& p) { return L"Cannot create folder [" + p + L"]."; };
    const auto copy = [](const std::wstring& s, const std::wstring& t) {
        return L"Cannot copy file. Source file: [" + s + L"]. Target file: [" + t + L"].";
    };
    struct { std::function<void()> call; long code; std::vector<std::wstring> sentences; } cases[] = {
        // Code 0: no system line, E_INVALIDARG. "\\server" alone names no folder.
        {[&] { CreateFolderTree(relative + L"\\"); }, 0, {create(relative + L"\\"), L"Invalid folder path: [" + relative + L"]."}},
        {[&] { CreateFolderTree(server + L"\\share\\dir"); }, 0,
         {create(server + L"\\share\\dir"), create(server + L"\\share"), create(server), L"Invalid folder path: [" + server + L"]."}},
        {[&] { CreateFolderTree(file + L"\\a\\b"); }, ERROR_ALREADY_EXISTS,
         {create(file + L"\\a\\b"), create(file + L"\\a"), create(file), L"CreateDirectoryW(" + ToExtendedPath(file) + L") failed."}},
        {[&] { CreateFolderTree(manyLevels); }, ERROR_FILENAME_EXCED_RANGE, {create(manyLevels)}},
        {[&] { CreateFolderTree(huge); }, ERROR_FILENAME_EXCED_RANGE, {create(huge)}},
        {[&] { ResetReadOnly(missing); }, ERROR_FILE_NOT_FOUND,
         {L"Cannot reset the read-only flag. File path: [" + missing + L"].", L"Cannot get file attributes. File path: [" + missing + L"]."}},
        {[&] { RemoveFile(busy); }, ERROR_SHARING_VIOLATION, {L"Cannot delete file [" + busy + L"]."}},
        {[&] { CopyFileTo(missing, dir / L"dst.txt", false); }, ERROR_FILE_NOT_FOUND,
         {copy(missing, dir / L"dst.txt"), L"CopyFile() failed."}},
        {[&] { CopyFileTo(file, dir / L"no\\folder\\dst.txt", false); }, ERROR_PATH_NOT_FOUND,
         {copy(file, dir / L"no\\folder\\dst.txt"), L"CopyFile() failed."}},
        {[&] { RemoveFolder(missing); }, ERROR_FILE_NOT_FOUND,
         {L"Cannot remove folder [" + missing + L"].", L"RemoveDirectory(" + ToExtendedPath(missing) + L") failed."}},
        {[&] { RemoveFolder(tree); }, ERROR_SHARING_VIOLATION,
         {L"Cannot remove folder [" + tree + L"].", L"Cannot remove folder [" + tree + L"\\inner].", L"Cannot delete file [" + busy + L"]."}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(c.sentences.front().substr(0, 200)));
        const CExc e = Raised(c.call);
        EXPECT_EQ(e.GetHResult(), c.code ? HRESULT_FROM_WIN32(c.code) : E_INVALIDARG);
        if (c.code)
            ExpectSentencesAndWin32Line(e, c.sentences, c.code);
        else
            EXPECT_EQ(Sentences(e), c.sentences);
    }
    EXPECT_FALSE(FileExists(dir / L"deep"));
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

    SReadyHolder running(program, L"wait");
    ASSERT_TRUE(running.WaitReady());
    DWORD start = GetTickCount();
    RemoveFolderWithRetry(root, 100, 3);
    EXPECT_GE(GetTickCount() - start, 250u) << "a pause after each refused attempt";
    EXPECT_TRUE(FileExists(program)) << "all attempts refused: nothing removed, no error";

    CThread releaser(&CNamedEvent::SetLater, &running.release);
    start = GetTickCount();
    RemoveFolderWithRetry(root, 100, 100);
    EXPECT_GE(GetTickCount() - start, 400u);
    EXPECT_FALSE(FileExists(root));
    EXPECT_EQ(running.process.WaitForExit(15000), 0);
}
