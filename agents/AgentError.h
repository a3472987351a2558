#pragma once
// Errors of the guest agent: each carries the service-specific exit code that the agent
// reports when the error stops it, so the administration host can tell the causes apart
// from the service status alone.

#include <windows.h>
#include <string>

namespace agent
{
enum class EAgentExit : DWORD
{
    Ok = 0,
    ConfigUnreadable = 1,   // the configuration file is missing, malformed or incomplete
    PluginNotLoaded = 2,    // a plugin file cannot be loaded or lacks the entry points
    PluginStartFailed = 3,  // a plugin's start function reported an error
    StartupFailed = 4,      // the agent's own start-up failed (events, COM, memory)
};

class CAgentError
{
public:
    // `error` is a Win32 code or an HRESULT (0 when the text says everything).
    CAgentError(EAgentExit exit, std::wstring text, DWORD error = 0)
        : m_exit(exit), m_text(std::move(text)), m_error(error) {}

    EAgentExit Exit() const noexcept { return m_exit; }
    const std::wstring& Text() const noexcept { return m_text; }
    DWORD Error() const noexcept { return m_error; }

    // The text followed by the error code and the system's description of it.
    std::wstring Describe() const;

private:
    EAgentExit m_exit;
    std::wstring m_text;
    DWORD m_error;
};

// Reads GetLastError before anything else can change it, then throws.
[[noreturn]] void ThrowLastError(EAgentExit exit, const std::wstring& text);

// The system's text for a Win32 code or HRESULT, without the trailing line break; empty when
// the system has none.
std::wstring SystemMessage(DWORD code);
}
