#pragma once
// The base of every agent client: one binding to the guest, made on the first call and kept,
// authenticated with the account of the administrative share connection, and every remote
// procedure run as a small command object:
//
//   class CFreezeRPCMethod : public util::CRpcClient::IRpcMethod
//   {
//       void Invoke(RPC_BINDING_HANDLE binding) override { Freeze(binding); }   // the client stub
//       std::wstring GetName() const override { return L"Freeze"; }
//   };
//   client.Call(std::make_shared<CFreezeRPCMethod>());   // raises CRpcExc with message 124
//
// Call catches the runtime's structured exceptions (rpc/RpcGuard.h), tries the next
// authentication service when the server refuses one (Negotiate, Kerberos, NTLM), makes one
// fresh binding when a command that allows it finds the server gone (the agent restarted on
// another port), and turns what remains into a CRpcExc whose first sentence names the remote
// function and the machine. Calls through one client are serialised.

#include <windows.h>
#include <rpc.h>
#include <memory>
#include <string>

#include "foundation/Log.h"
#include "foundation/Threads.h"

class CAdminShareConnection;

namespace util
{
class CRpcClient
{
public:
    class IRpcMethod
    {
    public:
        virtual ~IRpcMethod() = default;
        // Calls one client stub with `binding` and the command's own fields. It runs inside the
        // structured-exception guard: it must not throw and must not own objects with
        // destructors (a fault leaves its frame without cleanup). Work that may throw, such as
        // copying returned strings, belongs in Complete.
        virtual void Invoke(RPC_BINDING_HANDLE binding) = 0;
        // The remote function's name in messages, e.g. "Freeze".
        virtual std::wstring GetName() const = 0;
        // Whether the call may be repeated on a fresh binding after the server was not
        // reachable. Commands bound to a server-side session must not be.
        virtual bool CanRebind() const { return true; }
        // Runs once after a successful Invoke, outside the guard (still under the client's
        // lock).
        virtual void Complete() {}
    };

    // The binding is found in the guest's endpoint map by `ifId`, or made without endpoint.
    CRpcClient(std::shared_ptr<CAdminShareConnection> share, const RPC_IF_ID& ifId, std::shared_ptr<CLog> log);
    // A non-empty `stringBinding` is used as it is; an empty one behaves as above.
    CRpcClient(std::wstring stringBinding, std::shared_ptr<CAdminShareConnection> share, const RPC_IF_ID& ifId,
               std::shared_ptr<CLog> log);
    virtual ~CRpcClient();

    CRpcClient(const CRpcClient&) = delete;
    CRpcClient& operator=(const CRpcClient&) = delete;

    // Runs the command; raises CRpcExc (message 124 first) when the call fails. Other errors
    // pass through unchanged.
    void Call(const std::shared_ptr<IRpcMethod>& method);

    // The binding calls go to now, and the authentication service it was made with; empty and
    // 0 before the first call.
    std::wstring GetBindingText() const;
    unsigned long GetAuthnService() const;

    const std::shared_ptr<CAdminShareConnection>& GetShareConnection() const noexcept { return m_share; }
    const std::shared_ptr<CLog>& GetLog() const noexcept { return m_log; }

private:
    struct SBinding;

    RPC_STATUS GuardedCall(IRpcMethod& method);
    void MakeBinding(unsigned long authnService);
    std::wstring FindStringBinding();

    mutable CCriticalSection m_lock;
    std::shared_ptr<CAdminShareConnection> m_share;
    std::shared_ptr<CLog> m_log;
    std::shared_ptr<SBinding> m_binding;
    std::wstring m_stringBinding;
    RPC_IF_ID m_ifId;
};

// The identity of the interface a generated stub serves or calls.
RPC_IF_ID InterfaceIdOf(RPC_IF_HANDLE ifSpec);
}
