#pragma once
// The polling thread of a started console: every 1.5 s it asks the agent for new output, error
// output, errors and the end of the console, and hands each of them to the subscriber on this
// thread, in that order. Destroying the poller stops the thread and waits for it; a console
// still running then reaches the subscriber as a channel error (message 192).
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
struct SRcConsoleStatus;

class CRcConsolePoller
{
public:
    // The time between the end of one poll and the start of the next; the first poll comes
    // this long after the start.
    static constexpr DWORD kPollIntervalMs = 1500;

    // Starts the thread. `subscriber` may be null: the console is then polled and logged only.
    CRcConsolePoller(std::wstring machineName, std::shared_ptr<CRcRpcClientSlot> rpcClientSlot,
                     util::CComPtr<INimboRemoteConsoleEvt> subscriber, std::shared_ptr<util::CLog> log);
    // Signals the thread and waits for it without a time limit; never throws.
    ~CRcConsolePoller();

    CRcConsolePoller(const CRcConsolePoller&) = delete;
    CRcConsolePoller& operator=(const CRcConsolePoller&) = delete;

private:
    // What the thread works with. The thread holds a reference of its own, so a subscriber may
    // release the last control object from inside one of its calls: the poller then goes while
    // its thread finishes the poll on this state (see the destructor).
    struct SState
    {
        std::shared_ptr<CRcRpcClientSlot> rpcClientSlot;
        util::CComPtr<INimboRemoteConsoleEvt> subscriber;
        std::shared_ptr<util::CTerminationEvent> stopEvent;
        std::shared_ptr<util::CLog> log;
        std::wstring machineName;
        // Set when the poller went on its own thread: the thread then leaves through
        // FreeLibraryAndExitThread, so the library cannot be unloaded under its last steps.
        HMODULE pinnedModule = nullptr;
    };

    static DWORD WINAPI ThreadRoutine(void* context);
    static void Poll(SState& state) noexcept;
    static void ProcessStatus(SState& state, const SRcConsoleStatus& status);
    static void ReportChannelError(SState& state, const CExc& e) noexcept;

    std::shared_ptr<SState> m_state;
    std::shared_ptr<util::CThread> m_thread;
};

// Console text in the log, at trace level only: the tag line (message `tagId` naming the
// machine), "{", the text one level deeper, "}".
void LogConsoleText(util::CLog& log, UINT tagId, const std::wstring& machineName, const std::wstring& text);
}
