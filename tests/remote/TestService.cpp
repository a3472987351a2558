// A small Windows service used by the service control tests. Its behaviour is chosen by the
// first argument of its command line (stored in the service's binary path):
//   (none)   reports running at once and stops when asked;
//   nostart  stays in start-pending and never reports running (exits after a while).
#include <windows.h>

#include <cwchar>

namespace
{
bool g_NoStart = false;
SERVICE_STATUS_HANDLE g_StatusHandle = nullptr;
HANDLE g_StopEvent = nullptr;

void Report(DWORD state, DWORD accepted)
{
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, state, accepted};
    status.dwWaitHint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? 1000 : 0;
    SetServiceStatus(g_StatusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP)
        Report(SERVICE_STOP_PENDING, 0), SetEvent(g_StopEvent);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    if (!(g_StatusHandle = RegisterServiceCtrlHandlerExW(L"", Handler, nullptr)))
        return;
    g_StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(g_NoStart ? SERVICE_START_PENDING : SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    // A misbehaving instance still ends on its own.
    WaitForSingleObject(g_StopEvent, g_NoStart ? 20000 : INFINITE);
    Report(SERVICE_STOPPED, 0);
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    g_NoStart = argc > 1 && std::wcscmp(argv[1], L"nostart") == 0;
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
