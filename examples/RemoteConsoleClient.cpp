// An early-bound C++ client of NimboGuestAgentCtrl: a remote console on a guest.
//
//   NimboRemoteConsoleClient.exe <host> <domain\user> <password> <log file> <console program>
//                                [<command> [<start arguments>]]
//
// Connects to the guest, describes the console agent's package (the console program, a local
// file, is uploaded beside the agent and is what the agent runs), installs the agent or
// reconnects to the one already there, starts the console program, sends it <command>
// (default "echo hello"), prints its output and error output as they arrive, sends "exit" and
// waits for the console to close. Events reach this program through its own sink
// (ConsoleEventSink.h) connected to a NimboRemoteConsoleEvt object. Needs only the registered
// DLL and the header and GUIDs the build generates from its type library.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "ConsoleEventSink.h"
#include "ExampleSupport.h"
#include "NimboGuestAgentCtrl.h"

namespace
{
using example::Release;
using example::Succeeded;

const wchar_t* StateName(ENimboRemoteConsoleChannelState state)
{
    switch (state)
    {
    case ENimboRemoteConsoleReady:
        return L"ready";
    case ENimboRemoteConsoleError:
        return L"error";
    case ENimboRemoteConsoleClosed:
        return L"closed";
    }
    return L"(unknown)";
}

// What the sink saw, for the main thread to wait on.
struct SConsoleWatch
{
    DWORD start = GetTickCount();
    HANDLE outputSeen = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // output after the command was sent
    HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);       // closed or failed
    volatile LONG finalState = 0;

    ~SConsoleWatch()
    {
        CloseHandle(outputSeen);
        CloseHandle(ended);
    }

    // One event's text, line by line, under a heading with the time since the start. A line
    // may be split between two events: output comes in whatever pieces each poll collected.
    void Print(const wchar_t* stream, const wchar_t* text, UINT length)
    {
        std::lock_guard<std::mutex> hold(example::PrintLock());
        wprintf(L"  [+%.1f s] %ls, %u characters:\n", (GetTickCount() - start) / 1000.0, stream, length);
        std::wstring rest(text, length);
        while (!rest.empty())
        {
            const size_t end = rest.find(L'\n');
            std::wstring line = rest.substr(0, end);
            if (!line.empty() && line.back() == L'\r')
                line.pop_back();
            wprintf(L"    | %ls\n", line.c_str());
            rest = end == std::wstring::npos ? std::wstring() : rest.substr(end + 1);
        }
        fflush(stdout);
    }
};

