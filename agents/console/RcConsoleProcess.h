#pragma once
// The program a console session runs: a child process whose standard input, output and error
// output are pipes held by this object. One pump thread reads both output pipes and keeps what
// they deliver, each stream in its own order, until a status query takes it.
//
// Bound on memory when nobody polls: each stream keeps at most StreamLimit code units. A full
// stream is simply not read any further, so the program blocks in its next write until a query
// makes room: output is delayed, never dropped. One query takes at most TakeLimit code units of
// both streams together, the rest stays for the next: a status answer of many megabytes would
// stall some RPC transports (Wine's sends large answers unreliably), and a client polls often.

#include "agents/PluginApi.h"
#include "foundation/Handle.h"
#include "foundation/Threads.h"

#include <windows.h>
#include <memory>
#include <string>

namespace agent
{
// Writes into the agent's log; never throws.
using PFN_RC_LOG = void (*)(DWORD level, const std::wstring& text);

// The status a procedure answers for an error of CAgentError (a Win32 code or an HRESULT).
inline HRESULT RcStatusOf(DWORD error) noexcept
{
    return error == 0 ? E_FAIL : (error & 0x80000000u) ? static_cast<HRESULT>(error) : HRESULT_FROM_WIN32(error);
}

// What one status query takes from the console.
struct SRcConsoleTake
{
    std::wstring out;
    std::wstring err;
    bool ended = false;        // the process has ended and the last of its output is in out/err
    DWORD errorCode = 0;       // an HRESULT, 0 when nothing went wrong; handed out once
    std::wstring errorText;
};

class CRcConsoleProcess
{
public:
    static const size_t StreamLimit = 4 * 1024 * 1024;
    static const size_t TakeLimit = 1024 * 1024;

    // Runs `image` with `commandLine` (which starts with the quoted image) in `workingDir`.
    // Throws CAgentError with the system's error when the program cannot be started.
    CRcConsoleProcess(const std::wstring& image, const std::wstring& commandLine, const std::wstring& workingDir,
                      PFN_RC_LOG log);
    ~CRcConsoleProcess();
    CRcConsoleProcess(const CRcConsoleProcess&) = delete;
    CRcConsoleProcess& operator=(const CRcConsoleProcess&) = delete;

    DWORD Id() const noexcept { return m_id; }

    // Writes the bytes to the program's standard input. Throws CAgentError when the program
    // has closed its input or does not read it within InputTimeoutMs.
    void Send(const std::string& bytes);

    // Moves out what was read since the previous call, up to TakeLimit code units in all.
    void Take(SRcConsoleTake& take);

    // Ends the program if it still runs and waits for the pump thread. Safe to call again, and
    // while another thread is in Send (which then fails).
    void Stop() noexcept;

private:
    struct SStream;
    static DWORD WINAPI PumpThread(void* self);
    void Pump();
    bool Issue(SStream& stream);
    void Complete(SStream& stream);
    void Failed(const std::wstring& what, DWORD error);

    static const DWORD InputTimeoutMs = 10000;

    PFN_RC_LOG m_log;
    DWORD m_id = 0;
    util::CKernelHandle m_process;
    util::CFileHandle m_input;
    util::CEventHandle m_inputDone;
    util::CEventHandle m_stop;
    util::CEventHandle m_room;    // a query has taken text: full streams may be read again
    util::CThreadHandle m_pump;
    std::unique_ptr<SStream> m_out;
    std::unique_ptr<SStream> m_err;

    util::CCriticalSection m_lock;      // the texts, the end and the error below
    util::CCriticalSection m_inputLock; // one write to standard input at a time
    util::CCriticalSection m_stopLock;
    bool m_ended = false;
    DWORD m_errorCode = 0;
    std::wstring m_errorText;
};
}
