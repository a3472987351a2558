#pragma once
// The client of the remote console agent's RPC interface (console/RemoteConsoleRpc.idl). It
// is made with the string binding found in the guest's endpoint map and holds one console
// session, opened by the constructor and closed by the destructor:
//
//   rconsole::CRcRpcClient client(binding, share, log);     // RcConnect, or throws
//   util::SNimboAgentVersion version = client.GetAgentVersion();
//   long processId = client.StartConsole(L"--banner hi");
//   rconsole::SRcConsoleStatus status;
//   client.QueryStatus(status);                             // output since the last poll
//
// A non-zero procedure status becomes a CComExc with that value as its HRESULT; RPC failures
// come from the framework as CRpcExc with message 124. Calls through one client are
// serialised by the framework, so the installing thread, the caller's thread and a polling
// thread may share one client.

#include <windows.h>
#include <memory>
#include <set>
#include <string>

#include "foundation/AgentVersion.h"
#include "foundation/Exc.h"
#include "rpc/RpcClient.h"

namespace rconsole
{
// One poll of a console: whether it has ended, what it wrote since the previous poll, and an
// error it reported (empty when none).
struct SRcConsoleStatus
{
    bool stopped = false;
    std::wstring outText;
    std::wstring errText;
    std::shared_ptr<CExc> error;
};

// Versions an agent declares itself compatible with, in version order, without repeats.
using CRcCompatibilitySet = std::set<util::SNimboAgentVersion>;

class CRcRpcClient : public util::CRpcClient
{
public:
    // Opens the session (messages 221, 220 on failure).
    CRcRpcClient(const std::wstring& stringBinding, std::shared_ptr<CAdminShareConnection> share,
                 std::shared_ptr<util::CLog> log);
    // Closes the session; when the server cannot be told, the local handle is dropped.
    ~CRcRpcClient() override;

    util::SNimboAgentVersion GetAgentVersion();
    CRcCompatibilitySet GetCompatibilityList();
    // Only the first character of `text` travels. The result is 0 once no console client is
    // attached to the agent any more.
    long PreUpgradeNotify(const std::wstring& text);
    // The process id of the started console.
    long StartConsole(const std::wstring& arguments);
    void SendData(const std::wstring& data);
    // Resets `status`, then fills it from the agent's answer.
    void QueryStatus(SRcConsoleStatus& status);
    // The agent's description of the session's last error; empty when it has none or cannot
    // be asked (a warning says why). Used while another error is being raised.
    std::wstring GetLastSessionError() noexcept;

    const std::wstring& GetMachineName() const noexcept { return m_machineName; }
    // The interface identity the agent registers in the endpoint map.
    static RPC_IF_ID InterfaceId();

    class CConnectRpcMethod;
    class CDisconnectRpcMethod;
    class CGetAgentVersionRpcMethod;
    class CGetCompatibilityListRpcMethod;
    class CPreUpgradeNotifyRpcMethod;
    class CGetLastSessionErrRpcMethod;
    class CStartConsoleRpcMethod;
    class CSendDataRpcMethod;
    class CQueryStatusRpcMethod;

private:
    void Connect();
    void Disconnect();
    [[noreturn]] void RaiseSessionError(long status);
    // The session handle for a session procedure; raises message 230 when none is open.
    void* Session() const;

    // The console session (an RPC context handle); null when none is open. Written only by
    // the constructor and the destructor.
    void* m_session = nullptr;
    std::wstring m_machineName;
    std::shared_ptr<util::CLog> m_log;
};
}
