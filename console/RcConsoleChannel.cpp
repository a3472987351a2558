#include "console/RcConsoleChannel.h"

#include "console/RcConsolePoller.h"
#include "console/RcRpcClient.h"
#include "foundation/Convert.h"

namespace rconsole
{
namespace
{
// The client for one operation; an empty slot means no Install succeeded on the connection,
// or it was disconnected since.
std::shared_ptr<CRcRpcClient> ClientOf(const CRcRpcClientSlot& slot)
{
    std::shared_ptr<CRcRpcClient> client = slot.Get();
    if (!client)
        throw CExc(MsgText(178), E_FAIL);
    return client;
}
}

CRcConsoleChannel::CRcConsoleChannel(std::wstring machineName, std::shared_ptr<CRcRpcClientSlot> rpcClientSlot,
                                     std::shared_ptr<util::CLog> log)
    : m_rpcClientSlot(std::move(rpcClientSlot)), m_log(std::move(log)), m_machineName(std::move(machineName))
{
}

CRcConsoleChannel::~CRcConsoleChannel()
{
    try
    {
        Stop();
    }
    catch (const CExc& e)
    {
        m_log->Error(e);
    }
}

void CRcConsoleChannel::Subscribe(INimboRemoteConsoleEvt* subscriber)
{
    util::CCriticalSection::CHold hold(m_lock);
    // The poller keeps the subscriber it was made with, so a late one would never be called.
    if (m_poller)
        throw CExc(MsgText(174), E_FAIL);
    m_subscriber = util::CComPtr<INimboRemoteConsoleEvt>(subscriber);
}

long CRcConsoleChannel::Start(const std::wstring& arguments)
{
    try
    {
        util::CInfoScope scope(*m_log, 176, m_machineName, arguments);
        // Held to the end: of two concurrent starts the second finds the poller.
        util::CCriticalSection::CHold hold(m_lock);
        if (m_poller)
            throw CExc(MsgText(177), E_FAIL);
        const long processId = ClientOf(*m_rpcClientSlot)->StartConsole(arguments);
        // From here on the process runs on the guest even if what follows fails.
        if (m_subscriber)
        {
            util::CBstr empty(std::wstring{});
            m_subscriber->OnChannelStateChanged(ENimboRemoteConsoleReady, empty.get());
        }
        m_poller = std::make_shared<CRcConsolePoller>(m_machineName, m_rpcClientSlot, m_subscriber, m_log);
        m_log->Info(244, util::ToDecimal(processId));
        scope.Ok();
        return processId;
    }
    catch (CExc& e)
    {
        e.AddMessage(175, m_machineName, arguments);
        throw;
    }
}

void CRcConsoleChannel::Send(const std::wstring& text)
{
    try
    {
        util::CTraceScope scope(*m_log, 182, m_machineName);
        LogConsoleText(*m_log, 183, m_machineName, text);
        ClientOf(*m_rpcClientSlot)->SendData(text);
        scope.Ok();
    }
    catch (CExc& e)
    {
        e.AddMessage(181, text, m_machineName);
        throw;
    }
}

void CRcConsoleChannel::Stop()
{
    std::shared_ptr<CRcRpcClient> client = m_rpcClientSlot->Get();
    // Without a client the poller, if any, goes with the channel's fields and stops the same way.
    if (!client)
        return;
    try
    {
        util::CInfoScope scope(*m_log, 180, m_machineName);
        m_poller.reset();
        client.reset();
        m_rpcClientSlot->Set(nullptr);
        scope.Ok();
    }
    catch (CExc& e)
    {
        e.AddMessage(179, m_machineName);
        throw;
    }
}
}
