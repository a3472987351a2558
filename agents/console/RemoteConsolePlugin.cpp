// The remote console plugin of the guest agent. It serves the RemoteConsoleRpc interface from
// the running agent: the agent's version and compatibility set from "RemoteConsoleCfg.xml",
// console sessions (RPC context handles) that each run one console program, and the upgrade
// notice. A session ends with RcDisconnect or, when its client goes away, with the runtime's
// rundown of the handle; either ends the session's program.

#include "agents/PluginApi.h"
#include "agents/RpcServerHost.h"
#include "foundation/Threads.h"
#include "agents/console/RcSession.h"
#include "agents/console/RcSettings.h"
#include "console/RcAgentConfigFormat.h"
#include "module/Version.h"

#include "RemoteConsoleRpc.h"

#include <cwchar>
#include <map>
#include <memory>
#include <string>

namespace
{
using agent::CRcSession;

// Valid from Start until Stop returns: the host guarantees the structure's lifetime.
const SNimboPluginHost* g_host = nullptr;
agent::SRcSettings g_settings;
agent::CRpcServerHost g_server;

// The open sessions by handle value. The runtime hands in whatever handle a client sends (a
// nil one included), so every procedure looks its session up here.
util::CCriticalSection g_sessionsLock;
std::map<void*, std::shared_ptr<CRcSession>> g_sessions;
bool g_serving = false;   // under g_sessionsLock: no new session once stopping

void Log(DWORD level, const std::wstring& text)
{
    const SNimboPluginHost* host = g_host;
    if (host != nullptr && host->log != nullptr)
        host->log(host->logContext, level, text.c_str());
}

void SafeLog(DWORD level, const std::wstring& text) noexcept
{
    try
    {
        Log(level, text);
    }
    catch (...)
    {
    }
}

std::shared_ptr<CRcSession> FindSession(void* handle)
{
    util::CCriticalSection::CHold hold(g_sessionsLock);
    auto it = g_sessions.find(handle);
    return it == g_sessions.end() ? nullptr : it->second;
}

std::shared_ptr<CRcSession> RemoveSession(void* handle)
{
    util::CCriticalSection::CHold hold(g_sessionsLock);
    auto it = g_sessions.find(handle);
    if (it == g_sessions.end())
        return nullptr;
    std::shared_ptr<CRcSession> session = std::move(it->second);
    g_sessions.erase(it);
    return session;
}

wchar_t* CopyForWire(const std::wstring& text)
{
    if (text.empty())
        return nullptr;
    auto* copy = static_cast<wchar_t*>(midl_user_allocate((text.size() + 1) * sizeof(wchar_t)));
    if (copy != nullptr)
        std::wmemcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// A session procedure: the body runs with the session the handle names. A handle that names
// none is refused with the fault the runtime itself uses for a stale context handle; the fault
// is raised here, where no object with a destructor is alive.
template <class Body>
LONG ServeSession(void* handle, Body&& body)
{
    LONG status = S_OK;
    bool known = true;
    try
    {
        std::shared_ptr<CRcSession> session = FindSession(handle);
        if (session)
            status = body(*session);
        else
            known = false;
    }
    catch (...)
    {
        status = E_OUTOFMEMORY;
    }
    if (!known)
        RpcRaiseException(RPC_X_SS_CONTEXT_MISMATCH);
    return status;
}
}

extern "C" LONG RcGetAgentVersion(handle_t, RcAgentVersion* pVersion)
{
    pVersion->m_Major = g_settings.version.major;
    pVersion->m_Minor = g_settings.version.minor;
    pVersion->m_Revision = g_settings.version.revision;
    pVersion->m_Build = g_settings.version.build;
    return S_OK;
}

extern "C" LONG RcGetCompatibilityList(handle_t, LONG* pCount, RcAgentVersion** ppList)
{
    *pCount = 0;
    *ppList = nullptr;
    const auto& versions = g_settings.compatibility;
    if (versions.empty())
        return S_OK;
    auto* list = static_cast<RcAgentVersion*>(midl_user_allocate(versions.size() * sizeof(RcAgentVersion)));
    if (list == nullptr)
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < versions.size(); ++i)
        list[i] = RcAgentVersion{versions[i].major, versions[i].minor, versions[i].revision, versions[i].build};
    *pCount = static_cast<LONG>(versions.size());
    *ppList = list;
    return S_OK;
}

