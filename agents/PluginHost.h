#pragma once
// Loads the plugins named by the configuration, in file order, and starts each; stops and
// unloads them in reverse order. A plugin that fails to load or start leaves the plugins
// started before it running until StopAll (or the destructor) stops them.

#include "agents/AgentConfig.h"
#include "agents/AgentLog.h"
#include "agents/PluginApi.h"
#include "foundation/Handle.h"

#include <memory>
#include <string>
#include <vector>

namespace agent
{
using CModuleHandle = util::CUniqueAny<HMODULE, &::FreeLibrary>;

class CPluginHost
{
public:
    CPluginHost(CAgentLog& log, std::wstring agentFolder, const CAgentConfig& config);
    ~CPluginHost();
    CPluginHost(const CPluginHost&) = delete;
    CPluginHost& operator=(const CPluginHost&) = delete;

    // Throws CAgentError: PluginNotLoaded or PluginStartFailed.
    void StartAll();
    void StopAll() noexcept;
    size_t RunningCount() const noexcept { return m_running.size(); }

    // A relative plugin path is taken below the agent's folder.
    static std::wstring ResolvePath(const std::wstring& agentFolder, const std::wstring& path);

private:
    struct SPlugin
    {
        std::wstring path;
        CModuleHandle module;
        PFN_NIMBO_PLUGIN_STOP stop = nullptr;
        SNimboPluginHost host{};   // handed to the plugin: must not move while it runs
    };

    void Start(const std::wstring& configuredPath);
    static void __cdecl LogThunk(void* context, DWORD level, const wchar_t* text);

    CAgentLog& m_log;
    std::wstring m_folder;
    std::wstring m_serviceName;
    SAgentPortsCfg m_ports;
    std::vector<std::wstring> m_paths;
    std::vector<std::unique_ptr<SPlugin>> m_running;
};
}
