#include "rpc/EpResolver.h"

#include "foundation/Convert.h"
#include "remote/AdminShareConnection.h"
#include "remote/PlatformSeam.h"
#include "rpc/AuthIdentity.h"
#include "rpc/RpcGuard.h"
#include "rpc/RpcHandles.h"

namespace util
{
namespace
{
const wchar_t kTcp[] = L"ncacn_ip_tcp";

// A handle without endpoint: the management calls made through it reach the endpoint mapper.
CRpcBindingHandle ConnectToEndpointMapper(const std::wstring& machine)
{
    try
    {
        CRpcString text;
        RPC_STATUS status = RpcStringBindingComposeW(nullptr, AsRpcString(kTcp), AsRpcString(machine), nullptr,
                                                     nullptr, text.put());
        if (status != RPC_S_OK)
            throw CRpcExc(202, machine, status);
        CRpcBindingHandle binding;
        status = RpcBindingFromStringBindingW(text.get(), binding.put());
        if (status != RPC_S_OK)
            throw CRpcExc(203, ToText(text), status);
        return binding;
    }
    catch (CExc& e)
    {
        e.AddMessage(204, machine);
        throw;
    }
}

struct SSetAuthInfo
{
    RPC_EP_INQ_HANDLE inquiry;
    RPC_AUTH_IDENTITY_HANDLE identity;
    RPC_STATUS status;
};

// The runtime keeps the binding it talks to the endpoint mapper through in the second
// pointer-sized field of the inquiry context; that is the binding to authenticate. The layout
// is private to the runtime, so the access runs inside the guard: a runtime laid out otherwise
// costs the authentication, never the process.
void SetInquiryAuthInfo(void* context)
{
    auto* call = static_cast<SSetAuthInfo*>(context);
    RPC_BINDING_HANDLE binding = reinterpret_cast<RPC_BINDING_HANDLE*>(call->inquiry)[1];
    call->status = RpcBindingSetAuthInfoW(binding, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_AUTHN_WINNT,
                                          call->identity, RPC_C_AUTHZ_NONE);
}

// An ncacn_ip_tcp binding: true with its string form; false for any other protocol sequence.
bool SuitableBinding(CLog& log, RPC_BINDING_HANDLE binding, std::wstring& stringBinding)
{
    try
    {
        CRpcString text;
        RPC_STATUS status = RpcBindingToStringBindingW(binding, text.put());
        if (status != RPC_S_OK)
            throw CRpcExc(210, status);
        const std::wstring candidate = ToText(text);
        if (candidate.empty())
            return false;
        log.Trace(211, candidate);
        CRpcString protocol;
        status = RpcStringBindingParseW(text.get(), nullptr, protocol.put(), nullptr, nullptr, nullptr);
        if (status != RPC_S_OK)
            throw CRpcExc(status);
        if (!EqualNoCase(ToText(protocol), kTcp))
            return false;
        stringBinding = candidate;
        return true;
    }
    catch (CExc& e)
    {
        e.AddMessage(209);
        throw;
    }
}
}

// An endpoint-map inquiry context, ended through the seam that began it.
class CEpResolver::CInquiry
{
public:
    CInquiry(RPC_BINDING_HANDLE endpointMapper, unsigned long inquiryType, const RPC_IF_ID& ifId,
             unsigned long versionOption)
    {
        RPC_IF_ID id = ifId;
        const RPC_STATUS status = remote::Platform().RpcMgmtEpEltInqBegin(endpointMapper, inquiryType, &id,
                                                                          versionOption, nullptr, &m_context);
        if (status != RPC_S_OK)
            throw CRpcExc(205, status);
    }
    ~CInquiry()
    {
        if (m_context)
            remote::Platform().RpcMgmtEpEltInqDone(&m_context);
    }
    CInquiry(const CInquiry&) = delete;
    CInquiry& operator=(const CInquiry&) = delete;

    RPC_EP_INQ_HANDLE Get() const noexcept { return m_context; }

