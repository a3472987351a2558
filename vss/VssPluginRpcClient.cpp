#include "vss/VssPluginRpcClient.h"

#include "VssPluginRpc.h"

namespace vss
{
namespace
{
// The procedures without data: the stub alone, named for messages.
template <void (*Stub)(handle_t)>
class CPlainMethod : public util::CRpcClient::IRpcMethod
{
public:
    explicit CPlainMethod(const wchar_t* name) : m_name(name) {}
    void Invoke(RPC_BINDING_HANDLE binding) override { Stub(binding); }
    std::wstring GetName() const override { return m_name; }

private:
    const wchar_t* m_name;
};

template <class Method>
std::shared_ptr<Method> Run(CVssPluginRpcClient& client, std::shared_ptr<Method> method)
{
    client.Call(method);
    return method;
}
}

class CVssPluginRpcClient::CFreezeRPCMethod : public CPlainMethod<&::Freeze>
{
public:
    CFreezeRPCMethod() : CPlainMethod(L"Freeze") {}
};

class CVssPluginRpcClient::CUnfreezeRPCMethod : public CPlainMethod<&::Unfreeze>
{
public:
    CUnfreezeRPCMethod() : CPlainMethod(L"Unfreeze") {}
};

class CVssPluginRpcClient::CDoTestRPCMethod : public CPlainMethod<&::DoTest>
{
public:
    CDoTestRPCMethod() : CPlainMethod(L"DoTest") {}
};

class CVssPluginRpcClient::CGetFreezeStateRPCMethod : public util::CRpcClient::IRpcMethod
{
public:
    void Invoke(RPC_BINDING_HANDLE binding) override
    {
        EVssPluginFreezeState state = VssPluginFreezeNone;
        ::GetFreezeState(binding, &state);
        m_state = static_cast<long>(state);
    }
    std::wstring GetName() const override { return L"GetFreezeState"; }

    long m_state = 0;
};

class CVssPluginRpcClient::CGetLastFreezeErrorRPCMethod : public util::CRpcClient::IRpcMethod
{
public:
    ~CGetLastFreezeErrorRPCMethod() override { midl_user_free(m_received); }

    void Invoke(RPC_BINDING_HANDLE binding) override
    {
        // The stub fills a null pointer only; a retried call starts from null again.
        midl_user_free(m_received);
        m_received = nullptr;
        ::GetLastFreezeError(binding, &m_received, &m_errorCode);
    }
    void Complete() override
    {
        m_description = m_received ? m_received : L"";
        midl_user_free(m_received);
        m_received = nullptr;
    }
    std::wstring GetName() const override { return L"GetLastFreezeError"; }

    std::wstring m_description;
    long m_errorCode = 0;

private:
    wchar_t* m_received = nullptr;
};

CVssPluginRpcClient::CVssPluginRpcClient(std::shared_ptr<CAdminShareConnection> share,
                                         std::shared_ptr<util::CLog> log)
    : CRpcClient(std::move(share), InterfaceId(), std::move(log))
{
}

RPC_IF_ID CVssPluginRpcClient::InterfaceId()
{
    return util::InterfaceIdOf(VssPluginRpc_v1_0_c_ifspec);
}

void CVssPluginRpcClient::Freeze()
{
    Call(std::make_shared<CFreezeRPCMethod>());
}

long CVssPluginRpcClient::GetFreezeState()
{
    return Run(*this, std::make_shared<CGetFreezeStateRPCMethod>())->m_state;
}

long CVssPluginRpcClient::GetLastFreezeError(std::wstring& description)
{
    const auto method = Run(*this, std::make_shared<CGetLastFreezeErrorRPCMethod>());
    description = method->m_description;
    return method->m_errorCode;
}

void CVssPluginRpcClient::Unfreeze()
{
    Call(std::make_shared<CUnfreezeRPCMethod>());
}

void CVssPluginRpcClient::DoTest()
{
    Call(std::make_shared<CDoTestRPCMethod>());
}
}
