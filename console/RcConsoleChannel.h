#pragma once
// The console of one connection object, shared by every control object it hands out. It
// starts one console process on the guest through the RPC client in the connection's slot,
// forwards text to it, and owns the poller that reports the console's output and end.
//
// A channel starts once in its life: after the console has ended, or after a channel error,
// Start fails with message 177 and Subscribe with 174; a new console needs a new connection.
#include <windows.h>
#include <memory>
#include <string>

#include "NimboGuestAgentCtrl.h"
#include "console/RcConnection.h"
#include "foundation/ComTypes.h"
#include "foundation/Log.h"
#include "foundation/Threads.h"

namespace rconsole
{
class CRcConsolePoller;

class CRcConsoleChannel
{
public:
    CRcConsoleChannel(std::wstring machineName, std::shared_ptr<CRcRpcClientSlot> rpcClientSlot,
                      std::shared_ptr<util::CLog> log);
    // Stops the console (see Stop); a failure is logged, never raised.
    ~CRcConsoleChannel();

    CRcConsoleChannel(const CRcConsoleChannel&) = delete;
    CRcConsoleChannel& operator=(const CRcConsoleChannel&) = delete;

    // Replaces the subscriber (which may be null) until the channel is started.
    void Subscribe(INimboRemoteConsoleEvt* subscriber);
    // Starts the console and its poller; gives the guest's process id. The subscriber hears
    // Ready on this thread before the poller exists.
    long Start(const std::wstring& arguments);
    // Sends text to the console's standard input; also without a started console, the agent
    // decides what it means then.
    void Send(const std::wstring& text);

private:
    // Stops the poller and then empties the client slot, which closes the session once no one
    // else holds the client.
    void Stop();

    // The control objects of a connection may be used from several threads: this keeps the
    // subscriber and the poller consistent between Subscribe, Start and Stop.
    util::CCriticalSection m_lock;
    std::shared_ptr<CRcRpcClientSlot> m_rpcClientSlot;
    util::CComPtr<INimboRemoteConsoleEvt> m_subscriber;
    // While it exists the channel counts as started.
    std::shared_ptr<CRcConsolePoller> m_poller;
    std::shared_ptr<util::CLog> m_log;
    std::wstring m_machineName;
};
}
