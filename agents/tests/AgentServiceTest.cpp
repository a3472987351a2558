// The agent executable as the guest runs it: registered with the service control manager,
// started, stopped, and refusing broken set-ups with its service-specific exit codes; and the
// console mode used for debugging. Every test gets a fresh folder holding the agent, its
// plugins and its configuration, as the installer lays them out.

#include "foundation/Handle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace
{
using CScHandle = util::CUniqueAny<SC_HANDLE, &::CloseServiceHandle>;

const wchar_t* const VssConfig =
    L"<?xml version=\"1.0\"?>\r\n<GuestAgentConfig ServiceName=\"NimboVssSupport\"><PluginsCnt>"
    L"<Plugin Path=\"NimboVssSupport.dll\"/></PluginsCnt><PortsCfg UseDynPort=\"true\"/>"
    L"</GuestAgentConfig>\r\n";

std::wstring Unique(const wchar_t* stem)
{
    static unsigned counter = 0;
    return stem + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
}

// A folder laid out like the agent's folder on a guest; the agent writes its log beside itself.
class CAgentFolder
{
public:
    CAgentFolder()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + Unique(L"NimboAgentTest");
        EXPECT_TRUE(CreateDirectoryW(m_path.c_str(), nullptr)) << GetLastError();
        Add(NIMBO_AGENT_EXE, L"NimboGuestAgent.exe");
        Add(NIMBO_VSS_PLUGIN, L"NimboVssSupport.dll");
    }
    ~CAgentFolder()
    {
        // The agent process may still be on its way out and hold its files for a moment.
        for (int attempt = 0; attempt < 20; ++attempt, Sleep(100))
        {
            for (const auto& name : {L"NimboGuestAgent.exe", L"NimboVssSupport.dll", L"NimboGuestAgent.log",
                                     L"NimboAgentConfig.xml", L"Failing.dll", L"Bogus.dll"})
                DeleteFileW((m_path + L"\\" + name).c_str());
            if (RemoveDirectoryW(m_path.c_str()))
                return;
        }
    }

    const std::wstring& Path() const { return m_path; }
    std::wstring Exe() const { return m_path + L"\\NimboGuestAgent.exe"; }
    void Add(const wchar_t* source, const wchar_t* name)
    {
        EXPECT_TRUE(CopyFileW(source, (m_path + L"\\" + name).c_str(), FALSE)) << "copy " << source << ": " << GetLastError();
    }
    // Written in UTF-8, as the installer writes the configuration.
    void Write(const wchar_t* name, const std::wstring& text)
    {
        std::string bytes(text.size() * 3, '\0');
        bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                                         static_cast<int>(bytes.size()), nullptr, nullptr));
        util::CFileHandle file(CreateFileW((m_path + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            << GetLastError();
    }
    std::wstring ReadLog() const
    {
        util::CFileHandle file(CreateFileW((m_path + L"\\NimboGuestAgent.log").c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        std::string bytes;
        char buffer[4096];
        DWORD read = 0;
        while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
            bytes.append(buffer, read);
        std::wstring text(bytes.size(), L'\0');
        text.resize(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                                        static_cast<int>(text.size())));
        return text;
    }
    // Each text appears in the log within the time allowed, in this order.
    void ExpectInLog(const std::vector<std::wstring>& texts, DWORD timeoutMs = 0) const
    {
        std::wstring log = ReadLog();
        for (DWORD waited = 0; waited < timeoutMs && log.find(texts.back()) == std::wstring::npos; waited += 50)
            Sleep(50), log = ReadLog();
        size_t at = 0;
        for (const auto& text : texts)
            EXPECT_NE(std::wstring::npos, at = log.find(text, at)) << text << L"\nin order in:\n" << log;
    }

private:
    std::wstring m_path;
};

// A demand-start own-process service for the agent in `folder`, deleted at the end.
class CTestService
{
public:
    explicit CTestService(const CAgentFolder& folder)
        : m_name(Unique(L"NimboAgentTest")), m_scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS))
    {
        m_service.reset(CreateServiceW(m_scm.get(), m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       (L"\"" + folder.Exe() + L"\"").c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        EXPECT_TRUE(m_service) << GetLastError();
    }
    ~CTestService()
    {
        SERVICE_STATUS status{};
        if (ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status))
            WaitFor(SERVICE_STOPPED);
        DeleteService(m_service.get());
    }

    const std::wstring& Name() const { return m_name; }
    SC_HANDLE Handle() const { return m_service.get(); }
    // The status once the state is `state`, or the last status seen when 30 s have passed.
    SERVICE_STATUS_PROCESS WaitFor(DWORD state) const
    {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        for (DWORD waited = 0; waited <= 30000; waited += 50, Sleep(50))
            if (QueryServiceStatusEx(m_service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                     sizeof(status), &needed) && status.dwCurrentState == state)
                break;
        return status;
    }

private:
    std::wstring m_name;
    CScHandle m_scm, m_service;
};

TEST(AgentServiceTest, RunsAfterItsPluginsStartedAndStopsThemOnStop)
{
    CAgentFolder folder;
    folder.Write(L"NimboAgentConfig.xml", VssConfig);
    CTestService service(folder);
    ASSERT_TRUE(service.Handle());
    ASSERT_TRUE(StartServiceW(service.Handle(), 0, nullptr)) << GetLastError();
    SERVICE_STATUS_PROCESS status = service.WaitFor(SERVICE_RUNNING);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState) << folder.ReadLog();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), status.dwControlsAccepted);
    // Running is reported only once the plugin has been loaded and has announced itself.
    // Registered under another name than the configuration's: said, but not fatal.
    folder.ExpectInLog({L"starting as service [" + service.Name() + L"]", L"but the configuration names [NimboVssSupport]",
                        L"VSS support plugin " NIMBO_VSS_PLUGIN_VARIANT, L"Plugin [NimboVssSupport.dll] started."});

    SERVICE_STATUS control{};
    ASSERT_TRUE(ControlService(service.Handle(), SERVICE_CONTROL_STOP, &control)) << GetLastError();
    status = service.WaitFor(SERVICE_STOPPED);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), status.dwWin32ExitCode);
    EXPECT_EQ(0u, status.dwServiceSpecificExitCode);
    folder.ExpectInLog({L"VSS support plugin " NIMBO_VSS_PLUGIN_VARIANT L" stopped.", L"The agent has stopped."});
}

