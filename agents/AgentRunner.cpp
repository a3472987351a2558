#include "agents/AgentRunner.h"
#include "agents/AgentConfig.h"
#include "agents/PluginHost.h"
#include "module/Version.h"

#include <objbase.h>

#include <cstring>
#include <cwchar>
#include <new>

namespace agent
{
namespace
{
std::wstring ModulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            ThrowLastError(EAgentExit::StartupFailed, L"The agent's own path cannot be read.");
        if (length < path.size())
        {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// COM lives only while the configuration is read: plugins set up their own threads.
class CComScope
{
public:
    CComScope()
    {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr))
            throw CAgentError(EAgentExit::StartupFailed, L"COM cannot be initialised.",
                              static_cast<DWORD>(hr));
    }
    ~CComScope() { CoUninitialize(); }
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;
};
}

std::wstring ExecutableFolder()
{
    std::wstring path = ModulePath();
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

std::wstring DefaultLogPath()
{
    std::wstring path = ModulePath();
    size_t slash = path.find_last_of(L"\\/");
    size_t dot = path.find_last_of(L'.');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash))
        path.resize(dot);
    return path + L".log";
}

CAgentRunner::CAgentRunner(CAgentLog& log, std::wstring agentFolder, std::wstring serviceName,
                           std::wstring configPath)
    : m_log(log), m_folder(std::move(agentFolder)), m_serviceName(std::move(serviceName)),
      m_configPath(std::move(configPath))
{
}

EAgentExit CAgentRunner::Run(HANDLE stopEvent, IAgentStatusSink& status) noexcept
{
    try
    {
        return RunChecked(stopEvent, status);
    }
    catch (const CAgentError& error)
    {
        m_log.Write(ELogLevel::Error, error.Describe());
        m_log.Write(ELogLevel::Error, L"The agent stops with exit code " +
                                          std::to_wstring(static_cast<DWORD>(error.Exit())) + L".");
        return error.Exit();
    }
    catch (const std::bad_alloc&)
    {
        m_log.Write(ELogLevel::Error, L"Out of memory. The agent stops with exit code 4.");
        return EAgentExit::StartupFailed;
    }
    catch (const std::exception& error)
    {
        m_log.Write(ELogLevel::Error, L"Unexpected failure: " +
                                          std::wstring(error.what(), error.what() + strlen(error.what())) +
                                          L" The agent stops with exit code 4.");
        return EAgentExit::StartupFailed;
    }
}

EAgentExit CAgentRunner::RunChecked(HANDLE stopEvent, IAgentStatusSink& status)
{
    m_log.Write(ELogLevel::Info,
                L"Guest agent " NIMBO_VERSION_TEXT L" (" +
                    std::wstring(sizeof(void*) == 8 ? L"x64" : L"x86") + L") starting " +
                    (m_serviceName.empty() ? std::wstring(L"in console mode")
                                           : L"as service [" + m_serviceName + L"]") +
                    L", process " + std::to_wstring(GetCurrentProcessId()) + L", folder [" +
                    m_folder + L"].");

    const std::wstring configPath =
        m_configPath.empty() ? m_folder + L"\\" + CAgentConfig::FileName : m_configPath;
    CAgentConfig config = [&] {
        CComScope com;
        return CAgentConfig::Load(configPath);
    }();
    m_log.Write(ELogLevel::Info,
                L"Configuration [" + configPath + L"]: service [" + config.ServiceName() + L"], " +
                    std::to_wstring(config.Plugins().size()) + L" plugin(s), " +
                    (config.Ports().useDynPort
                         ? std::wstring(L"dynamic RPC port")
                         : L"static RPC port " + std::to_wstring(config.Ports().staticPort)) +
                    L".");
    if (!m_serviceName.empty() &&
        _wcsicmp(m_serviceName.c_str(), config.ServiceName().c_str()) != 0)
        m_log.Write(ELogLevel::Warning, L"The service runs as [" + m_serviceName +
                                            L"] but the configuration names [" +
                                            config.ServiceName() + L"].");
    if (config.Plugins().empty())
        m_log.Write(ELogLevel::Warning, L"The configuration names no plugin: the agent has nothing to do.");
    status.StartPending();

    CPluginHost plugins(m_log, m_folder, config);
    try
    {
        plugins.StartAll();
    }
    catch (const CAgentError& error)
    {
        // The cause goes into the log before the plugins started so far are stopped.
        m_log.Write(ELogLevel::Error, error.Describe());
        plugins.StopAll();
        throw CAgentError(error.Exit(), L"The agent cannot start its plugins.");
    }

    status.Running();
    m_log.Write(ELogLevel::Info, L"The agent is running with " +
                                     std::to_wstring(plugins.RunningCount()) + L" plugin(s).");

    if (WaitForSingleObject(stopEvent, INFINITE) != WAIT_OBJECT_0)
        ThrowLastError(EAgentExit::StartupFailed, L"Waiting for the stop request failed.");

    status.StopPending();
    m_log.Write(ELogLevel::Info, L"Stop requested.");
    plugins.StopAll();
    m_log.Write(ELogLevel::Info, L"The agent has stopped.");
    return EAgentExit::Ok;
}
}
