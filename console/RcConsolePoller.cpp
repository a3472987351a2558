#include "console/RcConsolePoller.h"

#include <new>

#include "console/RcRpcClient.h"

namespace rconsole
{
void LogConsoleText(util::CLog& log, UINT tagId, const std::wstring& machineName, const std::wstring& text)
{
    if (!log.IsTraceEnabled())
        return;
    // One group: lines of another thread must not land between the braces.
    util::CLogLock::CHold hold(log.GetLock());
    log.Trace(tagId, machineName);
    log.Trace(L"{");
    log.Indent(1);
    log.Trace(text);
    log.Indent(-1);
    log.Trace(L"}");
}

CRcConsolePoller::CRcConsolePoller(std::wstring machineName, std::shared_ptr<CRcRpcClientSlot> rpcClientSlot,
                                   util::CComPtr<INimboRemoteConsoleEvt> subscriber, std::shared_ptr<util::CLog> log)
    : m_rpcClientSlot(std::move(rpcClientSlot)),
      m_subscriber(std::move(subscriber)),
      m_stopEvent(std::make_shared<util::CTerminationEvent>()),
      m_log(std::move(log)),
      m_machineName(std::move(machineName))
{
    // Last: the thread reads every other field.
    m_thread = std::make_shared<util::CThread>(&CRcConsolePoller::ThreadRoutine, this);
}

CRcConsolePoller::~CRcConsolePoller()
{
    try
    {
        util::CTraceScope scope(*m_log, 234, m_machineName);
        m_stopEvent->Signal();
        m_thread->Join(INFINITE);
        scope.Ok();
    }
    catch (const CExc& e)
    {
        m_log->Error(e, 235, m_machineName);
    }
}

DWORD WINAPI CRcConsolePoller::ThreadRoutine(void* context)
{
    if (!context)
        return static_cast<DWORD>(-1);
    static_cast<CRcConsolePoller*>(context)->Poll();
    return 0;
}

void CRcConsolePoller::Poll() noexcept
{
    try
    {
        m_log->Info(196, m_machineName);
        SRcConsoleStatus status;
        for (;;)
        {
            m_stopEvent->CheckTermination(kPollIntervalMs);
            // Our own reference for this poll: a Disconnect or the channel's end meanwhile only
            // empties the slot, and the session closes when the poll is over.
            std::shared_ptr<CRcRpcClient> client = m_rpcClientSlot->Get();
            if (!client)
                throw CExc(MsgText(178), E_FAIL);
            client->QueryStatus(status);
            ProcessStatus(status);
            if (status.stopped)
                break;
        }
        m_log->Info(198);
        m_log->Info(197, m_machineName);
    }
    catch (const STermExc&)
    {
        ReportChannelError(CExc(MsgText(192, m_machineName), E_FAIL));
    }
    catch (const CExc& e)
    {
        ReportChannelError(e);
    }
    catch (const std::bad_alloc&)
    {
        ReportChannelError(CComExc(E_OUTOFMEMORY));
    }
}

void CRcConsolePoller::ProcessStatus(const SRcConsoleStatus& status)
{
    if (!status.outText.empty())
    {
        LogConsoleText(*m_log, 199, m_machineName, status.outText);
        if (m_subscriber)
        {
            util::CBstr text(status.outText);
            m_subscriber->OnStdOutput(text.get());
        }
    }
    if (!status.errText.empty())
    {
        LogConsoleText(*m_log, 200, m_machineName, status.errText);
        if (m_subscriber)
        {
            util::CBstr text(status.errText);
            m_subscriber->OnStdError(text.get());
        }
    }
    if (status.error)
    {
        // What came before the error in this poll has been delivered; the error ends the loop
        // and reaches the subscriber instead of the close.
        m_log->Warning(*status.error, 201, m_machineName);
        throw CExc(status.error->GetFullText(), status.error->GetHResult());
    }
    if (status.stopped)
    {
        m_log->Info(236, m_machineName);
        if (m_subscriber)
            m_subscriber->OnChannelStateChanged(ENimboRemoteConsoleClosed, nullptr);
    }
}

void CRcConsolePoller::ReportChannelError(const CExc& e) noexcept
{
    try
    {
        util::CInfoScope scope(*m_log, 193, m_machineName);
        m_log->Warning(e, 195, m_machineName);
        if (m_subscriber)
        {
            util::CBstr text(e.GetFullText());
            m_subscriber->OnChannelStateChanged(ENimboRemoteConsoleError, text.get());
        }
        scope.Ok();
    }
    catch (const CExc& failure)
    {
        m_log->Error(failure, 194, m_machineName);
    }
    catch (const std::bad_alloc&)
    {
        // Nothing left to tell the subscriber with; the thread ends all the same.
    }
}
}
