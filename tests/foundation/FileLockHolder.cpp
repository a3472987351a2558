// A second process for the file lock tests: it holds or tries a lock as told on its command
// line, so exclusion is checked between processes and not only between threads.
//
//   hold <lock path> <ready event> <release event>  lock, signal ready, wait for release, unlock
//   try <lock path> <attempts>                      exit 0 when locked, 1 on time-out, 2 on error
//   wait <ready event> <release event>              only keep the executable image busy
#include <windows.h>
#include <cwchar>
#include <string>

#include "foundation/Exc.h"
#include "foundation/FileMutex.h"

namespace
{
int SignalAndWait(const wchar_t* readyName, const wchar_t* releaseName)
{
    util::CEventHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName));
    util::CEventHandle release(OpenEventW(SYNCHRONIZE, FALSE, releaseName));
    if (!ready || !release)
        return 3;
    SetEvent(ready.get());
    return WaitForSingleObject(release.get(), 60000) == WAIT_OBJECT_0 ? 0 : 4;
}
}

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    try
    {
        if (mode == L"wait" && argc == 4)
            return SignalAndWait(argv[2], argv[3]);
        if ((mode == L"hold" && argc == 5) || (mode == L"try" && argc == 4))
        {
            util::CFileMutex mutex(argv[2]);
            mutex.Lock(mode == L"hold" ? 10 : _wtoi(argv[3]));
            return mode == L"hold" ? SignalAndWait(argv[3], argv[4]) : 0;  // the mutex unlocks as it goes
        }
    }
    catch (CExc& e)
    {
        fwprintf(stderr, L"%ls\n", e.GetFullText().c_str());
        return e.GetHResult() == HRESULT(0x80070102) ? 1 : 2;
    }
    fwprintf(stderr, L"usage: hold <lock> <ready> <release> | try <lock> <attempts> | wait <ready> <release>\n");
    return 5;
}
