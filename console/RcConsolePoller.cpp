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
    : m_state(std::make_shared<SState>())
{
    m_state->rpcClientSlot = std::move(rpcClientSlot);
    m_state->subscriber = std::move(subscriber);
    m_state->stopEvent = std::make_shared<util::CTerminationEvent>();
    m_state->log = std::move(log);
    m_state->machineName = std::move(machineName);
    // Last: the thread reads the whole state. Its reference is handed over with the context.
    auto context = std::make_unique<std::shared_ptr<SState>>(m_state);
    m_thread = std::make_shared<util::CThread>(&CRcConsolePoller::ThreadRoutine, context.get());
    context.release();
}

CRcConsolePoller::~CRcConsolePoller()
{
    SState& state = *m_state;
    try
    {
        util::CTraceScope scope(*state.log, 234, state.machineName);
        state.stopEvent->Signal();
        if (GetCurrentThreadId() == m_thread->Id())
        {
            // Released from inside a subscriber call on the polling thread, which cannot wait
            // for itself: it ends on its own after that call, holding the library until then.
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                               reinterpret_cast<LPCWSTR>(&CRcConsolePoller::ThreadRoutine), &state.pinnedModule);
            m_thread->Detach();
        }
        else
        {
            m_thread->Join(INFINITE);
        }
        scope.Ok();
    }
    catch (const CExc& e)
    {
        state.log->Error(e, 235, state.machineName);
    }
}

DWORD WINAPI CRcConsolePoller::ThreadRoutine(void* context)
{
    if (!context)
        return static_cast<DWORD>(-1);
    std::shared_ptr<SState> state = std::move(*static_cast<std::shared_ptr<SState>*>(context));
    delete static_cast<std::shared_ptr<SState>*>(context);
    Poll(*state);
    const HMODULE pinned = state->pinnedModule;
    state.reset();
    if (pinned)
        FreeLibraryAndExitThread(pinned, 0);
    return 0;
}

void CRcConsolePoller::Poll(SState& state) noexcept
{
    try
    {
        state.log->Info(196, state.machineName);
        SRcConsoleStatus status;
        for (;;)
        {
            state.stopEvent->CheckTermination(kPollIntervalMs);
            // Our own reference for this poll: a Disconnect or the channel's end meanwhile only
            // empties the slot, and the session closes when the poll is over.
            std::shared_ptr<CRcRpcClient> client = state.rpcClientSlot->Get();
            if (!client)
                throw CExc(MsgText(178), E_FAIL);
            client->QueryStatus(status);
            ProcessStatus(state, status);
            if (status.stopped)
                break;
        }
        state.log->Info(198);
        state.log->Info(197, state.machineName);
    }
    catch (const STermExc&)
    {
        ReportChannelError(state, CExc(MsgText(192, state.machineName), E_FAIL));
    }
    catch (const CExc& e)
    {
        ReportChannelError(state, e);
    }
    catch (const std::bad_alloc&)
    {
        ReportChannelError(state, CComExc(E_OUTOFMEMORY));
    }
}

void CRcConsolePoller::ProcessStatus(SState& state, const SRcConsoleStatus& status)
{
    if (!status.outText.empty())
    {
        LogConsoleText(*state.log, 199, state.machineName, status.outText);
        if (state.subscriber)
        {
            util::CBstr text(status.outText);
            state.subscriber->OnStdOutput(text.get());
        }
    }
    if (!status.errText.empty())
    {
        LogConsoleText(*state.log, 200, state.machineName, status.errText);
        if (state.subscriber)
        {
            util::CBstr text(status.errText);
            state.subscriber->OnStdError(text.get());
        }
    }
    if (status.error)
    {
        // What came before the error in this poll has been delivered; the error ends the loop
        // and reaches the subscriber instead of the close.
        state.log->Warning(*status.error, 201, state.machineName);
        throw CExc(status.error->GetFullText(), status.error->GetHResult());
    }
    if (status.stopped)
    {
        state.log->Info(236, state.machineName);
        if (state.subscriber)
            state.subscriber->OnChannelStateChanged(ENimboRemoteConsoleClosed, nullptr);
    }
}

void CRcConsolePoller::ReportChannelError(SState& state, const CExc& e) noexcept
{
    try
    {
        util::CInfoScope scope(*state.log, 193, state.machineName);
        state.log->Warning(e, 195, state.machineName);
        if (state.subscriber)
        {
            util::CBstr text(e.GetFullText());
            state.subscriber->OnChannelStateChanged(ENimboRemoteConsoleError, text.get());
        }
        scope.Ok();
    }
    catch (const CExc& failure)
    {
        state.log->Error(failure, 194, state.machineName);
    }
    catch (const std::bad_alloc&)
    {
        // Nothing left to tell the subscriber with; the thread ends all the same.
    }
}
}