int Run(const wchar_t* host, const wchar_t* login, const wchar_t* password, const wchar_t* logPath,
        const wchar_t* program, const std::wstring& command, const wchar_t* arguments)
{
    // The program goes next to the agent under its own file name.
    std::wstring fileName = program;
    fileName = fileName.substr(fileName.find_last_of(L"\\/") + 1);

    INimboGAConnection* connection = nullptr;
    INimboGAInstaller* installer = nullptr;
    IDispatch* dispatch = nullptr;
    INimboRemoteConsoleInstallInfo* package = nullptr;
    INimboRemoteConsoleEvt* events = nullptr;
    INimboRemoteConsoleCtrl* ctrl = nullptr;
    SConsoleWatch watch;
    CConsoleEventSink* sink = new CConsoleEventSink(
        [&watch](const wchar_t* text, UINT length) {
            watch.Print(L"output", text, length);
            SetEvent(watch.outputSeen);
        },
        [&watch](const wchar_t* text, UINT length) { watch.Print(L"error output", text, length); },
        [&watch](ENimboRemoteConsoleChannelState state, const wchar_t* data) {
            {
                std::lock_guard<std::mutex> hold(example::PrintLock());
                wprintf(L"  [+%.1f s] channel state: %ls (%d)%ls%ls\n", (GetTickCount() - watch.start) / 1000.0,
                        StateName(state), static_cast<int>(state), *data ? L": " : L"", data);
                fflush(stdout);
            }
            if (state != ENimboRemoteConsoleReady)
            {
                InterlockedExchange(&watch.finalState, state);
                SetEvent(watch.ended);
            }
        });
    DWORD cookie = 0;
    BSTR bHost = SysAllocString(host), bLogin = SysAllocString(login), bPassword = SysAllocString(password);
    BSTR bLog = SysAllocString(logPath), bProgram = SysAllocString(program), bFile = SysAllocString(fileName.c_str());
    BSTR bArguments = SysAllocString(arguments), bCommand = SysAllocString((command + L"\r\n").c_str());
    BSTR bExit = SysAllocString(L"exit\r\n");
    int result = 1;
    do
    {
        if (!Succeeded(L"CoCreateInstance(NimboRemoteConsoleConnection)",
                       CoCreateInstance(CLSID_NimboRemoteConsoleConnection, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_INimboGAConnection, reinterpret_cast<void**>(&connection))) ||
            !Succeeded(L"InitLogging", connection->InitLogging(ENimboGuestAgentLogTrace, bLog)) ||
            !Succeeded(L"Connect", connection->Connect(bHost, bLogin, bPassword)))
            break;

        // The package: the console program beside the agent, and the version this client
        // expects. An agent of that version already on the guest is used as it is.
        SNimboAgentVersion version = {1, 0, 0, 0};
        if (!Succeeded(L"Installer", connection->get_Installer(&installer)) ||
            !Succeeded(L"PluginSpecificInfo", installer->get_PluginSpecificInfo(&dispatch)) ||
            !Succeeded(L"QueryInterface(INimboRemoteConsoleInstallInfo)",
                       dispatch->QueryInterface(IID_INimboRemoteConsoleInstallInfo, reinterpret_cast<void**>(&package))) ||
            !Succeeded(L"AddAgentPckgFile", package->AddAgentPckgFile(bProgram, bFile)) ||
            !Succeeded(L"AgentExecPath", package->put_AgentExecPath(bFile)) ||
            !Succeeded(L"AgentVersion", package->put_AgentVersion(version)))
            break;
        Release(dispatch);
        // The installer needs the guest's system facts before it installs anything.
        INimboGuestMetrics* metrics = nullptr;
        const DWORD tick = GetTickCount();
        if (!Succeeded(L"CollectGuestMetrics", installer->CollectGuestMetrics(&metrics)))
            break;
        Release(metrics);
        if (!Succeeded(L"Install", installer->Install()))
            break;
        ENimboGuestAgentState agentState = ENimboVssNotInstalled;
        if (!Succeeded(L"GetGateState", installer->GetGateState(&agentState)))
            break;
        wprintf(L"  console agent installed or reconnected in %lu ms, service state %d (2: running)\n",
                static_cast<unsigned long>(GetTickCount() - tick), static_cast<int>(agentState));

        // The event object forwards the console's events to every sink connected to it.
        if (!Succeeded(L"CoCreateInstance(NimboRemoteConsoleEvt)",
                       CoCreateInstance(CLSID_NimboRemoteConsoleEvt, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_INimboRemoteConsoleEvt, reinterpret_cast<void**>(&events))) ||
            !Succeeded(L"Advise", sink->Advise(events, &cookie)) ||
            !Succeeded(L"Ctrl", connection->get_Ctrl(&dispatch)) ||
            !Succeeded(L"QueryInterface(INimboRemoteConsoleCtrl)",
                       dispatch->QueryInterface(IID_INimboRemoteConsoleCtrl, reinterpret_cast<void**>(&ctrl))) ||
            !Succeeded(L"EvtSubscription", ctrl->put_EvtSubscription(events)))
            break;

        INT pid = 0;
        watch.start = GetTickCount();
        if (!Succeeded(L"Start", ctrl->Start(bArguments, &pid)))
            break;
        {
            std::lock_guard<std::mutex> hold(example::PrintLock());
            wprintf(L"  started %ls on the guest, process %d; sending: %ls\n", fileName.c_str(), pid, command.c_str());
            fflush(stdout);
        }
        ResetEvent(watch.outputSeen);
        if (!Succeeded(L"Send", ctrl->Send(bCommand)))
            break;
        // Output comes with the next polls (every 1.5 s); give the command time to answer,
        // unless the console has ended already.
        const HANDLE answered[] = {watch.outputSeen, watch.ended};
        WaitForMultipleObjects(2, answered, FALSE, 15000);
        {
            std::lock_guard<std::mutex> hold(example::PrintLock());
            wprintf(L"  [+%.1f s] sending: exit\n", (GetTickCount() - watch.start) / 1000.0);
            fflush(stdout);
        }
        if (!Succeeded(L"Send", ctrl->Send(bExit)))
            break;
        if (WaitForSingleObject(watch.ended, 30000) != WAIT_OBJECT_0)
        {
            wprintf(L"  the console did not close within 30 s\n");
            break;
        }
        const LONG finalState = InterlockedCompareExchange(&watch.finalState, 0, 0);
        wprintf(L"  final channel state: %ls\n", StateName(static_cast<ENimboRemoteConsoleChannelState>(finalState)));
        result = finalState == ENimboRemoteConsoleClosed ? 0 : 1;
    } while (false);
    // Releasing the control objects stops polling and closes the console session.
    Release(ctrl);
    Release(dispatch);
    if (cookie)
        CConsoleEventSink::Unadvise(events, cookie);
    Release(events);
    Release(package);
    Release(installer);
    if (connection)
        connection->Disconnect();
    Release(connection);
    sink->Release();
    for (BSTR text : {bHost, bLogin, bPassword, bLog, bProgram, bFile, bArguments, bCommand, bExit})
        SysFreeString(text);
    return result;
}
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 6 || argc > 8)
    {
        fwprintf(stderr, L"Usage: NimboRemoteConsoleClient.exe <host> <domain\\user> <password> <log file> "
                         L"<console program> [<command> [<start arguments>]]\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    const int result = Run(argv[1], argv[2], argv[3], argv[4], argv[5], argc > 6 ? argv[6] : L"echo hello",
                           argc > 7 ? argv[7] : L"");
    CoUninitialize();
    return result;
}
