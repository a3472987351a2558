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
        m_files.push_back(L"NimboGuestAgent.log");
    }
    ~CAgentFolder()
    {
        // The agent process may still be on its way out and hold its files for a moment.
        for (int attempt = 0; attempt < 20; ++attempt, Sleep(100))
        {
            for (const auto& name : m_files)
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
        m_files.push_back(name);
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
        m_files.push_back(name);
    }
    void WriteConfig(const std::wstring& xml) { Write(L"NimboAgentConfig.xml", xml); }

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
    // Polls the log until `text` appears; returns whether it did within `timeoutMs`.
    bool WaitForLog(const std::wstring& text, DWORD timeoutMs) const
    {
        for (DWORD waited = 0; ReadLog().find(text) == std::wstring::npos; waited += 50, Sleep(50))
            if (waited >= timeoutMs)
                return false;
        return true;
    }

private:
    std::wstring m_path;
    std::vector<std::wstring> m_files;
};

void ExpectInLog(const std::wstring& log, const std::vector<std::wstring>& texts)
{
    for (const auto& text : texts)
        EXPECT_NE(std::wstring::npos, log.find(text)) << text << L"\nin:\n" << log;
}

// A demand-start own-process service for the agent in `folder`, deleted at the end.
class CTestService
{
public:
    explicit CTestService(const CAgentFolder& folder)
        : m_name(Unique(L"NimboAgentTest")), m_scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS))
    {
        EXPECT_TRUE(m_scm) << GetLastError();
        const std::wstring binary = L"\"" + folder.Exe() + L"\"";
        m_service.reset(CreateServiceW(m_scm.get(), m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        EXPECT_TRUE(m_service) << GetLastError();
    }
    ~CTestService()
    {
        if (!m_service)
            return;
        SERVICE_STATUS status{};
        if (Query().dwCurrentState != SERVICE_STOPPED && ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status))
            WaitFor(SERVICE_STOPPED, 30000);
        DeleteService(m_service.get());
    }

    const std::wstring& Name() const { return m_name; }
    SC_HANDLE Handle() const { return m_service.get(); }
    SERVICE_STATUS_PROCESS Query() const
    {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        EXPECT_TRUE(QueryServiceStatusEx(m_service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                         sizeof(status), &needed))
            << GetLastError();
        return status;
    }
    // The status once the state is `state`, or the last status seen when time ran out.
    SERVICE_STATUS_PROCESS WaitFor(DWORD state, DWORD timeoutMs) const
    {
        SERVICE_STATUS_PROCESS status = Query();
        for (DWORD waited = 0; status.dwCurrentState != state && waited < timeoutMs; waited += 50)
            Sleep(50), status = Query();
        return status;
    }

private:
    std::wstring m_name;
    CScHandle m_scm;
    CScHandle m_service;
};

TEST(AgentServiceTest, RunsAfterItsPluginsStartedAndStopsThemOnStop)
{
    CAgentFolder folder;
    folder.WriteConfig(VssConfig);
    CTestService service(folder);
    ASSERT_TRUE(service.Handle());

    ASSERT_TRUE(StartServiceW(service.Handle(), 0, nullptr)) << GetLastError();
    SERVICE_STATUS_PROCESS status = service.WaitFor(SERVICE_RUNNING, 30000);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState) << folder.ReadLog();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), status.dwControlsAccepted);

    // Running is reported only once the plugin has been loaded and has announced itself.
    // Registered under another name than the configuration's: said, but not fatal.
    ExpectInLog(folder.ReadLog(), {L"starting as service [" + service.Name() + L"]", L"VSS support plugin " NIMBO_VSS_PLUGIN_VARIANT,
                                   L"Plugin [NimboVssSupport.dll] started.",
                                   L"but the configuration names [NimboVssSupport]"});

    SERVICE_STATUS control{};
    ASSERT_TRUE(ControlService(service.Handle(), SERVICE_CONTROL_STOP, &control)) << GetLastError();
    status = service.WaitFor(SERVICE_STOPPED, 30000);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), status.dwWin32ExitCode);
    EXPECT_EQ(0u, status.dwServiceSpecificExitCode);

    const std::wstring log = folder.ReadLog();
    const size_t pluginStopped = log.find(L"VSS support plugin " NIMBO_VSS_PLUGIN_VARIANT L" stopped.");
    EXPECT_NE(std::wstring::npos, pluginStopped) << log;
    EXPECT_LT(pluginStopped, log.find(L"The agent has stopped.")) << log;
}

