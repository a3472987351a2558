// Reading NimboAgentConfig.xml: the documents the administration host writes, and the faults
// that must stop the agent with a message naming the problem.

#include "agents/AgentConfig.h"
#include "agents/AgentError.h"
#include "agents/PluginHost.h"

#include <gtest/gtest.h>
#include <objbase.h>

using namespace agent;

namespace
{
class AgentConfigTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

// A document named S with `plugins` in its list and `ports` after it.
std::wstring Doc(const std::wstring& plugins, const std::wstring& ports = L"<PortsCfg UseDynPort=\"true\"/>")
{
    return L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt>" + plugins + L"</PluginsCnt>" + ports + L"</GuestAgentConfig>";
}

std::wstring StaticPort(const wchar_t* port)
{
    return Doc(L"", L"<PortsCfg UseDynPort=\"false\" StaticPort=\"" + std::wstring(port) + L"\"/>");
}

TEST_F(AgentConfigTest, ValidDocumentsAreRead)
{
    const struct { const char* name; std::wstring xml, serviceName; std::vector<std::wstring> plugins; bool useDynPort; DWORD staticPort; } cases[] = {
        {"vss agent as installed",
         L"<?xml version=\"1.0\"?>\r\n<GuestAgentConfig ServiceName=\"NimboVssSupport\"><PluginsCnt>"
         L"<Plugin Path=\"NimboVssSupport.dll\"/></PluginsCnt><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         L"NimboVssSupport", {L"NimboVssSupport.dll"}, true, 2010},
        {"static port", Doc(L"<Plugin Path=\"a.dll\"/>", L"<PortsCfg UseDynPort=\"false\" StaticPort=\"2010\"/>"), L"S",
         {L"a.dll"}, false, 2010},
        {"highest port", StaticPort(L"65535"), L"S", {}, false, 65535},
        {"stale static port ignored while dynamic", Doc(L"", L"<PortsCfg UseDynPort=\"true\" StaticPort=\"junk\"/>"), L"S", {},
         true, 2010},
        {"plugins kept in file order, sub-folders allowed", Doc(L"<Plugin Path=\"b.dll\"/><Plugin Path=\"sub\\a.dll\"/>"), L"S",
         {L"b.dll", L"sub\\a.dll"}, true, 2010},
        {"unknown elements, comments and blank document skipped",
         L"<GuestAgentConfig ServiceName=\"NONE\">\r\n  <!-- note -->\r\n  <Extra/>\r\n"
         L"  <PortsCfg UseDynPort=\"true\"/>\r\n  <PluginsCnt>\r\n    <Other Path=\"x.dll\"/>\r\n"
         L"    <Plugin Path=\"p.dll\"/>\r\n  </PluginsCnt>\r\n</GuestAgentConfig>",
         L"NONE", {L"p.dll"}, true, 2010},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CAgentConfig config = CAgentConfig::Parse(c.xml, L"test");
        EXPECT_EQ(c.serviceName, config.ServiceName());
        EXPECT_EQ(c.plugins, config.Plugins());
        EXPECT_EQ(c.useDynPort, config.Ports().useDynPort);
        EXPECT_EQ(c.staticPort, config.Ports().staticPort);
    }
}

// The error `action` raised; a default one (no exit code) when it raised none.
template <class Action>
CAgentError Refusal(Action action)
{
    try
    {
        action();
        ADD_FAILURE() << "accepted";
    }
    catch (const CAgentError& error)
    {
        return error;
    }
    return CAgentError(EAgentExit::Ok, L"", 0);
}

// Faulty documents and a missing file stop the agent with a message naming the problem.
TEST_F(AgentConfigTest, FaultyDocumentsAndMissingFilesAreRefusedWithTheReason)
{
    const std::wstring port = L"expected a TCP port number from 1 to 65535.";
    const struct { const char* name; std::wstring xml; std::wstring reason; } cases[] = {
        // reason: the part of the message that says what is wrong.
        {"not XML", L"GuestAgentConfig", L"The document is not well-formed XML"},
        {"wrong root", L"<ApplicationCfg/>", L"The root element is [ApplicationCfg], expected [GuestAgentConfig]."},
        {"root name is case-sensitive", L"<guestagentconfig ServiceName=\"S\"/>",
         L"The root element is [guestagentconfig], expected [GuestAgentConfig]."},
        {"no service name", L"<GuestAgentConfig><PluginsCnt/><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         L"The element [GuestAgentConfig] has no ServiceName attribute."},
        {"empty service name", L"<GuestAgentConfig ServiceName=\"\"><PluginsCnt/><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         L"The element [GuestAgentConfig] has no ServiceName attribute."},
        {"no plugin list", L"<GuestAgentConfig ServiceName=\"S\"><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         L"The element [PluginsCnt] is missing."},
        {"no ports", Doc(L"", L""), L"The element [PortsCfg] is missing."},
        {"plugin without path", Doc(L"<Plugin Path=\"a.dll\"/><Plugin/>"), L"Plugin number 2 has no Path attribute."},
        {"plugin listed twice", Doc(L"<Plugin Path=\"a.dll\"/><Plugin Path=\"A.DLL\"/>"), L"The plugin [A.DLL] is listed twice."},
        {"no UseDynPort", Doc(L"", L"<PortsCfg/>"), L"The element [PortsCfg] has no UseDynPort attribute."},
        {"UseDynPort is case-sensitive", Doc(L"", L"<PortsCfg UseDynPort=\"True\"/>"),
         L"UseDynPort is [True], expected [true] or [false]."},
        {"static without port", Doc(L"", L"<PortsCfg UseDynPort=\"false\"/>"),
         L"UseDynPort is [false] but the element [PortsCfg] has no StaticPort attribute."},
        {"port zero", StaticPort(L"0"), L"StaticPort is [0], " + port},
        {"port too large", StaticPort(L"65536"), L"StaticPort is [65536], " + port},
        {"port not decimal", StaticPort(L"0x7DA"), L"StaticPort is [0x7DA], " + port},
    };
    const std::wstring prefix = L"The agent's configuration [C:\\Agent\\NimboAgentConfig.xml] cannot be used. ";
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const CAgentError error = Refusal([&] { CAgentConfig::Parse(c.xml, L"C:\\Agent\\NimboAgentConfig.xml"); });
        EXPECT_EQ(EAgentExit::ConfigUnreadable, error.Exit());
        EXPECT_EQ(prefix, error.Text().substr(0, prefix.size())) << error.Text();
        EXPECT_NE(std::wstring::npos, error.Text().find(c.reason, prefix.size())) << error.Text();
    }
    const std::wstring path = L"C:\\no such folder\\NimboAgentConfig.xml";
    const CAgentError error = Refusal([&] { CAgentConfig::Load(path); });
    EXPECT_EQ(EAgentExit::ConfigUnreadable, error.Exit());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error.Error());
    EXPECT_EQ(L"The agent's configuration [" + path + L"] cannot be used. The file cannot be found.", error.Text());
}

TEST(PluginPathTest, RelativePathsAreTakenBelowTheAgentFolder)
{
    struct
    {
        const wchar_t* folder;
        const wchar_t* configured;
        const wchar_t* expected;
    } const cases[] = {
        {L"C:\\Windows\\Svc", L"Plugin.dll", L"C:\\Windows\\Svc\\Plugin.dll"},
        {L"C:\\Windows\\Svc\\", L"sub\\Plugin.dll", L"C:\\Windows\\Svc\\sub\\Plugin.dll"},
        {L"C:\\Windows\\Svc", L"D:\\Other\\Plugin.dll", L"D:\\Other\\Plugin.dll"},
        {L"C:\\Windows\\Svc", L"\\\\host\\share\\Plugin.dll", L"\\\\host\\share\\Plugin.dll"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, CPluginHost::ResolvePath(c.folder, c.configured)) << c.configured;
}
}