TEST(AgentServiceTest, BrokenSetupStopsTheServiceWithItsExitCode)
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    // The configuration's other faults are AgentConfigTest's; one shows the exit code.
    const auto config = [](const std::wstring& plugins, const wchar_t* ports = L"<PortsCfg UseDynPort=\"true\"/>") {
        return L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt>" + plugins + L"</PluginsCnt>" + ports + L"</GuestAgentConfig>";
    };
    const struct
    {
        const char* name;
        std::wstring config;  // empty: no configuration file at all
        const wchar_t* extra;  // the failing test plugin as "Failing.dll" or a text file as "Bogus.dll"
        DWORD exitCode;        // the service-specific exit code expected
        std::vector<std::wstring> logged;
    } cases[] = {
        {"no configuration file", L"", nullptr, 1, {L"NimboAgentConfig.xml] cannot be used. The file cannot be found."}},
        {"configuration without ports", config(L"", L""), nullptr, 1, {L"The element [PortsCfg] is missing."}},
        {"plugin file missing", config(L"<Plugin Path=\"Missing.dll\"/>"), nullptr, 2, {L"\\Missing.dll] cannot be loaded. Error "}},
        {"plugin file not a library", config(L"<Plugin Path=\"Bogus.dll\"/>"), L"Bogus.dll", 2,
         {L"\\Bogus.dll] cannot be loaded. Error "}},
        {"library without the entry points", config(L"<Plugin Path=\"" + std::wstring(system) + L"\\version.dll\"/>"), nullptr, 2,
         {L"is not a plugin: it does not export NimboPluginStart. Error 127"}},
        {"plugin refuses to start after another started",
         config(L"<Plugin Path=\"NimboVssSupport.dll\"/><Plugin Path=\"Failing.dll\"/>"), L"Failing.dll", 3,
         {L"Failing test plugin refuses to start.", L"\\Failing.dll] failed to start. Error 5",
          L"VSS support plugin " NIMBO_VSS_PLUGIN_VARIANT L" stopped."}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CAgentFolder folder;
        if (!c.config.empty())
            folder.Write(L"NimboAgentConfig.xml", c.config);
        if (c.extra && std::wstring(c.extra) == L"Failing.dll")
            folder.Add(NIMBO_FAILING_PLUGIN, c.extra);
        else if (c.extra)
            folder.Write(c.extra, L"not a library");
        CTestService service(folder);
        ASSERT_TRUE(service.Handle());
        StartServiceW(service.Handle(), 0, nullptr);  // may already see the stop: not the point
        const SERVICE_STATUS_PROCESS status = service.WaitFor(SERVICE_STOPPED);
        ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState) << folder.ReadLog();
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), status.dwWin32ExitCode);
        EXPECT_EQ(c.exitCode, status.dwServiceSpecificExitCode);
        std::vector<std::wstring> logged = c.logged;
        logged.push_back(L"exit code " + std::to_wstring(c.exitCode) + L".");
        folder.ExpectInLog(logged);
        EXPECT_EQ(std::wstring::npos, folder.ReadLog().find(L"The agent is running"));
    }
}

TEST(AgentConsoleTest, RunsUntilTheStopEventIsSet)
{
    CAgentFolder folder;
    folder.Write(L"NimboAgentConfig.xml", VssConfig);
    const std::wstring eventName = Unique(L"NimboAgentTestStop");
    util::CEventHandle stop(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(stop);
    std::wstring commandLine = L"\"" + folder.Exe() + L"\" /console /stopevent:" + eventName;
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               folder.Path().c_str(), &startup, &started)) << GetLastError();
    util::CKernelHandle process(started.hProcess), thread(started.hThread);
    folder.ExpectInLog({L"starting in console mode", L"The agent is running with 1 plugin(s)."}, 30000);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.get(), 200));
    SetEvent(stop.get());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(process.get(), 30000));
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(0u, code);
    folder.ExpectInLog({L"The agent has stopped."});
}
}
