#pragma once
// The agent's own log file beside its executable: one timestamped UTF-8 line per entry,
// appended, shared for reading so that an administrator (or a test) can watch it live.
// Plugins write into it through the host's log callback, from any thread.

#include "foundation/Handle.h"

#include <windows.h>
#include <string>

namespace agent
{
enum class ELogLevel : DWORD
{
    Trace = 1,
    Info = 2,
    Warning = 3,
    Error = 4,
};

class CAgentLog
{
public:
    // A log that cannot be opened does not stop the agent: its lines still reach the
    // console (when echoing) and OpenError says why the file is missing.
    CAgentLog(std::wstring path, bool echoToConsole);
    ~CAgentLog();
    CAgentLog(const CAgentLog&) = delete;
    CAgentLog& operator=(const CAgentLog&) = delete;

    const std::wstring& Path() const noexcept { return m_path; }
    bool IsOpen() const noexcept { return m_file.valid(); }
    DWORD OpenError() const noexcept { return m_openError; }

    void Write(ELogLevel level, const std::wstring& text) noexcept;

    // Unknown levels coming from plugins are written as information.
    static const wchar_t* LevelName(DWORD level) noexcept;

private:
    std::wstring m_path;
    bool m_echo;
    DWORD m_openError = 0;
    util::CFileHandle m_file;
    // Plugins log from their own threads: one line is written whole before the next.
    CRITICAL_SECTION m_lock;
};
}
