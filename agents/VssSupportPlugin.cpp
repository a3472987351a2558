// The VSS support plugin of the guest agent. One source built once per supported guest (the
// variant name comes from the build). It serves the VssPluginRpc interface from the running
// agent: freeze and unfreeze the guest's volumes, their state, the last freeze error and a
// test call. A failure inside a procedure reaches the caller as an RPC fault.

#include "agents/FreezeBackends.h"
#include "agents/FreezeControl.h"
#include "agents/PluginApi.h"
#include "agents/RpcServerHost.h"
#include "module/Version.h"

#include "VssPluginRpc.h"

#include <cwchar>
#include <memory>
#include <string>

#ifndef NIMBO_VSS_VARIANT
#error "NIMBO_VSS_VARIANT must name the build variant (XP_X86, 2003_X86, 2003_X64)"
#endif

namespace
{
// Valid from Start until Stop returns: the host guarantees the structure's lifetime. The RPC
// procedures run only while the interface is served, that is within the same time.
const SNimboPluginHost* g_host = nullptr;
agent::CFreezeControl* g_control = nullptr;
agent::CRpcServerHost g_server;

void Log(DWORD level, const std::wstring& text)
{
    if (g_host != nullptr && g_host->log != nullptr)
        g_host->log(g_host->logContext, level, text.c_str());
}

std::unique_ptr<agent::IFreezeBackend> CreateBackend(const SNimboPluginHost& host)
{
#ifdef NIMBO_SIMULATED_FREEZE
    Log(NIMBO_PLUGIN_LOG_WARNING, L"Test build: volumes are not frozen, the freeze is simulated.");
    return agent::CreateSimulatedBackend(host.agentFolder);
#else
    (void)host;
    return agent::CreateShadowCopyBackend();
#endif
}

// An RPC procedure: the body runs with the control; a C++ error becomes a fault, which is what
// the caller expects from a procedure without return value.
template <class Body>
void Serve(const wchar_t* procedure, Body&& body)
{
    RPC_STATUS fault = RPC_S_OK;
    try
    {
        if (g_control == nullptr)
            fault = RPC_S_SERVER_TOO_BUSY;   // stopping
        else
            fault = body(*g_control);
    }
    catch (...)
    {
        fault = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (fault != RPC_S_OK)
    {
        wchar_t code[16];
        swprintf(code, 16, fault & 0x80000000u ? L"0x%08lX" : L"%lu", static_cast<unsigned long>(fault));
        Log(NIMBO_PLUGIN_LOG_WARNING, std::wstring(procedure) + L" answered with fault " + code + L".");
        RpcRaiseException(fault);
    }
}
}

extern "C" void Freeze(handle_t)
{
    Serve(L"Freeze", [](agent::CFreezeControl& control) -> RPC_STATUS { return control.Freeze(); });
}

extern "C" void GetFreezeState(handle_t, EVssPluginFreezeState* pState)
{
    Serve(L"GetFreezeState", [&](agent::CFreezeControl& control) -> RPC_STATUS {
        *pState = static_cast<EVssPluginFreezeState>(control.State());
        return RPC_S_OK;
    });
}

extern "C" void GetLastFreezeError(handle_t, wchar_t** ppDescription, LONG* pErrorCode)
{
    Serve(L"GetLastFreezeError", [&](agent::CFreezeControl& control) -> RPC_STATUS {
        std::wstring description;
        HRESULT code = S_OK;
        *ppDescription = nullptr;
        *pErrorCode = S_OK;
        // No error yet: no description at all.
        if (!control.LastError(description, code))
            return RPC_S_OK;
        const size_t bytes = (description.size() + 1) * sizeof(wchar_t);
        auto* copy = static_cast<wchar_t*>(midl_user_allocate(bytes));
        if (copy == nullptr)
            return RPC_S_OUT_OF_MEMORY;
        std::wmemcpy(copy, description.c_str(), description.size() + 1);
        *ppDescription = copy;
        *pErrorCode = code;
        return RPC_S_OK;
    });
}

extern "C" void Unfreeze(handle_t)
{
    Serve(L"Unfreeze", [](agent::CFreezeControl& control) -> RPC_STATUS {
        control.Unfreeze();
        return RPC_S_OK;
    });
}

extern "C" void DoTest(handle_t)
{
    Serve(L"DoTest", [](agent::CFreezeControl&) -> RPC_STATUS {
        Log(NIMBO_PLUGIN_LOG_INFO, L"Test call received.");
        return RPC_S_OK;
    });
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
        g_control = new agent::CFreezeControl(CreateBackend(*host), &Log);
        const RPC_STATUS status = g_server.Start(VssPluginRpc_v1_0_s_ifspec, *host);
        if (status != RPC_S_OK)
        {
            delete g_control;
            g_control = nullptr;
            g_host = nullptr;
            return status;
        }
        return 0;
    }
    catch (...)
    {
        delete g_control;
        g_control = nullptr;
        g_host = nullptr;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

extern "C" void __cdecl NimboPluginStop(void)
{
    // No procedure runs once the interface is gone; then the volumes are thawed if need be.
    g_server.Stop();
    agent::CFreezeControl* control = g_control;
    g_control = nullptr;
    delete control;
    try
    {
        Log(NIMBO_PLUGIN_LOG_INFO, L"VSS support plugin " NIMBO_VSS_VARIANT L" stopped.");
    }
    catch (...)
    {
    }
    g_host = nullptr;
}
