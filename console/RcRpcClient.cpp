#include "console/RcRpcClient.h"

#include "RemoteConsoleRpc.h"
#include "remote/AdminShareConnection.h"
#include "rpc/RpcGuard.h"

namespace rconsole
{
namespace
{
// Gives a buffer the stub allocated back to the runtime's allocator and forgets it.
template <class T>
void Release(T*& buffer) noexcept
{
    midl_user_free(buffer);
    buffer = nullptr;
}

// The text of a string the stub allocated, released after copying; "" for null.
std::wstring TakeText(wchar_t*& received)
{
    std::wstring text = received ? received : L"";
    Release(received);
    return text;
}

// Every procedure answers with a status first; the operations look at it after Call.
class CStatusMethod : public util::CRpcClient::IRpcMethod
{
public:
    explicit CStatusMethod(const wchar_t* name) : m_name(name) {}
    std::wstring GetName() const override { return m_name; }

    long m_status = 0;

private:
    const wchar_t* m_name;
};

// A procedure of an open session: the context handle carries its own binding, and a retry on
// a fresh binding would not reach the same session.
class CSessionMethod : public CStatusMethod
{
public:
    CSessionMethod(const wchar_t* name, void* session) : CStatusMethod(name), m_session(session) {}
    bool CanRebind() const override { return false; }

protected:
    void* m_session;
};

// Drops the local side of a session; the runtime raises a structured exception for a handle
// it does not know.
void DestroySessionHandle(void* session)
{
    RpcSsDestroyClientContext(static_cast<void**>(session));
}

template <class Method>
std::shared_ptr<Method> Run(util::CRpcClient& client, std::shared_ptr<Method> method)
{
    client.Call(method);
    return method;
}
}

class CRcRpcClient::CConnectRpcMethod : public CStatusMethod
{
public:
    CConnectRpcMethod() : CStatusMethod(L"RcConnect") {}
    void Invoke(RPC_BINDING_HANDLE binding) override
    {
        m_session = nullptr;
        m_status = ::RcConnect(binding, &m_session);
    }

    RC_SESSION m_session = nullptr;
};

class CRcRpcClient::CDisconnectRpcMethod : public CStatusMethod
{
public:
    explicit CDisconnectRpcMethod(void** session) : CStatusMethod(L"RcDisconnect"), m_session(session) {}
    void Invoke(RPC_BINDING_HANDLE) override { m_status = ::RcDisconnect(m_session); }
    bool CanRebind() const override { return false; }

private:
    // The client's own field: the server's reply clears it when the session is closed.
    void** m_session;
};

class CRcRpcClient::CGetAgentVersionRpcMethod : public CStatusMethod
{
public:
    CGetAgentVersionRpcMethod() : CStatusMethod(L"RcGetAgentVersion") {}
    void Invoke(RPC_BINDING_HANDLE binding) override
    {
        m_version = RcAgentVersion{};
        m_status = ::RcGetAgentVersion(binding, &m_version);
    }

    RcAgentVersion m_version = {};
};

class CRcRpcClient::CGetCompatibilityListRpcMethod : public CStatusMethod
{
public:
    CGetCompatibilityListRpcMethod() : CStatusMethod(L"RcGetCompatibilityList") {}
    ~CGetCompatibilityListRpcMethod() override { Release(m_list); }

    void Invoke(RPC_BINDING_HANDLE binding) override
    {
        // The stub fills a null pointer only; a repeated call starts from null again.
        Release(m_list);
        m_count = 0;
        m_status = ::RcGetCompatibilityList(binding, &m_count, &m_list);
    }
    void Complete() override
    {
        for (long i = 0; m_list && i < m_count; ++i)
            m_versions.insert(util::SNimboAgentVersion::FromRecord(m_list[i]));
        Release(m_list);
    }

    CRcCompatibilitySet m_versions;

private:
    long m_count = 0;
    RcAgentVersion* m_list = nullptr;
};

class CRcRpcClient::CPreUpgradeNotifyRpcMethod : public CStatusMethod
{
public:
    explicit CPreUpgradeNotifyRpcMethod(std::wstring text) : CStatusMethod(L"RcPreUpgradeNotify"), m_text(std::move(text)) {}
    void Invoke(RPC_BINDING_HANDLE binding) override
    {
        // Only the first code unit travels: 0 for an empty text.
        m_attached = 0;
        m_status = ::RcPreUpgradeNotify(binding, &m_text[0], &m_attached);
    }

