#include "agents/RpcServerHost.h"

#include "agents/AgentError.h"

#include <cwchar>

namespace agent
{
namespace
{
wchar_t kTcp[] = L"ncacn_ip_tcp";

std::wstring InterfaceText(RPC_IF_HANDLE ifSpec)
{
    RPC_IF_ID id = {};
    RpcIfInqId(ifSpec, &id);
    wchar_t text[64];
    const GUID& g = id.Uuid;
    swprintf(text, 64, L"{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x} %u.%u",
             static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
             g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7], id.VersMajor, id.VersMinor);
    return text;
}

std::wstring BindingText(RPC_BINDING_HANDLE binding)
{
    RPC_WSTR text = nullptr;
    std::wstring result;
    if (RpcBindingToStringBindingW(binding, &text) == RPC_S_OK)
    {
        result = reinterpret_cast<wchar_t*>(text);
        RpcStringFreeW(&text);
    }
    return result;
}

RPC_WSTR AsRpcString(const std::wstring& text)
{
    return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text.c_str()));
}
}

void CRpcServerHost::Log(DWORD level, const std::wstring& text) const noexcept
{
    if (m_host && m_host->log)
        m_host->log(m_host->logContext, level, text.c_str());
}

RPC_STATUS CRpcServerHost::Failed(const std::wstring& what, RPC_STATUS status) noexcept
{
    try
    {
        Log(NIMBO_PLUGIN_LOG_ERROR, CAgentError(EAgentExit::PluginStartFailed, what, status).Describe());
    }
    catch (...)
    {
    }
    Stop();
    return status;
}

RPC_STATUS CRpcServerHost::Start(RPC_IF_HANDLE ifSpec, const SNimboPluginHost& host)
{
    Stop();
    try
    {
        m_host = &host;
        m_ifSpec = ifSpec;
        m_interface = InterfaceText(ifSpec);

        const std::wstring port = host.useDynPort ? std::wstring() : std::to_wstring(host.staticPort);
        RPC_STATUS status =
            host.useDynPort
                ? RpcServerUseProtseqW(reinterpret_cast<RPC_WSTR>(kTcp), RPC_C_PROTSEQ_MAX_REQS_DEFAULT, nullptr)
                : RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(kTcp), RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                         AsRpcString(port), nullptr);
        // Another plugin of this agent may already listen on the same static port.
        if (status != RPC_S_OK && status != RPC_S_DUPLICATE_ENDPOINT)
            return Failed(L"The agent cannot listen on ncacn_ip_tcp " +
                              (host.useDynPort ? std::wstring(L"on a dynamic port.") : L"port " + port + L"."),
                          status);

        // Callers authenticate with NTLM, through Negotiate where they can. A runtime without
        // either still serves unauthenticated calls, so this is worth a warning only.
        for (const unsigned long service : {RPC_C_AUTHN_GSS_NEGOTIATE, RPC_C_AUTHN_WINNT})
        {
            status = RpcServerRegisterAuthInfoW(nullptr, service, nullptr, nullptr);
            if (status != RPC_S_OK)
                Log(NIMBO_PLUGIN_LOG_WARNING,
                    CAgentError(EAgentExit::Ok, L"Authentication service " + std::to_wstring(service) +
                                                    L" is not available to RPC callers.", status)
                        .Describe());
        }

        // Auto-listen: the interface is served as soon as it is registered, whatever other
        // plugins of this agent do with their own interfaces.
        status = RpcServerRegisterIfEx(ifSpec, nullptr, nullptr, RPC_IF_AUTOLISTEN, RPC_C_LISTEN_MAX_CALLS_DEFAULT,
                                       nullptr);
        if (status != RPC_S_OK)
            return Failed(L"The RPC interface " + m_interface + L" cannot be registered.", status);
        m_registered = true;

        status = RpcServerInqBindings(&m_vector);
        if (status != RPC_S_OK)
            return Failed(L"The agent's RPC bindings cannot be read.", status);
        std::wstring annotation = host.serviceName ? host.serviceName : L"";
        status = RpcEpRegisterW(ifSpec, m_vector, nullptr, AsRpcString(annotation));
        if (status != RPC_S_OK)
            return Failed(L"The RPC interface " + m_interface + L" cannot be registered in the endpoint map.",
                          status);
        for (unsigned long i = 0; i < m_vector->Count; ++i)
        {
            m_bindings.push_back(BindingText(m_vector->BindingH[i]));
            Log(NIMBO_PLUGIN_LOG_INFO, L"Endpoint registered: interface " + m_interface + L", binding [" +
                                           m_bindings.back() + L"], annotation [" + annotation + L"].");
        }
        return RPC_S_OK;
    }
    catch (...)
    {
        return Failed(L"The RPC interface cannot be served.", ERROR_NOT_ENOUGH_MEMORY);
    }
}

void CRpcServerHost::Stop() noexcept
{
    if (m_vector)
    {
        if (!m_bindings.empty())
        {
            const RPC_STATUS status = RpcEpUnregister(m_ifSpec, m_vector, nullptr);
            try
            {
                for (const std::wstring& binding : m_bindings)
                    Log(status == RPC_S_OK ? NIMBO_PLUGIN_LOG_INFO : NIMBO_PLUGIN_LOG_WARNING,
                        status == RPC_S_OK
                            ? L"Endpoint unregistered: interface " + m_interface + L", binding [" + binding + L"]."
                            : CAgentError(EAgentExit::Ok, L"The endpoint [" + binding +
                                                              L"] cannot be taken out of the endpoint map.",
                                          status)
                                  .Describe());
            }
            catch (...)
            {
            }
            m_bindings.clear();
        }
        RpcBindingVectorFree(&m_vector);
        m_vector = nullptr;
    }
    if (m_registered)
    {
        // Waits for the calls in progress: nothing of the plugin may run once Stop returns.
        RpcServerUnregisterIf(m_ifSpec, nullptr, TRUE);
        m_registered = false;
    }
    m_host = nullptr;
}
}
