#include "agents/console/RcSession.h"


namespace agent
{
namespace
{
// Console programs read bytes; UTF-8 keeps every character the client can send.
std::string Encode(const std::wstring& text)
{
    std::string bytes;
    if (text.empty())
        return bytes;
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    bytes.resize(size > 0 ? size : 0);
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

// The state of the session does not allow the procedure.
const HRESULT NoConsole = static_cast<HRESULT>(0x8000000EL);   // E_ILLEGAL_METHOD_CALL
const HRESULT UpgradeNotice = HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
}

CRcSession::CRcSession(const SRcSettings& settings, std::wstring agentFolder, PFN_RC_LOG log)
    : m_settings(settings), m_folder(std::move(agentFolder)), m_log(log)
{
}

CRcSession::~CRcSession()
{
    Close();
}

std::wstring CRcSession::Resolve(const std::wstring& agentFolder, const std::wstring& path)
{
    const bool absolute = (path.size() >= 2 && path[1] == L':') || (!path.empty() && (path[0] == L'\\' || path[0] == L'/'));
    if (absolute)
        return path;
    if (path.empty() || path == L".")
        return agentFolder;
    return agentFolder + L"\\" + path;
}

HRESULT CRcSession::Fail(const CAgentError& error) noexcept
{
    const HRESULT code = RcStatusOf(error.Error());
    try
    {
        const std::wstring text = error.Describe();
        m_log(NIMBO_PLUGIN_LOG_WARNING, L"Console session: " + text);
        util::CCriticalSection::CHold hold(m_lock);
        m_lastError = code;
        m_lastErrorText = text;
    }
    catch (...)
    {
    }
    return code;
}

std::shared_ptr<CRcConsoleProcess> CRcSession::Console()
{
    util::CCriticalSection::CHold hold(m_lock);
    if (!m_console)
        throw CAgentError(EAgentExit::Ok, L"No console has been started in this session.", static_cast<DWORD>(NoConsole));
    return m_console;
}

HRESULT CRcSession::Start(const std::wstring& arguments, DWORD& processId) noexcept
{
    processId = 0;
    try
    {
        util::CCriticalSection::CHold hold(m_lock);
        if (m_closed || m_console)
            throw CAgentError(EAgentExit::Ok, L"This session has already started its console.",
                              static_cast<DWORD>(NoConsole));
        const std::wstring image = Resolve(m_folder, m_settings.relativePath);
        const std::wstring folder = Resolve(m_folder, m_settings.workingDir);
        const std::wstring& args = arguments.empty() ? m_settings.cmdLine : arguments;
        const std::wstring commandLine = L"\"" + image + L"\"" + (args.empty() ? L"" : L" " + args);
        m_console = std::make_shared<CRcConsoleProcess>(image, commandLine, folder, m_log);
        processId = m_console->Id();
        m_log(NIMBO_PLUGIN_LOG_INFO, L"Console process " + std::to_wstring(processId) + L" started: [" + commandLine +
                                         L"] in [" + folder + L"].");
        return S_OK;
    }
    catch (const CAgentError& error)
    {
        return Fail(error);
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRcSession::Send(const std::wstring& text) noexcept
{
    try
    {
        // Not under the lock: the program may take its time to read.
        Console()->Send(Encode(text));
        return S_OK;
    }
    catch (const CAgentError& error)
    {
        return Fail(error);
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRcSession::QueryStatus(SRcConsoleTake& take) noexcept
{
    try
    {
        Console()->Take(take);
        util::CCriticalSection::CHold hold(m_lock);
        if (m_upgradeNotice && take.errorCode == 0)
        {
            m_upgradeNotice = false;
            take.errorCode = static_cast<DWORD>(UpgradeNotice);
            take.errorText = L"The remote console agent is about to be upgraded. The console ends when the agent stops.";
        }
        return S_OK;
    }
    catch (const CAgentError& error)
    {
        return Fail(error);
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
}

void CRcSession::LastError(HRESULT& code, std::wstring& text) noexcept
{
    util::CCriticalSection::CHold hold(m_lock);
    code = m_lastError;
    try
    {
        text = m_lastErrorText;
    }
    catch (...)
    {
        text.clear();
    }
}

void CRcSession::NotifyUpgrade() noexcept
{
    util::CCriticalSection::CHold hold(m_lock);
    m_upgradeNotice = true;
}

void CRcSession::Close() noexcept
{
    std::shared_ptr<CRcConsoleProcess> console;
    {
        util::CCriticalSection::CHold hold(m_lock);
        m_closed = true;
        console.swap(m_console);
    }
    if (console)
        console->Stop();
}
}
