#pragma once
#include <windows.h>
#include <initializer_list>
#include <string>
#include <vector>

#include "foundation/ModuleInstance.h"

// Exception-raising wrappers over the file system. Every path reaches the system in
// extended-length form, so local paths longer than MAX_PATH and UNC paths on a guest's share
// behave the same way; messages show the path as the caller gave it.
namespace util
{
// Path text helpers: no system calls, no failures. Both "\" and "/" separate; joining uses "\".
void SplitPath(const std::wstring& path, std::wstring& folder, std::wstring& name);
std::wstring StripTrailingSeparator(const std::wstring& path);
std::wstring JoinPath(const std::wstring& first, const std::wstring& second);
std::wstring JoinPath(std::initializer_list<std::wstring> components);
std::wstring JoinPath(const std::vector<std::wstring>& components);

// "\\?\C:\a" for "C:\a", "\\?\UNC\srv\share" for "\\srv\share"; a path that already starts
// with "\\?\" is returned as it is. Otherwise "/" becomes "\", which the system no longer
// does for extended-length paths. Relative paths are not made absolute: pass absolute paths.
std::wstring ToExtendedPath(const std::wstring& path);

// Full path of a module's file; the library's own file by default.
std::wstring GetModulePath(HMODULE module = GetModuleInstance());
std::wstring GetModuleName(HMODULE module = GetModuleInstance());

// True when anything (file or folder) answers to the path; never raises.
bool FileExists(const std::wstring& path);
void ResetReadOnly(const std::wstring& path);
// A missing file is not an error; a read-only one is made writable and deleted.
void RemoveFile(const std::wstring& path);
// Overwrites an existing target.
void CopyFileTo(const std::wstring& source, const std::wstring& target, bool createTargetFolder);
// Names (not paths) of the entries matching a search pattern such as JoinPath(folder, L"*"),
// in the order the system returns them, without "." and "..". Never raises: a pattern that
// matches nothing, or a missing folder, gives two empty lists.
void EnumFolder(const std::wstring& pattern, std::vector<std::wstring>& files,
                std::vector<std::wstring>& folders);
// Creates the folder and every missing parent; an existing folder is left alone. A path longer
// than the system takes, or one that would need more than 256 new folders, fails with
// ERROR_FILENAME_EXCED_RANGE before anything is created.
void CreateFolderTree(const std::wstring& path);
// Removes the folder with everything below it, read-only entries included. A missing folder
// is an error.
void RemoveFolder(const std::wstring& path);
// For folders that another process may still have open (a service just stopped): access
// denied is waited out up to `attempts` times and then given up on without an error.
void RemoveFolderWithRetry(const std::wstring& path, DWORD pauseMs, int attempts);
}