extern "C" LONG RcConnect(handle_t, RC_SESSION* phSession)
{
    *phSession = nullptr;
    try
    {
        auto session = std::make_shared<CRcSession>(g_settings, g_host->agentFolder, &SafeLog);
        size_t open = 0;
        {
            util::CCriticalSection::CHold hold(g_sessionsLock);
            if (!g_serving)
                return RPC_S_SERVER_TOO_BUSY;
            g_sessions[session.get()] = session;
            open = g_sessions.size();
        }
        *phSession = session.get();
        SafeLog(NIMBO_PLUGIN_LOG_INFO, L"Console session opened; " + std::to_wstring(open) + L" session(s) open.");
        return S_OK;
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
}

extern "C" LONG RcConsoleGetLastError(RC_SESSION hSession, LONG* pErrorCode, wchar_t** ppDescription)
{
    *pErrorCode = S_OK;
    *ppDescription = nullptr;
    return ServeSession(hSession, [&](CRcSession& session) -> LONG {
        HRESULT code = S_OK;
        std::wstring text;
        session.LastError(code, text);
        *pErrorCode = code;
        *ppDescription = CopyForWire(text);
        return text.empty() || *ppDescription ? S_OK : E_OUTOFMEMORY;
    });
}

extern "C" LONG RcConsoleStart(RC_SESSION hSession, const wchar_t* pArguments, LONG* pProcessId)
{
    *pProcessId = 0;
    return ServeSession(hSession, [&](CRcSession& session) -> LONG {
        DWORD id = 0;
        const HRESULT status = session.Start(pArguments ? pArguments : L"", id);
        *pProcessId = static_cast<LONG>(id);
        return status;
    });
}

extern "C" LONG RcConsoleSend(RC_SESSION hSession, const wchar_t* pData)
{
    return ServeSession(hSession,
                        [&](CRcSession& session) -> LONG { return session.Send(pData ? pData : L""); });
}

extern "C" LONG RcConsoleQueryStatus(RC_SESSION hSession, RcConsoleStatus* pStatus)
{
    *pStatus = RcConsoleStatus{};
    return ServeSession(hSession, [&](CRcSession& session) -> LONG {
        agent::SRcConsoleTake take;
        const HRESULT status = session.QueryStatus(take);
        if (status != S_OK)
            return status;
        pStatus->state = take.ended ? 1 : 0;
        pStatus->outText = CopyForWire(take.out);
        pStatus->errText = CopyForWire(take.err);
        pStatus->errorCode = static_cast<LONG>(take.errorCode);
        pStatus->errorText = CopyForWire(take.errorText);
        if ((!take.out.empty() && !pStatus->outText) || (!take.err.empty() && !pStatus->errText))
            SafeLog(NIMBO_PLUGIN_LOG_ERROR, L"Console output is lost: out of memory.");
        return S_OK;
    });
}

extern "C" LONG RcDisconnect(RC_SESSION* phSession)
{
    void* handle = *phSession;
    return ServeSession(handle, [&](CRcSession&) -> LONG {
        if (std::shared_ptr<CRcSession> session = RemoveSession(handle))
            session->Close();
        *phSession = nullptr;
        SafeLog(NIMBO_PLUGIN_LOG_INFO, L"Console session closed by its client.");
        return S_OK;
    });
}

extern "C" LONG RcPreUpgradeNotify(handle_t, wchar_t*, LONG* pAttached)
{
    // Every client holds a session before it can notify (it opens one first thing), so the
    // notifier's own session is not counted as attached.
    size_t open = 0;
    {
        util::CCriticalSection::CHold hold(g_sessionsLock);
        for (auto& entry : g_sessions)
            entry.second->NotifyUpgrade();
        open = g_sessions.size();
    }
    *pAttached = open > 1 ? static_cast<LONG>(open - 1) : 0;
    SafeLog(NIMBO_PLUGIN_LOG_INFO,
            L"Upgrade notice received; " + std::to_wstring(*pAttached) + L" other console client(s) attached.");
    return S_OK;
}

// The client is gone without closing its session.
extern "C" void __RPC_USER RC_SESSION_rundown(RC_SESSION hSession)
{
    if (std::shared_ptr<CRcSession> session = RemoveSession(hSession))
    {
        SafeLog(NIMBO_PLUGIN_LOG_INFO, L"Console session closed: its client is gone.");
        session->Close();
    }
}

extern "C" DWORD __cdecl NimboPluginStart(const SNimboPluginHost* host)
{
    // Older hosts hand out a shorter structure: refuse rather than read past it.
    if (host == nullptr || host->cbSize < sizeof(SNimboPluginHost) || host->log == nullptr)
        return ERROR_INVALID_PARAMETER;
    // A client may vanish after the plugin has stopped; its handle's rundown then still calls
    // in here, so the plugin stays loaded for the rest of the process.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&RC_SESSION_rundown), &self);
    g_host = host;
    try
    {
        Log(NIMBO_PLUGIN_LOG_INFO, L"Remote console plugin " NIMBO_VERSION_TEXT L" loaded from [" +
                                       std::wstring(host->pluginPath) + L"] for service [" + host->serviceName + L"].");
        // The host's thread normally has COM already; the configuration needs it.
        const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        try
        {
            g_settings = agent::SRcSettings::Load(std::wstring(host->agentFolder) + L"\\" + rcconfig::FileName);
        }
        catch (...)
        {
            if (SUCCEEDED(com))
                CoUninitialize();
            throw;
        }
        if (SUCCEEDED(com))
            CoUninitialize();
        Log(NIMBO_PLUGIN_LOG_INFO, L"Console agent version " + g_settings.version.Text() + L", " +
                                       std::to_wstring(g_settings.compatibility.size()) +
                                       L" compatible version(s), console program [" + g_settings.relativePath + L"].");
        {
            util::CCriticalSection::CHold hold(g_sessionsLock);
            g_serving = true;
        }
        const RPC_STATUS status = g_server.Start(RemoteConsoleRpc_v1_0_s_ifspec, *host);
        if (status != RPC_S_OK)
        {
            util::CCriticalSection::CHold hold(g_sessionsLock);
            g_serving = false;
            g_host = nullptr;
            return status;
        }
        return 0;
    }
    catch (const agent::CAgentError& error)
    {
        SafeLog(NIMBO_PLUGIN_LOG_ERROR, error.Describe());
        g_host = nullptr;
        return error.Error() ? error.Error() : ERROR_INVALID_DATA;
    }
    catch (...)
    {
        g_host = nullptr;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

extern "C" void __cdecl NimboPluginStop(void)
{
    // The programs end first: a call waiting for a program to read its input then returns at
    // once, and stopping the interface, which waits for the calls in progress, is quick.
    std::map<void*, std::shared_ptr<CRcSession>> sessions;
    {
        util::CCriticalSection::CHold hold(g_sessionsLock);
        g_serving = false;
        sessions.swap(g_sessions);
    }
    for (auto& entry : sessions)
        entry.second->Close();
    sessions.clear();
    g_server.Stop();
    SafeLog(NIMBO_PLUGIN_LOG_INFO, L"Remote console plugin stopped.");
    g_host = nullptr;
}
