#pragma once
// One run of the agent, shared by the service and the console mode: read the configuration,
// start the plugins, report running, wait for the stop event, stop the plugins. The caller
// turns the returned exit code into the service's final status or the process exit code.

#include "agents/AgentError.h"
#include "agents/AgentLog.h"

#include <string>

namespace agent
{
// Progress reports for the service control manager (console mode ignores them).
class IAgentStatusSink
{
public:
    virtual ~IAgentStatusSink() = default;
    virtual void StartPending() noexcept = 0;   // called between start-up steps
    virtual void Running() noexcept = 0;
    virtual void StopPending() noexcept = 0;
};

class CAgentRunner
{
public:
    // `serviceName` is the name the service was started under, empty in console mode.
    // `configPath` names the configuration file; empty means NimboAgentConfig.xml in
    // `agentFolder`. Relative plugin paths are taken below `agentFolder`.
    CAgentRunner(CAgentLog& log, std::wstring agentFolder, std::wstring serviceName,
                 std::wstring configPath = std::wstring());

    // Never throws: every failure is logged and becomes the exit code.
    EAgentExit Run(HANDLE stopEvent, IAgentStatusSink& status) noexcept;

private:
    EAgentExit RunChecked(HANDLE stopEvent, IAgentStatusSink& status);

    CAgentLog& m_log;
    std::wstring m_folder;
    std::wstring m_serviceName;
    std::wstring m_configPath;
};

// The folder of the running executable, and the log path beside it (the executable's name
// with ".log").
std::wstring ExecutableFolder();
std::wstring DefaultLogPath();
}