    // The next element's binding and annotation; false at the end of the map.
    bool Next(CRpcBindingHandle& binding, std::wstring& annotation)
    {
        RPC_IF_ID id = {};
        CRpcString text;
        const RPC_STATUS status =
            remote::Platform().RpcMgmtEpEltInqNextW(m_context, &id, binding.put(), nullptr, text.put());
        if (status == RPC_X_NO_MORE_ENTRIES)
            return false;
        if (status != RPC_S_OK)
            throw CRpcExc(206, status);
        annotation = ToText(text);
        return true;
    }

private:
    RPC_EP_INQ_HANDLE m_context = nullptr;
};

CEpResolver::CEpResolver(std::shared_ptr<CAdminShareConnection> share, std::shared_ptr<CLog> log)
    : m_share(std::move(share)), m_log(std::move(log))
{
}

template <class Visit>
bool CEpResolver::Lookup(const RPC_IF_ID& ifId, unsigned long versionOption, Visit&& visit)
{
    const CRpcBindingHandle endpointMapper = ConnectToEndpointMapper(m_share->GetHost());
    CInquiry inquiry(endpointMapper.get(), RPC_C_EP_MATCH_BY_IF, ifId, versionOption);

    // The identity must stay valid while the inquiry uses it.
    const std::shared_ptr<CAuthIdentity> identity = CAuthIdentity::FromShare(*m_share);
    {
        CTraceScope scope(*m_log, 239);
        SSetAuthInfo call = {inquiry.Get(), identity ? identity->Get() : nullptr, RPC_S_OK};
        const unsigned long fault = NimboRpcCallGuarded(&SetInquiryAuthInfo, &call);
        const RPC_STATUS status = fault != 0 ? static_cast<RPC_STATUS>(fault) : call.status;
        if (status == RPC_S_OK)
            scope.Ok();
        else
            m_log->Warning(CRpcExc(status), 240);
    }

    CRpcBindingHandle binding;
    std::wstring annotation;
    while (inquiry.Next(binding, annotation))
    {
        if (visit(binding.get(), annotation))
            return true;
    }
    return false;
}

bool CEpResolver::ResolveByInterface(const RPC_IF_ID& ifId, std::wstring& stringBinding)
{
    const std::wstring uuid = GuidToText(ifId.Uuid);
    const std::wstring major = ToDecimal(ifId.VersMajor);
    const std::wstring minor = ToDecimal(ifId.VersMinor);
    try
    {
        CTraceScope scope(*m_log, 242, uuid, major, minor);
        const bool found = Lookup(ifId, RPC_C_VERS_EXACT, [&](RPC_BINDING_HANDLE binding, const std::wstring&) {
            if (!SuitableBinding(*m_log, binding, stringBinding))
                return false;
            m_log->Trace(243, stringBinding);
            return true;
        });
        scope.Ok();
        return found;
    }
    catch (CExc& e)
    {
        e.AddMessage(241, uuid, major, minor);
        throw;
    }
}

bool CEpResolver::ResolveByService(const RPC_IF_ID& ifId, const std::wstring& serviceName,
                                   std::wstring& stringBinding)
{
    const std::wstring machine = m_share->GetHost();
    try
    {
        CTraceScope scope(*m_log, 213, serviceName);
        const bool found = Lookup(ifId, RPC_C_VERS_ALL, [&](RPC_BINDING_HANDLE binding, const std::wstring& annotation) {
            if (annotation.empty())
                return false;
            m_log->Info(207, annotation);
            if (!EqualNoCase(annotation, serviceName) || !SuitableBinding(*m_log, binding, stringBinding))
                return false;
            m_log->Info(208, stringBinding);
            return true;
        });
        if (!found)
            m_log->Trace(214, serviceName, machine);
        scope.Ok();
        return found;
    }
    catch (CExc& e)
    {
        e.AddMessage(212, serviceName, machine);
        throw;
    }
}
}
