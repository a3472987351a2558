// Entry point of the guest agent executable: a Windows service host by default, or a console
// program for debugging:
//
//   NimboGuestAgent.exe                          started by the service control manager
//   NimboGuestAgent.exe /console [/config:F] [/stopevent:N] [/readyevent:R]
//                                                runs in the foreground, logging to the
//                                                console as well, until Ctrl+C or until the
//                                                named event N is set, and sets the named event
//                                                R once it runs; the exit code is the one the
//                                                service would report
//
// Both modes read NimboAgentConfig.xml beside the executable (or the file F, whose folder
// then holds the plugins) and log beside the executable. The log shows the RPC endpoints the
// plugins listen on ("Endpoint registered: ...").

#include "agents/AgentRunner.h"
#include "foundation/Handle.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

using namespace agent;

namespace
{
const wchar_t* const DefaultServiceName = L"NimboGuestAgent";

// Stop requests (service control or Ctrl+C) only set this event; the runner does the work.
util::CEventHandle g_stopEvent;

class CScmStatus : public IAgentStatusSink
{
public:
    explicit CScmStatus(SERVICE_STATUS_HANDLE handle) : m_handle(handle)
    {
        m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    }

    void StartPending() noexcept override { Report(SERVICE_START_PENDING, 0, 10000); }
    void Running() noexcept override { Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0); }
    void StopPending() noexcept override { Report(SERVICE_STOP_PENDING, 0, 30000); }

    void Stopped(EAgentExit exit) noexcept
    {
        DWORD code = static_cast<DWORD>(exit);
        m_status.dwWin32ExitCode = code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
        m_status.dwServiceSpecificExitCode = code;
        Report(SERVICE_STOPPED, 0, 0);
    }

private:
    void Report(DWORD state, DWORD accepted, DWORD waitHint) noexcept
    {
        m_status.dwCurrentState = state;
        m_status.dwControlsAccepted = accepted;
        m_status.dwWaitHint = waitHint;
        bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
        m_status.dwCheckPoint = pending ? ++m_checkPoint : 0;
        SetServiceStatus(m_handle, &m_status);
    }

    SERVICE_STATUS_HANDLE m_handle;
    SERVICE_STATUS m_status{};
    DWORD m_checkPoint = 0;
};

// Console mode tells a parent that is not the service control manager (a test harness) that
// the agent runs through a named event; without one it reports nothing.
class CConsoleStatus : public IAgentStatusSink
{
public:
    void StartPending() noexcept override {}
    void Running() noexcept override
    {
        if (m_ready)
            SetEvent(m_ready.get());
    }
    void StopPending() noexcept override {}

    void SetReadyEvent(HANDLE ready) noexcept { m_ready.reset(ready); }

private:
    util::CEventHandle m_ready;
};

DWORD WINAPI ServiceControl(DWORD control, DWORD, void*, void*)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        SetEvent(g_stopEvent.get());
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv)
{
    // An own-process service gets its real name here, whatever the dispatch table says.
    std::wstring name = argc > 0 && argv[0] != nullptr ? argv[0] : DefaultServiceName;
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(name.c_str(), &ServiceControl, nullptr);
    if (handle == nullptr)
        return;   // nobody to report to: the SCM gives up on its own
    CScmStatus status(handle);
    status.StartPending();

    try
    {
        CAgentLog log(DefaultLogPath(), false);
        CAgentRunner runner(log, ExecutableFolder(), name);
        EAgentExit exit = runner.Run(g_stopEvent.get(), status);
        status.Stopped(exit);
    }
    catch (...)
    {
        // The agent's own path could not be read or memory ran out before the log existed.
        status.Stopped(EAgentExit::StartupFailed);
    }
}

BOOL WINAPI ConsoleControl(DWORD event)
{
    switch (event)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        SetEvent(g_stopEvent.get());
        return TRUE;
    default:
        return FALSE;
    }
}

bool IsSwitch(const wchar_t* arg, const wchar_t* name)
{
    return (arg[0] == L'/' || arg[0] == L'-') && _wcsicmp(arg + 1, name) == 0;
}

// The value of "/name:value", or nullptr when `arg` is another argument.
const wchar_t* SwitchValue(const wchar_t* arg, const wchar_t* name)
{
    size_t length = wcslen(name);
    if ((arg[0] != L'/' && arg[0] != L'-') || _wcsnicmp(arg + 1, name, length) != 0 ||
        arg[1 + length] != L':')
        return nullptr;
    return arg + 2 + length;
}

int Usage()
{
    fwprintf(stderr, L"Usage: NimboGuestAgent.exe /console [/config:<configuration file>] "
                     L"[/stopevent:<event name>] [/readyevent:<event name>]\n"
                     L"Without arguments the agent expects to be started as a service.\n");
    return ERROR_INVALID_PARAMETER;
}

// Opens the named event, or creates it: the other side may not have made it yet. Null (after
// a line on the error output) when neither works.
HANDLE OpenNamedEvent(const wchar_t* role, const wchar_t* eventName)
{
    HANDLE named = CreateEventW(nullptr, TRUE, FALSE, eventName);
    if (named == nullptr)
    {
        DWORD error = GetLastError();
        fwprintf(stderr, L"The %ls event [%ls] cannot be created: error %lu.\n", role, eventName,
                 static_cast<unsigned long>(error));
    }
    return named;
}

std::wstring FullPath(const wchar_t* path)
{
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full) : std::wstring(path);
}

int RunConsole(int argc, wchar_t** argv)
{
    CConsoleStatus status;
    std::wstring folder = ExecutableFolder();
    std::wstring configPath;
    for (int i = 2; i < argc; ++i)
    {
        if (const wchar_t* config = SwitchValue(argv[i], L"config"))
        {
            if (*config == L'\0')
                return Usage();
            configPath = FullPath(config);
            folder = configPath.substr(0, configPath.find_last_of(L"\\/"));
            continue;
        }
        const wchar_t* stopName = SwitchValue(argv[i], L"stopevent");
        const wchar_t* readyName = SwitchValue(argv[i], L"readyevent");
        const wchar_t* eventName = stopName ? stopName : readyName;
        if (eventName == nullptr || *eventName == L'\0')
            return Usage();
        HANDLE named = OpenNamedEvent(stopName ? L"stop" : L"ready", eventName);
        if (named == nullptr)
            return static_cast<int>(EAgentExit::StartupFailed);
        if (stopName)
            g_stopEvent.reset(named);
        else
            status.SetReadyEvent(named);
    }
    SetConsoleCtrlHandler(&ConsoleControl, TRUE);
    CAgentLog log(DefaultLogPath(), true);
    if (!log.IsOpen())
        fwprintf(stderr, L"The log file [%ls] cannot be opened: error %lu.\n", log.Path().c_str(),
                 static_cast<unsigned long>(log.OpenError()));
    CAgentRunner runner(log, folder, std::wstring(), configPath);
    return static_cast<int>(runner.Run(g_stopEvent.get(), status));
}
}

int wmain(int argc, wchar_t** argv)
{
    g_stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!g_stopEvent)
        return static_cast<int>(EAgentExit::StartupFailed);

    if (argc >= 2)
    {
        if (IsSwitch(argv[1], L"console"))
        {
            try
            {
                return RunConsole(argc, argv);
            }
            catch (...)
            {
                return static_cast<int>(EAgentExit::StartupFailed);
            }
        }
        return Usage();
    }

    std::wstring name = DefaultServiceName;
    SERVICE_TABLE_ENTRYW table[] = {{&name[0], &ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
    {
        DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            return Usage();
        return static_cast<int>(error);
    }
    return 0;
}
