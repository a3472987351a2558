#include "foundation/FileSystem.h"

#include <wchar.h>

#include <algorithm>

#include "foundation/Exc.h"
#include "foundation/Handle.h"

namespace util
{
namespace
{
const wchar_t kExtendedPrefix[] = L"\\\\?\\";
const wchar_t kExtendedUncPrefix[] = L"\\\\?\\UNC\\";

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

bool IsDotEntry(const wchar_t* name)
{
    return _wcsicmp(name, L".") == 0 || _wcsicmp(name, L"..") == 0;
}

struct SFolderEntry
{
    std::wstring name;
    DWORD attributes;
};

// One pass of FindFirstFileW/FindNextFileW; an unusable pattern simply yields nothing.
std::vector<SFolderEntry> ListFolder(const std::wstring& pattern)
{
    std::vector<SFolderEntry> entries;
    WIN32_FIND_DATAW data;
    CFindHandle find(FindFirstFileW(ToExtendedPath(pattern).c_str(), &data));
    if (!find)
        return entries;
    do
    {
        if (!IsDotEntry(data.cFileName))
            entries.push_back({data.cFileName, data.dwFileAttributes});
    } while (FindNextFileW(find.get(), &data));
    return entries;
}

// The longest path the system takes in extended-length form, and the most folders one
// CreateFolderTree call creates (far beyond any real layout; it bounds time and memory).
constexpr size_t kMaxPathLength = 32767;
constexpr size_t kMaxNewFolders = 256;

bool FolderExists(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    CFindHandle find(FindFirstFileW(ToExtendedPath(JoinPath(folder, L"*")).c_str(), &data));
    return static_cast<bool>(find);
}

// Removes an empty folder. A read-only folder refuses with access denied, so the flag is
// cleared and the removal tried once more.
void RemoveEmptyFolder(const std::wstring& path)
{
    const std::wstring extended = ToExtendedPath(path);
    if (RemoveDirectoryW(extended.c_str()))
        return;
    if (GetLastError() == ERROR_ACCESS_DENIED)
        ResetReadOnly(path);
    if (!RemoveDirectoryW(extended.c_str()))
    {
        const DWORD error = GetLastError();
        throw CWin32Exc(L"RemoveDirectory(%1) failed.", extended, error);
    }
}
}

void SplitPath(const std::wstring& path, std::wstring& folder, std::wstring& name)
{
    size_t k = path.rfind(L'\\');
    if (k == std::wstring::npos)
        k = path.rfind(L'/');
    if (k == std::wstring::npos)
    {
        folder.clear();
        name = path;
        return;
    }
    folder = path.substr(0, k);
    name = path.substr(k + 1);
}

std::wstring StripTrailingSeparator(const std::wstring& path)
{
    if (!path.empty() && IsSeparator(path.back()))
        return path.substr(0, path.size() - 1);
    return path;
}

std::wstring JoinPath(const std::vector<std::wstring>& components)
{
    std::wstring result;
    for (size_t i = 0; i < components.size(); ++i)
    {
        if (i > 0)
            result += L'\\';
        if (!components[i].empty())
            result += StripTrailingSeparator(components[i]);
    }
    return result;
}

std::wstring JoinPath(std::initializer_list<std::wstring> components)
{
    return JoinPath(std::vector<std::wstring>(components));
}

std::wstring JoinPath(const std::wstring& first, const std::wstring& second)
{
    return JoinPath(std::vector<std::wstring>{first, second});
}

std::wstring ToExtendedPath(const std::wstring& path)
{
    if (path.size() >= 4 && _wcsnicmp(path.c_str(), kExtendedPrefix, 4) == 0)
        return path;
    // The system takes "/" literally after the prefix, so it is turned into "\" here.
    std::wstring backslashed = path;
    std::replace(backslashed.begin(), backslashed.end(), L'/', L'\\');
    if (backslashed.size() >= 2 && backslashed[0] == L'\\' && backslashed[1] == L'\\')
        return kExtendedUncPrefix + backslashed.substr(2);
    return kExtendedPrefix + backslashed;
}

std::wstring GetModulePath(HMODULE module)
{
    std::wstring buffer(512, L'\0');
    for (;;)
    {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetModuleFileNameW(module, &buffer[0], static_cast<DWORD>(buffer.size()));
        const DWORD error = GetLastError();
        if (length == 0)
            throw CWin32Exc(L"GetModuleFileNameW() failed.", error);
        // A truncated name fills the whole buffer; older systems do not set the error for it.
        if (error != ERROR_INSUFFICIENT_BUFFER && length < buffer.size())
        {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2 + 1);
    }
}

std::wstring GetModuleName(HMODULE module)
{
    std::wstring folder, name;
    SplitPath(GetModulePath(module), folder, name);
    return name;
}

bool FileExists(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    CFindHandle find(FindFirstFileW(ToExtendedPath(path).c_str(), &data));
    return static_cast<bool>(find);
}

void ResetReadOnly(const std::wstring& path)
{
    try
    {
        const std::wstring extended = ToExtendedPath(path);
        const DWORD attributes = GetFileAttributesW(extended.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
        {
            const DWORD error = GetLastError();
            throw CWin32Exc(L"Cannot get file attributes. File path: [%1].", path, error);
        }
        if ((attributes & FILE_ATTRIBUTE_READONLY) == 0)
            return;
        if (!SetFileAttributesW(extended.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
        {
            const DWORD error = GetLastError();
            throw CWin32Exc(L"Cannot set file attributes. File path: [%1].", path, error);
        }
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot reset the read-only flag. File path: [%1].", path);
        throw;
    }
}

void RemoveFile(const std::wstring& path)
{
    try
    {
        if (!FileExists(path))
            return;
        const std::wstring extended = ToExtendedPath(path);
        if (DeleteFileW(extended.c_str()))
            return;
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED)
            throw CWin32Exc(error);
        ResetReadOnly(path);
        if (!DeleteFileW(extended.c_str()))
        {
            const DWORD secondError = GetLastError();
            throw CWin32Exc(secondError);
        }
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot delete file [%1].", path);
        throw;
    }
}

void CopyFileTo(const std::wstring& source, const std::wstring& target, bool createTargetFolder)
{
    try
    {
        if (createTargetFolder)
        {
            std::wstring folder, name;
            SplitPath(target, folder, name);
            CreateFolderTree(folder);
        }
        if (!CopyFileW(ToExtendedPath(source).c_str(), ToExtendedPath(target).c_str(), FALSE))
        {
            const DWORD error = GetLastError();
            throw CWin32Exc(L"CopyFile() failed.", error);
        }
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot copy file. Source file: [%1]. Target file: [%2].", source, target);
        throw;
    }
}

void EnumFolder(const std::wstring& pattern, std::vector<std::wstring>& files,
                std::vector<std::wstring>& folders)
{
    files.clear();
    folders.clear();
    for (const SFolderEntry& entry : ListFolder(pattern))
    {
        if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY)
            folders.push_back(entry.name);
        else
            files.push_back(entry.name);
    }
}

void CreateFolderTree(const std::wstring& path)
{
    // Iterative, with the sentences of the recursive definition: a failure at some depth
    // carries "Cannot create folder" for that folder and for each one above it up to `path`.
    // levels[i] is the folder at depth i as that definition names it (levels[0] is `path`).
    std::vector<std::wstring> levels{path};
    size_t failing = 0;
    try
    {
        std::wstring p = StripTrailingSeparator(path);
        if (p.size() > kMaxPathLength)
            throw CWin32Exc(ERROR_FILENAME_EXCED_RANGE);
        // Up to the deepest folder that exists. The missing ones are bounded: a path of
        // thousands of missing levels fails at once instead of being created.
        while (!FolderExists(p))
        {
            const size_t k = p.find_last_of(L"\\/");
            // Without a separator there is no parent to create it in; "\\server" alone names
            // a machine, not a folder.
            if (k == std::wstring::npos || (k > 0 && p[k] == L'\\' && p[k - 1] == L'\\'))
            {
                failing = levels.size() - 1;
                throw CExc(L"Invalid folder path: [%1].", p, E_INVALIDARG);
            }
            if (levels.size() > kMaxNewFolders)
                throw CWin32Exc(ERROR_FILENAME_EXCED_RANGE);
            levels.push_back(p.substr(0, k));
            p = StripTrailingSeparator(levels.back());
        }
        // levels.back() exists: the others are created outermost first.
        for (failing = levels.size() - 1; failing-- > 0;)
        {
            const std::wstring extended = ToExtendedPath(StripTrailingSeparator(levels[failing]));
            if (!CreateDirectoryW(extended.c_str(), nullptr))
            {
                const DWORD error = GetLastError();
                throw CWin32Exc(L"CreateDirectoryW(%1) failed.", extended, error);
            }
        }
    }
    catch (CExc& e)
    {
        for (size_t i = failing + 1; i-- > 0;)
            e.AddMessage(L"Cannot create folder [%1].", levels[i]);
        throw;
    }
}

void RemoveFolder(const std::wstring& path)
{
    try
    {
        std::vector<SFolderEntry> entries = ListFolder(JoinPath(ToExtendedPath(path), L"*"));
        for (const SFolderEntry& entry : entries)
        {
            if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                RemoveFile(JoinPath(path, entry.name));
        }
        for (const SFolderEntry& entry : entries)
        {
            if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                continue;
            const std::wstring child = JoinPath(path, entry.name);
            // A linked folder (junction, symbolic link) is removed as a link: following it
            // would delete files that live outside the tree.
            if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            {
                try
                {
                    RemoveEmptyFolder(child);
                }
                catch (CExc& e)
                {
                    e.AddMessage(L"Cannot remove folder [%1].", child);
                    throw;
                }
            }
            else
                RemoveFolder(child);
        }
        RemoveEmptyFolder(path);
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot remove folder [%1].", path);
        throw;
    }
}

void RemoveFolderWithRetry(const std::wstring& path, DWORD pauseMs, int attempts)
{
    for (int i = 0; i < attempts; ++i)
    {
        try
        {
            RemoveFolder(path);
            return;
        }
        catch (CWin32Exc& e)
        {
            if (e.GetCode() != ERROR_ACCESS_DENIED)
                throw;
        }
        Sleep(pauseMs);
    }
}
}
