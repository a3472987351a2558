#pragma once
// Scratch folders, a UNC share served by Wine, a second process, and looks at exceptions.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "foundation/Exc.h"
#include "foundation/FileSystem.h"
#include "foundation/Handle.h"

namespace filestest
{
// Runs `action`, which must raise an E, and hands the exception back for inspection.
template <class E = CExc, class Action>
E Raised(Action action)
{
    try
    {
        action();
        ADD_FAILURE() << "no exception was raised";
    }
    catch (E& e)
    {
        return e;
    }
    catch (...)
    {
        ADD_FAILURE() << "exception of another type";
    }
    return E();
}

inline std::vector<std::wstring> Sentences(const CExc& e) { return {e.GetMessages().begin(), e.GetMessages().end()}; }
inline std::wstring FirstSentence(const CExc& e) { return e.GetMessages().empty() ? L"" : e.GetMessages().front(); }

// The exception's sentences are `sentences` followed by the line that ends every CWin32Exc
// (the system text varies, its frame does not).
inline void ExpectSentencesAndWin32Line(const CExc& e, const std::vector<std::wstring>& sentences, long code)
{
    std::vector<std::wstring> s = Sentences(e);
    ASSERT_EQ(s.size(), sentences.size() + 1) << e.GetFullText();
    EXPECT_EQ(std::vector<std::wstring>(s.begin(), s.end() - 1), sentences);
    const std::wstring tail = L" Code: " + std::to_wstring(code), last = s.back();
    EXPECT_TRUE(last.rfind(L"Win32 error:", 0) == 0 && last.size() >= tail.size() &&
                last.compare(last.size() - tail.size(), tail.size(), tail) == 0) << last;
}

inline void WriteTextFile(const std::wstring& path, const std::string& content)
{
    util::CFileHandle file(CreateFileW(util::ToExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << "cannot create " << path;
    DWORD written = 0;
    WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

// The whole file, read while others may still write to it; empty when it cannot be opened.
inline std::string ReadAll(const std::wstring& path)
{
    util::CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    std::string data;
    char buffer[4096];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        data.append(buffer, read);
    return data;
}

inline bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(util::ToExtendedPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

inline void SetReadOnly(const std::wstring& path)
{
    const std::wstring extended = util::ToExtendedPath(path);
    SetFileAttributesW(extended.c_str(), GetFileAttributesW(extended.c_str()) | FILE_ATTRIBUTE_READONLY);
}

// An open handle that shares nothing: deletes of the file fail with a sharing violation.
inline util::CFileHandle OpenExclusively(const std::wstring& path)
{
    return util::CFileHandle(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

inline std::wstring UniqueName(const std::wstring& stem)
{
    static LONG counter = 0;
    return stem + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(InterlockedIncrement(&counter));
}

inline std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

// A fresh folder (below the temporary folder unless given), removed with everything in it
// when it goes; a leftover fails the test.
class CScratchFolder
{
public:
    explicit CScratchFolder(std::wstring path = TempPath()) : m_path(std::move(path))
    {
        if (!m_path.empty())
            util::CreateFolderTree(m_path);
    }
    ~CScratchFolder()
    {
        try
        {
            if (!m_path.empty())
                util::RemoveFolder(m_path);
        }
        catch (CExc& e)
        {
            ADD_FAILURE() << "folder left behind: " << e.GetFullText();
        }
    }
    CScratchFolder(const CScratchFolder&) = delete;
    CScratchFolder& operator=(const CScratchFolder&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& relative) const { return util::JoinPath(m_path, relative); }

private:
    static std::wstring TempPath()
    {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        return util::JoinPath(temp, UniqueName(L"nimbo_files"));
    }
    std::wstring m_path;
};

// "\\<host>\<share>": Wine serves it from $WINEPREFIX/dosdevices/unc/<host>/<share>, so the
// share is a folder made right there, reached locally through its Windows path and remotely
// through the UNC name. Unavailable outside Wine.
class CUncShare : public CScratchFolder
{
public:
    static constexpr const wchar_t* kHost = L"nimbofileshost";
    CUncShare() : CScratchFolder(MakeLocalPath()) {}
    bool Available() const { return !Path().empty(); }
    std::wstring UncPath() const { return L"\\\\" + std::wstring(kHost) + Path().substr(Path().find_last_of(L'\\')); }

private:
    static std::wstring MakeLocalPath()
    {
        char prefix[1024] = {}, home[900] = {};
        if (!GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix))
        {
            if (!GetEnvironmentVariableA("HOME", home, sizeof home))
                return std::wstring();
            snprintf(prefix, sizeof prefix, "%s/.wine", home);
        }
        using ToDos = WCHAR*(CDECL*)(LPCSTR);
        auto toDos = reinterpret_cast<ToDos>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
        WCHAR* uncRoot = toDos ? toDos((std::string(prefix) + "/dosdevices/unc").c_str()) : nullptr;
        if (!uncRoot)
            return std::wstring();
        const std::wstring path = util::JoinPath({uncRoot, kHost, UniqueName(L"s")});
        HeapFree(GetProcessHeap(), 0, uncRoot);
        return path;
    }
};

// A program built beside the running test program.
inline std::wstring SiblingProgram(const std::wstring& name)
{
    std::wstring folder, self;
    util::SplitPath(util::GetModulePath(nullptr), folder, self);
    return util::JoinPath(folder, name);
}

inline const wchar_t* const kLockHolder = L"foundation_files_lock_holder.exe";

// A manual-reset event with a unique name, for signalling to and from a child process.
struct CNamedEvent
{
    explicit CNamedEvent(const std::wstring& role)
        : name(UniqueName(L"nimbo_files_" + role)), event(CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {}
    bool Wait(DWORD ms) const { return WaitForSingleObject(event.get(), ms) == WAIT_OBJECT_0; }
    void Set() const { SetEvent(event.get()); }
    // A thread routine that sets the event given as context after half a second.
    static DWORD WINAPI SetLater(void* e) { return Sleep(500), static_cast<const CNamedEvent*>(e)->Set(), 0; }
    std::wstring name;
    util::CEventHandle event;
};

// A child process; killed if still running when the object goes.
class CChildProcess
{
public:
    CChildProcess(const std::wstring& program, const std::wstring& arguments)
    {
        std::wstring commandLine = Quoted(program) + L" " + arguments;
        STARTUPINFOW startup = {sizeof startup};
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            m_process.reset(info.hProcess), CloseHandle(info.hThread);
    }
    ~CChildProcess() { WaitForExit(0) == -1 ? Kill() : void(); }
    // The exit code, or -1 while the process is still running after `ms`.
    long WaitForExit(DWORD ms) const
    {
        DWORD code = 0;
        const bool ended = WaitForSingleObject(m_process.get(), ms) == WAIT_OBJECT_0 && GetExitCodeProcess(m_process.get(), &code);
        return ended ? static_cast<long>(code) : -1;
    }
    void Kill() const { TerminateProcess(m_process.get(), 98), WaitForSingleObject(m_process.get(), 10000); }

private:
    util::CKernelHandle m_process;
};

// Starts the lock holder in `mode` ("hold <lock>" or "wait") and waits until it is ready.
struct SReadyHolder
{
    SReadyHolder(const std::wstring& program, const std::wstring& modeArguments)
        : ready(L"ready"), release(L"release"), process(program, modeArguments + L" " + ready.name + L" " + release.name) {}
    bool WaitReady() const { return ready.Wait(15000); }
    CNamedEvent ready, release;
    CChildProcess process;
};
}