struct SBrokenSetup
{
    const char* name;
    const wchar_t* config;        // nullptr: no configuration file at all
    bool addFailingPlugin;        // the failing test plugin as "Failing.dll"
    bool addBogusLibrary;         // a text file as "Bogus.dll"
    DWORD exitCode;               // the service-specific exit code expected
    std::vector<std::wstring> logged;
};

std::vector<SBrokenSetup> BrokenSetups()
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    static std::wstring withoutEntryPoints;
    withoutEntryPoints =
        L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt><Plugin Path=\"" + std::wstring(system) +
        L"\\version.dll\"/></PluginsCnt><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>";
    return {
        {"no configuration file", nullptr, false, false, 1,
         {L"NimboAgentConfig.xml] cannot be used. The file cannot be found.", L"exit code 1."}},
        {"malformed configuration", L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt>", false, false, 1,
         {L"cannot be used. The document is not well-formed XML", L"exit code 1."}},
        {"configuration without ports",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt/></GuestAgentConfig>", false, false, 1,
         {L"The element [PortsCfg] is missing.", L"exit code 1."}},
        {"plugin file missing",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt><Plugin Path=\"Missing.dll\"/></PluginsCnt>"
         L"<PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         false, false, 2, {L"\\Missing.dll] cannot be loaded. Error ", L"exit code 2."}},
        {"plugin file not a library",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt><Plugin Path=\"Bogus.dll\"/></PluginsCnt>"
         L"<PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         false, true, 2, {L"\\Bogus.dll] cannot be loaded. Error ", L"exit code 2."}},
        {"library without the entry points", withoutEntryPoints.c_str(), false, false, 2,
         {L"is not a plugin: it does not export NimboPluginStart. Error 127", L"exit code 2."}},
        {"plugin refuses to start after another started",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt><Plugin Path=\"NimboVssSupport.dll\"/>"
         L"<Plugin Path=\"Failing.dll\"/></PluginsCnt><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         true, false, 3,
         {L"Failing test plugin refuses to start.", L"\\Failing.dll] failed to start. Error 5",
          L"VSS support plugin " NIMBO_VSS_PLUGIN_VARIANT L" stopped.", L"exit code 3."}},
    };
}

void Prepare(CAgentFolder& folder, const SBrokenSetup& setup)
{
    if (setup.config != nullptr)
        folder.WriteConfig(setup.config);
    if (setup.addFailingPlugin)
        folder.Add(NIMBO_FAILING_PLUGIN, L"Failing.dll");
    if (setup.addBogusLibrary)
        folder.Write(L"Bogus.dll", L"not a library");
}

TEST(AgentServiceTest, BrokenSetupStopsTheServiceWithItsExitCode)
{
    for (const auto& setup : BrokenSetups())
    {
        SCOPED_TRACE(setup.name);
        CAgentFolder folder;
        Prepare(folder, setup);
        CTestService service(folder);
        ASSERT_TRUE(service.Handle());

        StartServiceW(service.Handle(), 0, nullptr);   // may already see the stop: not the point
        SERVICE_STATUS_PROCESS status = service.WaitFor(SERVICE_STOPPED, 30000);
        ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState) << folder.ReadLog();
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), status.dwWin32ExitCode);
        EXPECT_EQ(setup.exitCode, status.dwServiceSpecificExitCode);

        const std::wstring log = folder.ReadLog();
        ExpectInLog(log, setup.logged);
        EXPECT_EQ(std::wstring::npos, log.find(L"The agent is running")) << log;
    }
}

// Runs the agent in `folder` with `arguments`; the process handle is returned.
util::CKernelHandle Launch(const CAgentFolder& folder, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + folder.Exe() + L"\" " + arguments;
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                        folder.Path().c_str(), &startup, &process);
    EXPECT_TRUE(started) << GetLastError();
    util::CKernelHandle thread(process.hThread);
    return util::CKernelHandle(process.hProcess);
}

DWORD WaitForExit(const util::CKernelHandle& process)
{
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(process.get(), 30000));
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

TEST(AgentConsoleTest, RunsUntilTheStopEventIsSet)
{
    CAgentFolder folder;
    folder.WriteConfig(VssConfig);
    std::wstring eventName = Unique(L"NimboAgentTestStop");
    util::CEventHandle stop(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(stop);

    util::CKernelHandle process = Launch(folder, L"/console /stopevent:" + eventName);
    ASSERT_TRUE(process);
    ASSERT_TRUE(folder.WaitForLog(L"The agent is running with 1 plugin(s).", 30000)) << folder.ReadLog();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.get(), 200));
    SetEvent(stop.get());
    EXPECT_EQ(0u, WaitForExit(process));
    ExpectInLog(folder.ReadLog(), {L"starting in console mode", L"The agent has stopped."});
}

}
