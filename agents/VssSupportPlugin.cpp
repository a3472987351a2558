// The VSS support plugin of the guest agent. One source built once per supported guest
// (the variant name comes from the build). For now it only announces itself in the agent's
// log and reports its settings; the freeze/unfreeze RPC interface that the administration
// host calls is added to this plugin in a later step.

#include "agents/PluginApi.h"
#include "module/Version.h"

#include <string>

#ifndef NIMBO_VSS_VARIANT
#error "NIMBO_VSS_VARIANT must name the build variant (XP_X86, 2003_X86, 2003_X64)"
#endif

namespace
{
// Valid from Start until Stop returns: the host guarantees the structure's lifetime.
const SNimboPluginHost* g_host = nullptr;

void Log(DWORD level, const std::wstring& text)
{
    if (g_host != nullptr && g_host->log != nullptr)
        g_host->log(g_host->logContext, level, text.c_str());
}
}

extern "C" DWORD __cdecl NimboPluginStart(const SNimboPluginHost* host)
{
    // Older hosts hand out a shorter structure: refuse rather than read past it.
    if (host == nullptr || host->cbSize < sizeof(SNimboPluginHost) || host->log == nullptr)
        return ERROR_INVALID_PARAMETER;
    try
    {
        g_host = host;
        Log(NIMBO_PLUGIN_LOG_INFO,
            L"VSS support plugin " NIMBO_VSS_VARIANT L" " NIMBO_VERSION_TEXT L" loaded from [" +
                std::wstring(host->pluginPath) + L"] for service [" + host->serviceName + L"].");
        Log(NIMBO_PLUGIN_LOG_INFO,
            host->useDynPort ? std::wstring(L"VSS support plugin: configured for a dynamic RPC port.")
                             : L"VSS support plugin: configured for static RPC port " +
                                   std::to_wstring(host->staticPort) + L".");
        return 0;
    }
    catch (...)
    {
        g_host = nullptr;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

extern "C" void __cdecl NimboPluginStop(void)
{
    try
    {
        Log(NIMBO_PLUGIN_LOG_INFO, L"VSS support plugin " NIMBO_VSS_VARIANT L" stopped.");
    }
    catch (...)
    {
    }
    g_host = nullptr;
}
