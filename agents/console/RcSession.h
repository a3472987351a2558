#pragma once
// One client's console session: at most one console program, the session's last error for
// the client to read, and the upgrade notice waiting to be reported. The procedures answer a
// status (0 or an HRESULT); a failure also becomes the session's last error.

#include "agents/AgentError.h"
#include "agents/console/RcConsoleProcess.h"
#include "agents/console/RcSettings.h"
#include "foundation/Threads.h"

#include <windows.h>
#include <memory>
#include <string>

namespace agent
{
class CRcSession
{
public:
    CRcSession(const SRcSettings& settings, std::wstring agentFolder, PFN_RC_LOG log);
    ~CRcSession();
    CRcSession(const CRcSession&) = delete;
    CRcSession& operator=(const CRcSession&) = delete;

    // Empty arguments: those of the configuration.
    HRESULT Start(const std::wstring& arguments, DWORD& processId) noexcept;
    HRESULT Send(const std::wstring& text) noexcept;
    HRESULT QueryStatus(SRcConsoleTake& take) noexcept;
    void LastError(HRESULT& code, std::wstring& text) noexcept;

    // Reported once, as the error of the next status query.
    void NotifyUpgrade() noexcept;
    // Ends the console's program; the session answers no more after it.
    void Close() noexcept;

    // The console program and its folder as a start runs them.
    static std::wstring Resolve(const std::wstring& agentFolder, const std::wstring& path);

private:
    std::shared_ptr<CRcConsoleProcess> Console();
    HRESULT Fail(const CAgentError& error) noexcept;

    const SRcSettings& m_settings;
    std::wstring m_folder;
    PFN_RC_LOG m_log;
    util::CCriticalSection m_lock;   // the fields below; never held while the program is waited for
    std::shared_ptr<CRcConsoleProcess> m_console;
    bool m_closed = false;
    bool m_upgradeNotice = false;
    HRESULT m_lastError = S_OK;
    std::wstring m_lastErrorText;
};
}
