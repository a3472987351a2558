#pragma once
// The contract between the guest agent and its plugin libraries. A plugin exports, by name:
//
//   DWORD NimboPluginStart(const SNimboPluginHost* host)   -- 0 when the plugin runs, else a
//                                                           Win32 error code; the agent then
//                                                           stops without calling Stop
//   void  NimboPluginStop(void)                            -- undoes Start; returns when the
//                                                           plugin's threads are gone
//
// Both are __cdecl so the exported names carry no decoration on either architecture. The
// host structure and the strings it points to stay valid from Start until Stop returns; the
// log callback may be called from any thread in that time.

#include <windows.h>

extern "C" {

enum
{
    NIMBO_PLUGIN_LOG_TRACE = 1,
    NIMBO_PLUGIN_LOG_INFO = 2,
    NIMBO_PLUGIN_LOG_WARNING = 3,
    NIMBO_PLUGIN_LOG_ERROR = 4,
};

typedef void(__cdecl* PFN_NIMBO_PLUGIN_LOG)(void* context, DWORD level, const wchar_t* text);

struct SNimboPluginHost
{
    DWORD cbSize;                 // sizeof(SNimboPluginHost): newer hosts only append fields
    const wchar_t* agentFolder;   // the folder holding the agent and its configuration
    const wchar_t* serviceName;   // ServiceName from the configuration
    const wchar_t* pluginPath;    // full path of this plugin as loaded
    BOOL useDynPort;              // how the plugin's RPC server listens
    DWORD staticPort;             // meaningful only when useDynPort is FALSE
    void* logContext;
    PFN_NIMBO_PLUGIN_LOG log;     // writes one line into the agent's log
};

typedef DWORD(__cdecl* PFN_NIMBO_PLUGIN_START)(const SNimboPluginHost* host);
typedef void(__cdecl* PFN_NIMBO_PLUGIN_STOP)(void);
}

#define NIMBO_PLUGIN_START_NAME "NimboPluginStart"
#define NIMBO_PLUGIN_STOP_NAME "NimboPluginStop"
