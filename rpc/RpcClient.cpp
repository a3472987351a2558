#include "rpc/RpcClient.h"

#include "foundation/Exc.h"
#include "remote/AdminShareConnection.h"
#include "rpc/AuthIdentity.h"
#include "rpc/EpResolver.h"
#include "rpc/RpcGuard.h"
#include "rpc/RpcHandles.h"

namespace util
{
namespace
{
const wchar_t kTcp[] = L"ncacn_ip_tcp";

// The authentication services a call tries, in order. Every call starts at the first.
class CAuthnCursor
{
public:
    unsigned long Current() const noexcept
    {
        return m_index < kCount ? kServices[m_index] : RPC_C_AUTHN_GSS_NEGOTIATE;
    }
    // False once the cursor has run past the last service.
    bool Advance() noexcept { return ++m_index < kCount; }

private:
    static constexpr unsigned long kServices[] = {RPC_C_AUTHN_GSS_NEGOTIATE, RPC_C_AUTHN_GSS_KERBEROS,
                                                  RPC_C_AUTHN_WINNT};
    static constexpr size_t kCount = sizeof(kServices) / sizeof(kServices[0]);
    size_t m_index = 0;
};

struct SInvoke
{
    CRpcClient::IRpcMethod* method;
    RPC_BINDING_HANDLE binding;
};

void InvokeMethod(void* context)
{
    auto* call = static_cast<SInvoke*>(context);
    call->method->Invoke(call->binding);
}

bool IsAuthnRefusal(RPC_STATUS status)
{
    return status == RPC_S_UNKNOWN_AUTHN_SERVICE || status == RPC_S_SEC_PKG_ERROR;
}

bool IsServerGone(RPC_STATUS status)
{
    return status == RPC_S_SERVER_UNAVAILABLE || status == EPT_S_NOT_REGISTERED;
}
}

// A binding handle and the identity set on it, which the runtime uses for as long as the
// handle lives.
struct CRpcClient::SBinding
{
    std::shared_ptr<CAuthIdentity> identity;   // declared first: it outlives the handle
    CRpcBindingHandle handle;
    std::wstring text;
    unsigned long authnService = 0;
};

CRpcClient::CRpcClient(std::shared_ptr<CAdminShareConnection> share, const RPC_IF_ID& ifId,
                       std::shared_ptr<CLog> log)
    : CRpcClient(std::wstring(), std::move(share), ifId, std::move(log))
{
}

CRpcClient::CRpcClient(std::wstring stringBinding, std::shared_ptr<CAdminShareConnection> share,
                       const RPC_IF_ID& ifId, std::shared_ptr<CLog> log)
    : m_share(std::move(share)), m_log(std::move(log)), m_stringBinding(std::move(stringBinding)), m_ifId(ifId)
{
}

CRpcClient::~CRpcClient() = default;

void CRpcClient::Call(const std::shared_ptr<IRpcMethod>& method)
{
    CCriticalSection::CHold hold(m_lock);
    try
    {
        const RPC_STATUS status = GuardedCall(*method);
        if (status != RPC_S_OK)
            throw CRpcExc(status);
    }
    catch (CRpcExc& e)
    {
        e.AddMessage(124, method->GetName(), m_share->GetHost());
        throw;
    }
    method->Complete();
}

RPC_STATUS CRpcClient::GuardedCall(IRpcMethod& method)
{
    CAuthnCursor cursor;
    bool madeBinding = false;
    if (!m_binding)
    {
        MakeBinding(cursor.Current());
        madeBinding = true;
    }
    for (;;)
    {
        SInvoke call = {&method, m_binding->handle.get()};
        const auto status = static_cast<RPC_STATUS>(NimboRpcCallGuarded(&InvokeMethod, &call));
        if (status == RPC_S_OK)
            return RPC_S_OK;
        if (IsAuthnRefusal(status))
        {
            if (!cursor.Advance())
                return status;
            MakeBinding(cursor.Current());
        }
        else if (method.CanRebind() && !madeBinding && IsServerGone(status))
        {
            // A binding gone stale (the agent restarted on another port) gets one fresh try.
            MakeBinding(RPC_C_AUTHN_GSS_NEGOTIATE);
            madeBinding = true;
        }
        else
        {
            return status;
        }
    }
}

void CRpcClient::MakeBinding(unsigned long authnService)
{
    m_binding.reset();
    auto binding = std::make_shared<SBinding>();
    binding->text = m_stringBinding.empty() ? FindStringBinding() : m_stringBinding;
    RPC_STATUS status = RpcBindingFromStringBindingW(AsRpcString(binding->text), binding->handle.put());
    if (status != RPC_S_OK)
        throw CRpcExc(126, binding->text, status);

    // What the runtime says here is not acted on: a setting it cannot use shows up as the
    // status of the first call, which the caller retries with the next service.
    binding->identity = CAuthIdentity::FromShare(*m_share);
    RPC_AUTH_IDENTITY_HANDLE identity = binding->identity ? binding->identity->Get() : nullptr;
    status = RpcBindingSetAuthInfoW(binding->handle.get(), nullptr, RPC_C_AUTHN_LEVEL_CONNECT, authnService,
                                    identity, RPC_C_AUTHZ_NONE);
    if (status == RPC_S_UNKNOWN_AUTHN_TYPE || status == RPC_S_UNKNOWN_AUTHN_SERVICE || status == ERROR_ACCESS_DENIED)
        RpcBindingSetAuthInfoW(binding->handle.get(), nullptr, RPC_C_AUTHN_LEVEL_PKT_INTEGRITY, authnService,
                               identity, RPC_C_AUTHZ_NONE);
    binding->authnService = authnService;
    m_binding = std::move(binding);
}

std::wstring CRpcClient::FindStringBinding()
{
    const std::wstring machine = m_share->GetHost();
    try
    {
        std::wstring found;
        if (CEpResolver(m_share, m_log).ResolveByInterface(m_ifId, found))
            return found;
    }
    catch (CExc& e)
    {
        m_log->Warning(e);
    }
    // No endpoint: the runtime asks the guest's endpoint mapper for the port at the first call.
    CRpcString text;
    const RPC_STATUS status =
        RpcStringBindingComposeW(nullptr, AsRpcString(kTcp), AsRpcString(machine), nullptr, nullptr, text.put());
    if (status != RPC_S_OK)
    {
        CRpcExc e(status);
        e.AddMessage(125, kTcp, machine);
        throw e;
    }
    return ToText(text);
}

std::wstring CRpcClient::GetBindingText() const
{
    CCriticalSection::CHold hold(m_lock);
    return m_binding ? m_binding->text : std::wstring();
}

unsigned long CRpcClient::GetAuthnService() const
{
    CCriticalSection::CHold hold(m_lock);
    return m_binding ? m_binding->authnService : 0;
}

RPC_IF_ID InterfaceIdOf(RPC_IF_HANDLE ifSpec)
{
    RPC_IF_ID id = {};
    RpcIfInqId(ifSpec, &id);
    return id;
}
}
