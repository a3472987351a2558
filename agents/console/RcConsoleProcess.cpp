#include "agents/console/RcConsoleProcess.h"

#include "agents/AgentError.h"

#include <algorithm>
#include <vector>

namespace agent
{
namespace
{
const DWORD PipeBuffer = 64 * 1024;
// Once the program has ended, its output pipes are given this long to report their end. Only
// a process the program started and left running can still hold them then.
const DWORD EndGraceMs = 1000;

// Our end of a pipe, opened for overlapped I/O, and the program's end, which becomes
// inheritable only while the program is created (see the constructor).
void MakePipe(bool weRead, util::CFileHandle& ours, util::CFileHandle& theirs)
{
    static LONG counter = 0;
    const std::wstring name = L"\\\\.\\pipe\\NimboRemoteConsole_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                              std::to_wstring(InterlockedIncrement(&counter));
    ours.reset(CreateNamedPipeW(name.c_str(),
                                (weRead ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
                                    FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, PipeBuffer, PipeBuffer, 0, nullptr));
    if (!ours)
        ThrowLastError(EAgentExit::Ok, L"A pipe for the console program cannot be created.");
    theirs.reset(CreateFileW(name.c_str(), weRead ? GENERIC_WRITE : GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!theirs)
        ThrowLastError(EAgentExit::Ok, L"A pipe for the console program cannot be opened.");
}

util::CEventHandle MakeEvent(BOOL manualReset)
{
    util::CEventHandle event(CreateEventW(nullptr, manualReset, FALSE, nullptr));
    if (!event)
        ThrowLastError(EAgentExit::Ok, L"An event for the console program cannot be created.");
    return event;
}

// Handles become inheritable only under this lock, so that two consoles started at the same
// time do not inherit each other's pipes (the program's end of a pipe would then stay open
// after it ends, and its end would never be seen).
util::CCriticalSection& CreationLock()
{
    static util::CCriticalSection lock;
    return lock;
}

// Where the system allows it (Vista and later), the program inherits only its three pipe ends.
// Otherwise it would inherit every inheritable handle of the agent, the RPC runtime's sockets
// among them, and keep a client's connection open after the client has closed it. XP has no
// such list: there the program inherits what the agent has.
class CInheritOnly
{
public:
    explicit CInheritOnly(HANDLE (&handles)[3])
    {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        auto init = reinterpret_cast<Init>(reinterpret_cast<void*>(GetProcAddress(kernel, "InitializeProcThreadAttributeList")));
        auto update = reinterpret_cast<Update>(reinterpret_cast<void*>(GetProcAddress(kernel, "UpdateProcThreadAttribute")));
        m_delete = reinterpret_cast<Delete>(reinterpret_cast<void*>(GetProcAddress(kernel, "DeleteProcThreadAttributeList")));
        if (!init || !update || !m_delete)
            return;
        SIZE_T size = 0;
        init(nullptr, 1, 0, &size);
        m_buffer.resize(size);
        if (size == 0 || !init(m_buffer.data(), 1, 0, &size))
            return;
        if (!update(m_buffer.data(), 0, HandleListAttribute, handles, sizeof(handles), nullptr, nullptr))
        {
            m_delete(m_buffer.data());
            return;
        }
        m_list = m_buffer.data();
    }
    ~CInheritOnly()
    {
        if (m_list)
            m_delete(m_list);
    }
    CInheritOnly(const CInheritOnly&) = delete;
    CInheritOnly& operator=(const CInheritOnly&) = delete;

    // Null when the system knows no such list.
    void* List() const noexcept { return m_list; }

    // STARTUPINFOEXW, which the headers for XP do not declare.
    struct SStartupInfoEx
    {
        STARTUPINFOW info;
        void* attributes;
    };
    static const DWORD ExtendedStartupInfo = 0x00080000;   // EXTENDED_STARTUPINFO_PRESENT

private:
    using Init = BOOL(WINAPI*)(void*, DWORD, DWORD, SIZE_T*);
    using Update = BOOL(WINAPI*)(void*, DWORD, DWORD_PTR, void*, SIZE_T, void*, SIZE_T*);
    using Delete = void(WINAPI*)(void*);
    static const DWORD_PTR HandleListAttribute = 0x00020002;   // PROC_THREAD_ATTRIBUTE_HANDLE_LIST

    std::vector<char> m_buffer;
    void* m_list = nullptr;
    Delete m_delete = nullptr;
};

// The length of the longest prefix of `bytes` that does not end inside a UTF-8 sequence.
size_t CompleteUtf8Prefix(const std::string& bytes)
{
    const size_t size = bytes.size();
    for (size_t back = 1; back <= 3 && back <= size; ++back)
    {
        const unsigned char c = static_cast<unsigned char>(bytes[size - back]);
        if ((c & 0xC0) == 0x80)
            continue;   // a continuation byte: look further back for the lead
        const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}

// Console programs write UTF-8 or the OEM code page; bytes that are not valid UTF-8 are taken
// as the latter.
std::wstring Decode(const char* data, size_t size)
{
    std::wstring text;
    if (size == 0)
        return text;
    for (UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_OEMCP)})
    {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int length = MultiByteToWideChar(codePage, flags, data, static_cast<int>(size), nullptr, 0);
        if (length <= 0)
            continue;
        text.resize(length);
        MultiByteToWideChar(codePage, flags, data, static_cast<int>(size), &text[0], length);
        break;
    }
    return text;
}
}

struct CRcConsoleProcess::SStream
{
    explicit SStream(const wchar_t* name) : name(name), buffer(PipeBuffer) {}

