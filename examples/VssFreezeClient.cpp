// An early-bound C++ client of NimboGuestAgentCtrl: the freeze road around a backup.
//
//   NimboVssFreezeClient.exe <host> <domain\user> <password> <log file>
//
// Connects to the guest, freezes it through the VSS agent (installed and running there), waits
// while the guest prepares, shows the freeze state and the last freeze error, unfreezes, runs
// the agent's test call and shows the RPC endpoint the library found in the guest's endpoint
// map (from the library's trace log). Needs only the registered DLL and the header and GUIDs
// the build generates from its type library (NimboGuestAgentCtrl.h, NimboGuestAgentCtrl_i.c).
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "ExampleSupport.h"
#include "NimboGuestAgentCtrl.h"

namespace
{
using example::Release;
using example::Succeeded;

const wchar_t* const kStates[] = {L"none", L"preparing", L"error", L"frozen"};

const wchar_t* StateName(ENimboVssFreezeState state)
{
    return state >= 0 && state <= 3 ? kStates[state] : L"(unknown)";
}

// The binding the library found in the endpoint map: its trace line "Found binding handle: [..]."
std::wstring EndpointFromLog(const wchar_t* logPath)
{
    std::ifstream log(logPath);
    const std::string marker = "Found binding handle: [";
    std::string line, found;
    while (std::getline(log, line))
    {
        const size_t at = line.find(marker);
        if (at != std::string::npos)
            found = line.substr(at + marker.size(), line.rfind("].") - at - marker.size());
    }
    return std::wstring(found.begin(), found.end());
}

int Run(const wchar_t* host, const wchar_t* login, const wchar_t* password, const wchar_t* logPath)
{
    INimboGAConnection* connection = nullptr;
    IDispatch* dispatch = nullptr;
    INimboVssGACtrl* ctrl = nullptr;
    INimboGATest* test = nullptr;
    BSTR bHost = SysAllocString(host), bLogin = SysAllocString(login), bPassword = SysAllocString(password);
    BSTR bLog = SysAllocString(logPath);
    int result = 1;
    do
    {
        if (!Succeeded(L"CoCreateInstance", CoCreateInstance(CLSID_NimboVssGAConnection, nullptr, CLSCTX_INPROC_SERVER,
                                                             IID_INimboGAConnection, reinterpret_cast<void**>(&connection))) ||
            !Succeeded(L"InitLogging", connection->InitLogging(ENimboGuestAgentLogTrace, bLog)) ||
            !Succeeded(L"Connect", connection->Connect(bHost, bLogin, bPassword)) ||
            !Succeeded(L"Ctrl", connection->get_Ctrl(&dispatch)) ||
            !Succeeded(L"QueryInterface(INimboVssGACtrl)",
                       dispatch->QueryInterface(IID_INimboVssGACtrl, reinterpret_cast<void**>(&ctrl))) ||
            !Succeeded(L"QueryInterface(INimboGATest)",
                       dispatch->QueryInterface(IID_INimboGATest, reinterpret_cast<void**>(&test))))
            break;

        ENimboVssFreezeState state = ENimboVssFreezeNone;
        if (!Succeeded(L"FreezeState", ctrl->get_FreezeState(&state)))
            break;
        wprintf(L"  freeze state before:  %ls\n", StateName(state));
        const DWORD start = GetTickCount();
        if (!Succeeded(L"Freeze", ctrl->Freeze()))
            break;
        // The guest prepares on its own; a backup application looks until it is done.
        do
        {
            Sleep(20);
            if (!Succeeded(L"FreezeState", ctrl->get_FreezeState(&state)))
                break;
        } while (state == ENimboVssFreezePreparing && GetTickCount() - start < 60000);
        wprintf(L"  freeze state after:   %ls (%lu ms after Freeze)\n", StateName(state),
                static_cast<unsigned long>(GetTickCount() - start));

        HRESULT freezeError = S_OK;
        BSTR description = nullptr;
        if (!Succeeded(L"GetFreezeError", ctrl->GetFreezeError(&freezeError, &description)))
            break;
        wprintf(L"  last freeze error:    0x%08lX [%ls]\n", static_cast<unsigned long>(freezeError),
                description ? description : L"");
        SysFreeString(description);

        if (!Succeeded(L"Unfreeze", ctrl->Unfreeze()) || !Succeeded(L"FreezeState", ctrl->get_FreezeState(&state)))
            break;
        wprintf(L"  freeze state after Unfreeze: %ls\n", StateName(state));
        if (!Succeeded(L"DoTest", test->DoTest()))
            break;
        wprintf(L"  test call:            ok\n");
        wprintf(L"  RPC endpoint used:    %ls\n", EndpointFromLog(logPath).c_str());
        connection->Disconnect();
        result = 0;
    } while (false);
    Release(test);
    Release(ctrl);
    Release(dispatch);
    Release(connection);
    SysFreeString(bHost);
    SysFreeString(bLogin);
    SysFreeString(bPassword);
    SysFreeString(bLog);
    return result;
}
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5)
    {
        fwprintf(stderr, L"Usage: NimboVssFreezeClient.exe <host> <domain\\user> <password> <log file>\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    const int result = Run(argv[1], argv[2], argv[3], argv[4]);
    CoUninitialize();
    return result;
}