    long m_attached = 0;

private:
    std::wstring m_text;
};

class CRcRpcClient::CGetLastSessionErrRpcMethod : public CSessionMethod
{
public:
    explicit CGetLastSessionErrRpcMethod(void* session) : CSessionMethod(L"RcConsoleGetLastError", session) {}
    ~CGetLastSessionErrRpcMethod() override { Release(m_received); }

    void Invoke(RPC_BINDING_HANDLE) override
    {
        Release(m_received);
        long errorCode = 0;   // the description is what the caller wants
        m_status = ::RcConsoleGetLastError(m_session, &errorCode, &m_received);
    }
    void Complete() override { m_description = TakeText(m_received); }

    std::wstring m_description;

private:
    wchar_t* m_received = nullptr;
};

class CRcRpcClient::CStartConsoleRpcMethod : public CSessionMethod
{
public:
    CStartConsoleRpcMethod(std::wstring arguments, void* session)
        : CSessionMethod(L"RcConsoleStart", session), m_arguments(std::move(arguments))
    {
    }
    void Invoke(RPC_BINDING_HANDLE) override
    {
        m_processId = 0;
        m_status = ::RcConsoleStart(m_session, m_arguments.c_str(), &m_processId);
    }

    long m_processId = 0;

private:
    std::wstring m_arguments;
};

class CRcRpcClient::CSendDataRpcMethod : public CSessionMethod
{
public:
    CSendDataRpcMethod(void* session, std::wstring data) : CSessionMethod(L"RcConsoleSend", session), m_data(std::move(data)) {}
    void Invoke(RPC_BINDING_HANDLE) override { m_status = ::RcConsoleSend(m_session, m_data.c_str()); }

private:
    std::wstring m_data;
};

class CRcRpcClient::CQueryStatusRpcMethod : public CSessionMethod
{
public:
    CQueryStatusRpcMethod(void* session, SRcConsoleStatus& target)
        : CSessionMethod(L"RcConsoleQueryStatus", session), m_target(&target)
    {
    }
    ~CQueryStatusRpcMethod() override { ReleaseRecord(); }

    void Invoke(RPC_BINDING_HANDLE) override
    {
        ReleaseRecord();
        m_status = ::RcConsoleQueryStatus(m_session, &m_record);
    }
    void Complete() override
    {
        SRcConsoleStatus& status = *m_target;
        status.stopped = m_record.state == 1;
        status.outText = TakeText(m_record.outText);
        status.errText = TakeText(m_record.errText);
        const std::wstring errorText = TakeText(m_record.errorText);
        if (m_record.errorCode != 0)
            status.error = std::make_shared<CExc>(errorText, static_cast<HRESULT>(m_record.errorCode));
    }

private:
    void ReleaseRecord() noexcept
    {
        Release(m_record.outText);
        Release(m_record.errText);
        Release(m_record.errorText);
        m_record = RcConsoleStatus{};
    }

