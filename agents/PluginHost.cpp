#include "agents/PluginHost.h"
#include "agents/AgentError.h"

#include <shlwapi.h>

namespace agent
{
CPluginHost::CPluginHost(CAgentLog& log, std::wstring agentFolder, const CAgentConfig& config)
    : m_log(log), m_folder(std::move(agentFolder)), m_serviceName(config.ServiceName()),
      m_ports(config.Ports()), m_paths(config.Plugins())
{
}

CPluginHost::~CPluginHost()
{
    StopAll();
}

std::wstring CPluginHost::ResolvePath(const std::wstring& agentFolder, const std::wstring& path)
{
    if (!PathIsRelativeW(path.c_str()))
        return path;
    std::wstring full = agentFolder;
    if (!full.empty() && full.back() != L'\\' && full.back() != L'/')
        full += L'\\';
    return full + path;
}

void CPluginHost::StartAll()
{
    for (const auto& path : m_paths)
        Start(path);
}

void CPluginHost::Start(const std::wstring& configuredPath)
{
    auto plugin = std::make_unique<SPlugin>();
    plugin->path = ResolvePath(m_folder, configuredPath);
    m_log.Write(ELogLevel::Info, L"Loading plugin [" + configuredPath + L"] from [" +
                                     plugin->path + L"].");

    // The altered search path lets a plugin's own dependencies sit beside it.
    plugin->module.reset(LoadLibraryExW(plugin->path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!plugin->module)
        ThrowLastError(EAgentExit::PluginNotLoaded,
                       L"The plugin [" + plugin->path + L"] cannot be loaded.");

    auto start = reinterpret_cast<PFN_NIMBO_PLUGIN_START>(
        reinterpret_cast<void*>(GetProcAddress(plugin->module.get(), NIMBO_PLUGIN_START_NAME)));
    if (!start)
        ThrowLastError(EAgentExit::PluginNotLoaded, L"The library [" + plugin->path +
                                                        L"] is not a plugin: it does not export " +
                                                        L"" NIMBO_PLUGIN_START_NAME L".");
    plugin->stop = reinterpret_cast<PFN_NIMBO_PLUGIN_STOP>(
        reinterpret_cast<void*>(GetProcAddress(plugin->module.get(), NIMBO_PLUGIN_STOP_NAME)));
    if (!plugin->stop)
        ThrowLastError(EAgentExit::PluginNotLoaded, L"The library [" + plugin->path +
                                                        L"] is not a plugin: it does not export " +
                                                        L"" NIMBO_PLUGIN_STOP_NAME L".");

    SNimboPluginHost& host = plugin->host;
    host.cbSize = sizeof(SNimboPluginHost);
    host.agentFolder = m_folder.c_str();
    host.serviceName = m_serviceName.c_str();
    host.pluginPath = plugin->path.c_str();
    host.useDynPort = m_ports.useDynPort ? TRUE : FALSE;
    host.staticPort = m_ports.staticPort;
    host.logContext = &m_log;
    host.log = &CPluginHost::LogThunk;

    DWORD result = start(&host);
    if (result != 0)
        throw CAgentError(EAgentExit::PluginStartFailed,
                          L"The plugin [" + plugin->path + L"] failed to start.", result);
    m_log.Write(ELogLevel::Info, L"Plugin [" + configuredPath + L"] started.");
    m_running.push_back(std::move(plugin));
}

void CPluginHost::StopAll() noexcept
{
    while (!m_running.empty())
    {
        std::unique_ptr<SPlugin> plugin = std::move(m_running.back());
        m_running.pop_back();
        try
        {
            m_log.Write(ELogLevel::Info, L"Stopping plugin [" + plugin->path + L"].");
        }
        catch (...)
        {
        }
        plugin->stop();
        // The module is freed only after Stop has returned (SPlugin's destructor).
    }
}

void __cdecl CPluginHost::LogThunk(void* context, DWORD level, const wchar_t* text)
{
    if (context == nullptr || text == nullptr)
        return;
    ELogLevel known = ELogLevel::Info;
    if (level >= static_cast<DWORD>(ELogLevel::Trace) && level <= static_cast<DWORD>(ELogLevel::Error))
        known = static_cast<ELogLevel>(level);
    try
    {
        static_cast<CAgentLog*>(context)->Write(known, text);
    }
    catch (...)
    {
        // A plugin must never see an exception cross the callback.
    }
}
}
