// Benchmark (not a test): console output from the guest to a client's sink. Installs the
// console agent on a simulated guest through the test DLL's COM objects, as a client does, with
// the console probe as the console program, starts it with "--burst <bytes>" (it writes that
// many bytes of numbered 64-byte lines, then ends) and counts at the sink: bytes delivered
// against written, line order, the time from the Start call (the probe writes its first byte
// after it) to the last byte delivered, and what each poll delivered.
//
//   ConsoleBenchmark.exe <test DLL> <console probe> <work folder> [MB]
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "NimboGuestAgentCtrl.h"
#include "examples/ConsoleEventSink.h"
#include "foundation/ComTypes.h"
#include "foundation/Exc.h"
#include "bench/BenchSupport.h"

namespace
{
using namespace bench;
using util::CBstr;
using util::CComPtr;

const size_t kLineLength = 64;  // "%08u <filler>\r\n"

void Check(HRESULT hr, const wchar_t* what)
{
    if (FAILED(hr))
        throw CComExc(std::wstring(what) + L" failed.", hr);
}

// Checks the numbered lines as they stream in, whatever pieces the polls cut them into.
class CLineOrder
{
public:
    void Feed(const wchar_t* text, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
        {
            m_line.push_back(text[i]);
            if (text[i] == L'\n')
                EndLine();
        }
    }
    // The last line may be short and end without a line break.
    void Finish()
    {
        if (!m_line.empty())
            CheckNumber();
    }
    bool Ok() const { return m_faults == 0 && m_lines > 0; }
    unsigned long Lines() const { return m_lines; }
    unsigned long First() const { return m_first; }
    const std::wstring& FirstFault() const { return m_firstFault; }

private:
    void EndLine()
    {
        if (m_line.size() != kLineLength || m_line.compare(kLineLength - 2, 2, L"\r\n") != 0)
            Fault(L"line of " + std::to_wstring(m_line.size()) + L" characters");
        CheckNumber();
    }
    void CheckNumber()
    {
        unsigned long number = 0;
        bool digits = m_line.size() >= 8;
        for (size_t i = 0; digits && i < 8; ++i)
        {
            digits = m_line[i] >= L'0' && m_line[i] <= L'9';
            number = number * 10 + (m_line[i] - L'0');
        }
        if (!digits)
            Fault(L"line without a number");
        else if (m_lines == 0)
            m_first = number;
        else if (number != m_first + m_lines)
            Fault(L"line " + std::to_wstring(number) + L" where " + std::to_wstring(m_first + m_lines) + L" was due");
        ++m_lines;
        m_line.clear();
    }
    void Fault(const std::wstring& what)
    {
        if (m_faults++ == 0)
            m_firstFault = what + L" after " + std::to_wstring(m_lines) + L" lines";
    }

    std::wstring m_line;
    unsigned long m_lines = 0, m_first = 0, m_faults = 0;
    std::wstring m_firstFault;
};

// One delivery to the sink: when (since the Start call), how many characters, and how long the
// sink's own checks took (the next poll comes 1.5 s after the sink returns).
struct SDelivery
{
    double ms;
    size_t chars;
    double sinkMs;
};

// The test DLL's class objects, without registration: the library finds its agent package
// beside that file, as a registered copy would.
template <class Interface>
CComPtr<Interface> CreateFromDll(HMODULE dll, REFCLSID clsid, REFIID iid)
{
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    const auto get = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    if (!get)
        throw CWin32Exc(L"The test DLL exports no DllGetClassObject.", GetLastError());
    CComPtr<IClassFactory> factory;
    Check(get(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.put())), L"DllGetClassObject");
    CComPtr<Interface> object;
    Check(factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(object.put())), L"CreateInstance");
    return object;
}