    SRcConsoleStatus* m_target;
    RcConsoleStatus m_record = {};
};

CRcRpcClient::CRcRpcClient(const std::wstring& stringBinding, std::shared_ptr<CAdminShareConnection> share,
                           std::shared_ptr<util::CLog> log)
    : CRpcClient(stringBinding, share, InterfaceId(), log), m_machineName(share->GetHost()), m_log(std::move(log))
{
    Connect();
}

CRcRpcClient::~CRcRpcClient()
{
    if (!m_session)
        return;
    try
    {
        Disconnect();
    }
    catch (...)
    {
        // The session ends on the server with the connection; only the local handle is left.
    }
    if (m_session)
    {
        NimboRpcCallGuarded(&DestroySessionHandle, &m_session);
        m_session = nullptr;
    }
}

RPC_IF_ID CRcRpcClient::InterfaceId()
{
    return util::InterfaceIdOf(RemoteConsoleRpc_v1_0_c_ifspec);
}

void CRcRpcClient::Connect()
{
    try
    {
        util::CInfoScope scope(*m_log, 221, m_machineName);
        const auto method = Run(*this, std::make_shared<CConnectRpcMethod>());
        if (method->m_status != 0)
            throw CComExc(MsgText(222), static_cast<HRESULT>(method->m_status));
        m_session = method->m_session;
        scope.Ok();
    }
    catch (CExc& e)
    {
        e.AddMessage(220, m_machineName);
        throw;
    }
}

void CRcRpcClient::Disconnect()
{
    try
    {
        util::CTraceScope scope(*m_log, 224, m_machineName);
        const auto method = Run(*this, std::make_shared<CDisconnectRpcMethod>(&m_session));
        if (method->m_status != 0)
            throw CComExc(LoadMessage(225), m_machineName, static_cast<HRESULT>(method->m_status));
        scope.Ok();
    }
    catch (CExc& e)
    {
        e.AddMessage(223, m_machineName);
        throw;
    }
}

util::SNimboAgentVersion CRcRpcClient::GetAgentVersion()
{
    try
    {
        const auto method = Run(*this, std::make_shared<CGetAgentVersionRpcMethod>());
        if (method->m_status != 0)
            throw CComExc(static_cast<HRESULT>(method->m_status));
        return util::SNimboAgentVersion::FromRecord(method->m_version);
    }
    catch (CExc& e)
    {
        e.AddMessage(226, m_machineName);
        throw;
    }
}

CRcCompatibilitySet CRcRpcClient::GetCompatibilityList()
{
    try
    {
        const auto method = Run(*this, std::make_shared<CGetCompatibilityListRpcMethod>());
        if (method->m_status != 0)
            throw CComExc(static_cast<HRESULT>(method->m_status));
        return std::move(method->m_versions);
    }
    catch (CExc& e)
    {
        e.AddMessage(227, m_machineName);
        throw;
    }
}

long CRcRpcClient::PreUpgradeNotify(const std::wstring& text)
{
    try
    {
        const auto method = Run(*this, std::make_shared<CPreUpgradeNotifyRpcMethod>(text));
        if (method->m_status != 0)
            throw CComExc(static_cast<HRESULT>(method->m_status));
        return method->m_attached;
    }
    catch (CExc& e)
    {
        e.AddMessage(228, m_machineName);
        throw;
    }
}

void* CRcRpcClient::Session() const
{
    if (!m_session)
        throw CExc(MsgText(230), E_FAIL);
    return m_session;
}

long CRcRpcClient::StartConsole(const std::wstring& arguments)
{
    try
    {
        const auto method = Run(*this, std::make_shared<CStartConsoleRpcMethod>(arguments, Session()));
        if (method->m_status != 0)
            RaiseSessionError(method->m_status);
        return method->m_processId;
    }
    catch (CExc& e)
    {
        e.AddMessage(231, m_machineName);
        throw;
    }
}

void CRcRpcClient::SendData(const std::wstring& data)
{
    try
    {
        const auto method = Run(*this, std::make_shared<CSendDataRpcMethod>(Session(), data));
        if (method->m_status != 0)
            RaiseSessionError(method->m_status);
    }
    catch (CExc& e)
    {
        e.AddMessage(232, m_machineName, data);
        throw;
    }
}

void CRcRpcClient::QueryStatus(SRcConsoleStatus& status)
{
    status = SRcConsoleStatus();
    try
    {
        const auto method = Run(*this, std::make_shared<CQueryStatusRpcMethod>(Session(), status));
        if (method->m_status != 0)
            RaiseSessionError(method->m_status);
    }
    catch (CExc& e)
    {
        e.AddMessage(233, m_machineName);
        throw;
    }
}

void CRcRpcClient::RaiseSessionError(long status)
{
    const std::wstring description = GetLastSessionError();
    if (!description.empty())
        throw CComExc(description, static_cast<HRESULT>(status));
    throw CComExc(static_cast<HRESULT>(status));
}

std::wstring CRcRpcClient::GetLastSessionError() noexcept
{
    try
    {
        try
        {
            const auto method = Run(*this, std::make_shared<CGetLastSessionErrRpcMethod>(Session()));
            if (method->m_status != 0)
                throw CComExc(static_cast<HRESULT>(method->m_status));
            return method->m_description;
        }
        catch (CExc& e)
        {
            m_log->Warning(e, 229, m_machineName);
        }
    }
    catch (...)
    {
        // Not even the warning could be written (memory); the caller raises its own error.
    }
    return std::wstring();
}
}