    const wchar_t* name;
    util::CFileHandle pipe;
    util::CEventHandle event;
    OVERLAPPED overlapped{};
    std::vector<char> buffer;
    bool pending = false;   // a read is in progress
    bool open = true;       // the end of the stream has not been seen
    std::string partial;    // the start of a UTF-8 sequence that the next read completes
    std::wstring text;      // under m_lock: read, not yet taken
};

CRcConsoleProcess::CRcConsoleProcess(const std::wstring& image, const std::wstring& commandLine,
                                     const std::wstring& workingDir, PFN_RC_LOG log)
    : m_log(log), m_out(new SStream(L"output")), m_err(new SStream(L"error output"))
{
    util::CFileHandle childIn, childOut, childErr;
    MakePipe(false, m_input, childIn);
    MakePipe(true, m_out->pipe, childOut);
    MakePipe(true, m_err->pipe, childErr);
    m_inputDone = MakeEvent(TRUE);
    m_out->event = MakeEvent(TRUE);
    m_err->event = MakeEvent(TRUE);
    m_stop = MakeEvent(TRUE);
    m_room = MakeEvent(FALSE);

    HANDLE inherited[3] = {childIn.get(), childOut.get(), childErr.get()};
    CInheritOnly inheritOnly(inherited);
    CInheritOnly::SStartupInfoEx startup{};
    startup.info.cb = inheritOnly.List() ? sizeof(startup) : sizeof(startup.info);
    startup.info.dwFlags = STARTF_USESTDHANDLES;
    startup.info.hStdInput = childIn.get();
    startup.info.hStdOutput = childOut.get();
    startup.info.hStdError = childErr.get();
    startup.attributes = inheritOnly.List();
    // No window: the agent runs as a service, nobody would see it.
    const DWORD flags = CREATE_NO_WINDOW | (inheritOnly.List() ? CInheritOnly::ExtendedStartupInfo : 0);
    PROCESS_INFORMATION process{};
    std::wstring mutableLine = commandLine;
    {
        util::CCriticalSection::CHold hold(CreationLock());
        for (HANDLE h : inherited)
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        const BOOL created = CreateProcessW(image.c_str(), &mutableLine[0], nullptr, nullptr, TRUE, flags, nullptr,
                                            workingDir.c_str(), &startup.info, &process);
        const DWORD error = GetLastError();
        childIn.reset();
        childOut.reset();
        childErr.reset();
        if (!created)
            throw CAgentError(EAgentExit::Ok,
                              L"The console program [" + image + L"] cannot be started in [" + workingDir + L"].",
                              error);
    }
    CloseHandle(process.hThread);
    m_process.reset(process.hProcess);
    m_id = process.dwProcessId;

    m_pump.reset(CreateThread(nullptr, 0, &PumpThread, this, 0, nullptr));
    if (!m_pump)
    {
        const DWORD error = GetLastError();
        TerminateProcess(m_process.get(), ERROR_PROCESS_ABORTED);
        throw CAgentError(EAgentExit::Ok, L"The console program's output cannot be read.", error);
    }
}

CRcConsoleProcess::~CRcConsoleProcess()
{
    Stop();
}

void CRcConsoleProcess::Stop() noexcept
{
    util::CCriticalSection::CHold hold(m_stopLock);
    if (!m_pump)
        return;
    if (WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT && TerminateProcess(m_process.get(), ERROR_PROCESS_ABORTED))
    {
        try
        {
            m_log(NIMBO_PLUGIN_LOG_INFO, L"Console process " + std::to_wstring(m_id) + L" is ended by the agent.");
        }
        catch (...)
        {
        }
    }
    SetEvent(m_stop.get());
    WaitForSingleObject(m_pump.get(), INFINITE);
    m_pump.reset();
}

void CRcConsoleProcess::Send(const std::string& bytes)
{
    util::CCriticalSection::CHold hold(m_inputLock);
    size_t done = 0;
    while (done < bytes.size())
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_inputDone.get();
        ResetEvent(overlapped.hEvent);
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, PipeBuffer));
        if (!WriteFile(m_input.get(), bytes.data() + done, chunk, nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            ThrowLastError(EAgentExit::Ok, L"The console program has closed its standard input.");
        if (WaitForSingleObject(overlapped.hEvent, InputTimeoutMs) == WAIT_TIMEOUT)
        {
            // The buffer must stay until the cancelled write is over.
            CancelIo(m_input.get());
            DWORD ignored = 0;
            GetOverlappedResult(m_input.get(), &overlapped, &ignored, TRUE);
            throw CAgentError(EAgentExit::Ok,
                              L"The console program has not read its standard input for " +
                                  std::to_wstring(InputTimeoutMs / 1000) + L" seconds.",
                              ERROR_TIMEOUT);
        }
        DWORD written = 0;
        if (!GetOverlappedResult(m_input.get(), &overlapped, &written, FALSE))
            ThrowLastError(EAgentExit::Ok, L"The console program has closed its standard input.");
        done += written;
    }
}

namespace
{
// Moves up to `limit` code units from the front of `text` to `taken`, never half a surrogate pair.
void TakeFront(std::wstring& text, std::wstring& taken, size_t limit)
{
    if (text.size() <= limit)
    {
        taken.swap(text);
        text.clear();
        return;
    }
    if (text[limit - 1] >= 0xD800 && text[limit - 1] <= 0xDBFF)
        --limit;
    taken.assign(text, 0, limit);
    text.erase(0, limit);
}
}

void CRcConsoleProcess::Take(SRcConsoleTake& take)
{
    util::CCriticalSection::CHold hold(m_lock);
    // Both streams together stay within the limit; one alone may use all of it.
    const bool both = !m_out->text.empty() && !m_err->text.empty();
    TakeFront(m_out->text, take.out, both ? TakeLimit / 2 : TakeLimit);
    TakeFront(m_err->text, take.err, both ? TakeLimit / 2 : TakeLimit);
    take.ended = m_ended && m_out->text.empty() && m_err->text.empty();
    take.errorCode = m_errorCode;
    take.errorText.swap(m_errorText);
    m_errorCode = 0;
    m_errorText.clear();
    SetEvent(m_room.get());
}

void CRcConsoleProcess::Failed(const std::wstring& what, DWORD error)
{
    const CAgentError failure(EAgentExit::Ok, what, error);
    const std::wstring text = failure.Describe();
    m_log(NIMBO_PLUGIN_LOG_WARNING, L"Console process " + std::to_wstring(m_id) + L": " + text);
    util::CCriticalSection::CHold hold(m_lock);
    if (m_errorCode == 0)   // the first error is the one worth reporting
    {
        m_errorCode = static_cast<DWORD>(RcStatusOf(error));
        m_errorText = text;
    }
}

DWORD WINAPI CRcConsoleProcess::PumpThread(void* self)
{
    try
    {
        static_cast<CRcConsoleProcess*>(self)->Pump();
    }
    catch (...)
    {
        // Out of memory: what was read stays, the console is reported as ended.
        CRcConsoleProcess& process = *static_cast<CRcConsoleProcess*>(self);
        process.m_log(NIMBO_PLUGIN_LOG_ERROR, L"Console process output cannot be kept: out of memory.");
        CancelIo(process.m_out->pipe.get());
        CancelIo(process.m_err->pipe.get());
        for (SStream* stream : {process.m_out.get(), process.m_err.get()})
            if (stream->pending)
                WaitForSingleObject(stream->event.get(), INFINITE);
        util::CCriticalSection::CHold hold(process.m_lock);
        process.m_ended = true;
        process.m_errorCode = static_cast<DWORD>(E_OUTOFMEMORY);
    }
    return 0;
}

// False when the stream has ended (or failed) instead.
bool CRcConsoleProcess::Issue(SStream& stream)
{
    ResetEvent(stream.event.get());
    stream.overlapped = OVERLAPPED{};
    stream.overlapped.hEvent = stream.event.get();
    // A read that completes at once still signals the event: it is collected like any other.
    if (ReadFile(stream.pipe.get(), stream.buffer.data(), PipeBuffer, nullptr, &stream.overlapped) ||
        GetLastError() == ERROR_IO_PENDING)
    {
        stream.pending = true;
        return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_BROKEN_PIPE)
        Failed(std::wstring(L"The console's ") + stream.name + L" cannot be read.", error);
    stream.open = false;
    return false;
}

void CRcConsoleProcess::Complete(SStream& stream)
{
    DWORD read = 0;
    // Waits only for a cancelled read: otherwise the read is already over.
    const BOOL ok = GetOverlappedResult(stream.pipe.get(), &stream.overlapped, &read, TRUE);
    const DWORD error = ok ? 0 : GetLastError();
    stream.pending = false;
    stream.partial.append(stream.buffer.data(), read);
    if (!ok)
    {
        stream.open = false;
        if (error != ERROR_BROKEN_PIPE && error != ERROR_OPERATION_ABORTED)
            Failed(std::wstring(L"The console's ") + stream.name + L" cannot be read.", error);
    }
    // At the end of the stream an incomplete sequence is decoded as it is.
    const size_t cut = stream.open ? CompleteUtf8Prefix(stream.partial) : stream.partial.size();
    std::wstring text = Decode(stream.partial.data(), cut);
    stream.partial.erase(0, cut);
    util::CCriticalSection::CHold hold(m_lock);
    stream.text += text;
}

void CRcConsoleProcess::Pump()
{
    bool exited = false;
    SStream* const streams[] = {m_out.get(), m_err.get()};
    for (;;)
    {
        bool full = false;
        for (SStream* stream : streams)
        {
            if (!stream->open || stream->pending)
                continue;
            size_t kept;
            {
                util::CCriticalSection::CHold hold(m_lock);
                kept = stream->text.size();
            }
            if (kept >= StreamLimit)
                full = true;
            else
                Issue(*stream);
        }
        if (!m_out->open && !m_err->open)
            break;

        HANDLE waits[5];
        SStream* owners[5] = {};
        DWORD count = 0;
        waits[count++] = m_stop.get();
        for (SStream* stream : streams)
            if (stream->pending)
            {
                owners[count] = stream;
                waits[count++] = stream->event.get();
            }
        if (full)
            waits[count++] = m_room.get();
        const DWORD processIndex = count;
        if (!exited)
            waits[count++] = m_process.get();
        // Only reads in progress may time out: a stream that waits for room keeps its data.
        const DWORD timeout = exited && !full ? EndGraceMs : INFINITE;
        const DWORD result = WaitForMultipleObjects(count, waits, FALSE, timeout);
        if (result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT || result == WAIT_FAILED)
        {
            if (result == WAIT_TIMEOUT)
                m_log(NIMBO_PLUGIN_LOG_WARNING, L"Console process " + std::to_wstring(m_id) +
                                                    L" has ended, but another process still holds its output.");
            for (SStream* stream : streams)
                if (stream->pending)
                {
                    CancelIo(stream->pipe.get());
                    Complete(*stream);   // keeps what the cancelled read got
                }
            break;
        }
        const DWORD index = result - WAIT_OBJECT_0;
        if (owners[index] != nullptr)
            Complete(*owners[index]);
        else if (!exited && index == processIndex)
            exited = true;
    }
    for (SStream* stream : streams)
        if (stream->pending)
            Complete(*stream);

    // The output has ended; the program normally has too, else it is ended by Stop.
    const HANDLE ends[] = {m_stop.get(), m_process.get()};
    WaitForMultipleObjects(2, ends, FALSE, INFINITE);
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(m_process.get(), &exitCode);
    m_log(NIMBO_PLUGIN_LOG_INFO,
          L"Console process " + std::to_wstring(m_id) + L" has ended with exit code " + std::to_wstring(exitCode) + L".");
    util::CCriticalSection::CHold hold(m_lock);
    m_ended = true;
}
}
