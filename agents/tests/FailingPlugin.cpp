// A plugin that refuses to start, for the agent's tests: the agent must stop with the
// plugin-start exit code and stop the plugins it started before this one.

#include "agents/PluginApi.h"

extern "C" DWORD __cdecl NimboPluginStart(const SNimboPluginHost* host)
{
    if (host != nullptr && host->log != nullptr)
        host->log(host->logContext, NIMBO_PLUGIN_LOG_ERROR, L"Failing test plugin refuses to start.");
    return ERROR_ACCESS_DENIED;
}

extern "C" void __cdecl NimboPluginStop(void)
{
}