int Run(const std::wstring& testDll, const std::wstring& probe, const std::wstring& work, unsigned long megabytes)
{
    const unsigned long written = megabytes * 1024 * 1024;
    const std::wstring share = util::JoinPath(work, L"guest-admin");
    util::CreateFolderTree(share);
    WriteGuests(work, share);
    const HMODULE dll = LoadLibraryW(testDll.c_str());
    if (!dll)
        throw CWin32Exc(L"Cannot load the test DLL [" + testDll + L"].", GetLastError());

    // Install as a client would: the probe beside the agent is the console program.
    const auto connection = CreateFromDll<INimboGAConnection>(dll, CLSID_NimboRemoteConsoleConnection, IID_INimboGAConnection);
    Check(connection->InitLogging(ENimboGuestAgentLogInfo, CBstr(util::JoinPath(work, L"ConsoleBenchmark.log")).get()),
          L"InitLogging");
    Check(connection->Connect(CBstr(kHost).get(), CBstr(kLogin).get(), CBstr(kPassword).get()), L"Connect");
    CComPtr<INimboGAInstaller> installer;
    Check(connection->get_Installer(installer.put()), L"Installer");
    CComPtr<IDispatch> dispatch;
    Check(installer->get_PluginSpecificInfo(dispatch.put()), L"PluginSpecificInfo");
    CComPtr<INimboRemoteConsoleInstallInfo> package;
    Check(dispatch.QueryInterface(IID_INimboRemoteConsoleInstallInfo, package), L"QueryInterface");
    const CBstr probeName(std::wstring(L"NimboConsoleProbe.exe"));
    Check(package->AddAgentPckgFile(CBstr(probe).get(), probeName.get()), L"AddAgentPckgFile");
    Check(package->put_AgentExecPath(probeName.get()), L"AgentExecPath");
    Check(package->put_AgentVersion(SNimboAgentVersion{1, 0, 0, 0}), L"AgentVersion");
    double start = Now();
    CComPtr<INimboGuestMetrics> metrics;
    Check(installer->CollectGuestMetrics(metrics.put()), L"CollectGuestMetrics");
    Check(installer->Install(), L"Install");
    const double installMs = Now() - start;

    // The sink counts and checks; it is called on the polling thread.
    std::mutex mutex;
    std::vector<SDelivery> deliveries;
    CLineOrder order;
    size_t errorChars = 0;
    double endedMs = -1;
    ENimboRemoteConsoleChannelState endState = ENimboRemoteConsoleReady;
    std::wstring endText;
    const HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto* sink = new CConsoleEventSink(
        [&](const wchar_t* text, UINT length) {
            const double at = Now();
            std::lock_guard<std::mutex> hold(mutex);
            order.Feed(text, length);
            deliveries.push_back({at - start, length, Now() - at});
        },
        [&](const wchar_t*, UINT length) {
            std::lock_guard<std::mutex> hold(mutex);
            errorChars += length;
        },
        [&](ENimboRemoteConsoleChannelState state, const wchar_t* data) {
            if (state == ENimboRemoteConsoleReady)
                return;
            std::lock_guard<std::mutex> hold(mutex);
            endedMs = Now() - start;
            endState = state;
            endText = data;
            SetEvent(ended);
        });
    const auto events = CreateFromDll<INimboRemoteConsoleEvt>(dll, CLSID_NimboRemoteConsoleEvt, IID_INimboRemoteConsoleEvt);
    DWORD cookie = 0;
    Check(sink->Advise(events.get(), &cookie), L"Advise");
    CComPtr<IDispatch> ctrlDispatch;
    Check(connection->get_Ctrl(ctrlDispatch.put()), L"Ctrl");
    CComPtr<INimboRemoteConsoleCtrl> ctrl;
    Check(ctrlDispatch.QueryInterface(IID_INimboRemoteConsoleCtrl, ctrl), L"QueryInterface");
    Check(ctrl->put_EvtSubscription(events.get()), L"EvtSubscription");

    INT pid = 0;
    start = Now();
    Check(ctrl->Start(CBstr(L"--burst " + std::to_wstring(written)).get(), &pid), L"Start");
    const double startedMs = Now() - start;
    const bool closed = WaitForSingleObject(ended, 120000 + megabytes * 2000) == WAIT_OBJECT_0;

    // The report, under the sink's lock (the polling thread may still deliver when the console
    // did not close); the control object, which waits for that thread, is released after it.
    std::unique_lock<std::mutex> hold(mutex);
    order.Finish();
    size_t delivered = 0, largest = 0;
    for (const SDelivery& d : deliveries)
    {
        delivered += d.chars;
        largest = std::max(largest, d.chars);
    }
    const double lastMs = deliveries.empty() ? 0 : deliveries.back().ms;
    std::printf("console agent installed in %.0f ms; probe started as process %d (Start took %.0f ms)\n", installMs,
                pid, startedMs);
    std::printf("bytes written:   %lu (%lu MB)\n", written, megabytes);
    std::printf("bytes delivered: %zu%s, error output %zu\n", delivered, delivered == written ? " (all)" : " (MISMATCH)",
                errorChars);
    std::printf("order:           %s, %lu lines from %08lu%s%ls\n", order.Ok() ? "ok" : "BROKEN", order.Lines(),
                order.First(), order.Ok() ? "" : ", first fault: ", order.FirstFault().c_str());
    std::printf("Start to last byte at the sink: %.3f s, %.2f MB/s\n", lastMs / 1000.0,
                lastMs > 0 ? delivered / 1048576.0 / (lastMs / 1000.0) : 0.0);
    std::printf("polls that delivered output: %zu, bytes per poll: mean %.0f, largest %zu\n", deliveries.size(),
                deliveries.empty() ? 0.0 : static_cast<double>(delivered) / deliveries.size(), largest);
    // What a poll costs beyond the interval: the status query with its text, the conversions
    // and the event's way to the sink. The first poll's interval starts when Start returns.
    std::printf("  poll  at (s)       bytes  beyond the 1.5 s interval (ms)  sink's checks (ms)\n");
    for (size_t i = 0; i < deliveries.size(); ++i)
    {
        const double previous = i == 0 ? startedMs : deliveries[i - 1].ms + deliveries[i - 1].sinkMs;
        std::printf("  %4zu %7.3f %11zu %31.0f %19.0f\n", i + 1, deliveries[i].ms / 1000.0, deliveries[i].chars,
                    deliveries[i].ms - previous - 1500.0, deliveries[i].sinkMs);
    }
    if (closed)
        std::printf("channel %s at %.3f s%s%ls\n", endState == ENimboRemoteConsoleClosed ? "closed" : "FAILED",
                    endedMs / 1000.0, endText.empty() ? "" : ": ", endText.c_str());
    else
        std::printf("the console did not close\n");
    const bool ok = closed && endState == ENimboRemoteConsoleClosed && delivered == written && order.Ok();
    hold.unlock();
    std::fflush(stdout);
    // A console that never closed may have its polling thread stuck in a call to the agent;
    // releasing the control object would wait for that thread for ever.
    if (!closed)
        TerminateProcess(GetCurrentProcess(), 1);

    ctrl.reset();
    ctrlDispatch.reset();
    CloseHandle(ended);
    CConsoleEventSink::Unadvise(events.get(), cookie);
    sink->Release();
    connection->Disconnect();
    return ok ? 0 : 1;
}
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4)
    {
        std::fprintf(stderr, "usage: ConsoleBenchmark <test DLL> <console probe> <work folder> [MB]\n");
        return 2;
    }
    const unsigned long megabytes = argc > 4 ? std::max(1, _wtoi(argv[4])) : 10;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    try
    {
        return Run(argv[1], argv[2], argv[3], megabytes);
    }
    catch (const CExc& e)
    {
        std::fprintf(stderr, "benchmark failed:\n%ls\n", e.GetFullText().c_str());
        return 1;
    }
}
