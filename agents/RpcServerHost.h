#pragma once
// Serves one RPC interface of a plugin from the running agent: over ncacn_ip_tcp on the port
// the agent's configuration names (dynamic or static), registered in the guest's endpoint map
// with the agent's service name as annotation, so that the administration host finds it by
// interface identity or by service. Every plugin that serves RPC uses it:
//
//   agent::CRpcServerHost g_server;
//   DWORD Start(const SNimboPluginHost* host) { return g_server.Start(MyIf_v1_0_s_ifspec, *host); }
//   void Stop() { g_server.Stop(); }
//
// Each registration is announced in the agent's log (and so on its console in foreground
// mode), one line per binding:
//
//   Endpoint registered: interface {fa8573fc-2445-4ef5-82f1-30e34e7a07c7} 1.0, binding [ncacn_ip_tcp:[49157]], annotation [NimboVssSupport].
//   Endpoint unregistered: interface {fa8573fc-2445-4ef5-82f1-30e34e7a07c7} 1.0, binding [ncacn_ip_tcp:[49157]].
//
// The simulated guests of the tests read exactly these lines to know what the agent
// registered; keep the two forms as they are.

#include <windows.h>
#include <rpc.h>
#include <string>
#include <vector>

#include "agents/PluginApi.h"

namespace agent
{
class CRpcServerHost
{
public:
    CRpcServerHost() = default;
    ~CRpcServerHost() { Stop(); }
    CRpcServerHost(const CRpcServerHost&) = delete;
    CRpcServerHost& operator=(const CRpcServerHost&) = delete;

    // Listens, registers the interface (calls are served at once) and publishes it in the
    // endpoint map. 0, or the RPC status of the step that failed (logged as an error, with
    // everything done so far undone).
    RPC_STATUS Start(RPC_IF_HANDLE ifSpec, const SNimboPluginHost& host);
    // Takes the interface out of the endpoint map and stops serving it once the calls in
    // progress have returned. Does nothing when not started.
    void Stop() noexcept;

    // The ncacn_ip_tcp string bindings the interface is published with (empty when stopped).
    const std::vector<std::wstring>& Bindings() const noexcept { return m_bindings; }

private:
    void Log(DWORD level, const std::wstring& text) const noexcept;
    RPC_STATUS Failed(const std::wstring& what, RPC_STATUS status) noexcept;

    const SNimboPluginHost* m_host = nullptr;
    RPC_IF_HANDLE m_ifSpec = nullptr;
    RPC_BINDING_VECTOR* m_vector = nullptr;
    bool m_registered = false;   // the interface is served
    std::wstring m_interface;    // "{uuid} major.minor", for the log
    std::vector<std::wstring> m_bindings;
};
}
