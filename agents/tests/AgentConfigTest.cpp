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

struct SValidCase
{
    const char* name;
    const wchar_t* xml;
    const wchar_t* serviceName;
    std::vector<std::wstring> plugins;
    bool useDynPort;
    DWORD staticPort;
};

TEST_F(AgentConfigTest, ValidDocumentsAreRead)
{
    const SValidCase cases[] = {
        {"vss agent as installed",
         L"<?xml version=\"1.0\"?>\r\n<GuestAgentConfig ServiceName=\"NimboVssSupport\"><PluginsCnt>"
         L"<Plugin Path=\"NimboVssSupport.dll\"/></PluginsCnt><PortsCfg UseDynPort=\"true\"/>"
         L"</GuestAgentConfig>",
         L"NimboVssSupport", {L"NimboVssSupport.dll"}, true, 2010},
        {"static port",
         L"<GuestAgentConfig ServiceName=\"Console\"><PluginsCnt><Plugin Path=\"a.dll\"/></PluginsCnt>"
         L"<PortsCfg UseDynPort=\"false\" StaticPort=\"2010\"/></GuestAgentConfig>",
         L"Console", {L"a.dll"}, false, 2010},
        {"highest port",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt/><PortsCfg UseDynPort=\"false\" "
         L"StaticPort=\"65535\"/></GuestAgentConfig>",
         L"S", {}, false, 65535},
        {"stale static port ignored while dynamic",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt/><PortsCfg UseDynPort=\"true\" "
         L"StaticPort=\"junk\"/></GuestAgentConfig>",
         L"S", {}, true, 2010},
        {"plugins kept in file order, sub-folders allowed",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt><Plugin Path=\"b.dll\"/>"
         L"<Plugin Path=\"sub\\a.dll\"/></PluginsCnt><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         L"S", {L"b.dll", L"sub\\a.dll"}, true, 2010},
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

struct SInvalidCase
{
    const char* name;
    const wchar_t* xml;
    const wchar_t* reason;   // the part of the message that says what is wrong
};

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

TEST_F(AgentConfigTest, FaultyDocumentsAreRefusedWithTheReason)
{
    const SInvalidCase cases[] = {
        {"not XML", L"GuestAgentConfig", L"The document is not well-formed XML"},
        {"wrong root", L"<ApplicationCfg/>",
         L"The root element is [ApplicationCfg], expected [GuestAgentConfig]."},
        {"root name is case-sensitive", L"<guestagentconfig ServiceName=\"S\"/>",
         L"The root element is [guestagentconfig], expected [GuestAgentConfig]."},
        {"no service name",
         L"<GuestAgentConfig><PluginsCnt/><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         L"The element [GuestAgentConfig] has no ServiceName attribute."},
        {"empty service name",
         L"<GuestAgentConfig ServiceName=\"\"><PluginsCnt/><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         L"The element [GuestAgentConfig] has no ServiceName attribute."},
        {"no plugin list", L"<GuestAgentConfig ServiceName=\"S\"><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         L"The element [PluginsCnt] is missing."},
        {"no ports", L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt/></GuestAgentConfig>",
         L"The element [PortsCfg] is missing."},
        {"plugin without path",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt><Plugin Path=\"a.dll\"/><Plugin/></PluginsCnt>"
         L"<PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         L"Plugin number 2 has no Path attribute."},
        {"plugin listed twice",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt><Plugin Path=\"a.dll\"/><Plugin Path=\"A.DLL\"/>"
         L"</PluginsCnt><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>",
         L"The plugin [A.DLL] is listed twice."},
        {"no UseDynPort", L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt/><PortsCfg/></GuestAgentConfig>",
         L"The element [PortsCfg] has no UseDynPort attribute."},
        {"UseDynPort is case-sensitive",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt/><PortsCfg UseDynPort=\"True\"/></GuestAgentConfig>",
         L"UseDynPort is [True], expected [true] or [false]."},
        {"static without port",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt/><PortsCfg UseDynPort=\"false\"/></GuestAgentConfig>",
         L"UseDynPort is [false] but the element [PortsCfg] has no StaticPort attribute."},
        {"port zero",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt/><PortsCfg UseDynPort=\"false\" StaticPort=\"0\"/>"
         L"</GuestAgentConfig>",
         L"StaticPort is [0], expected a TCP port number from 1 to 65535."},
        {"port too large",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt/><PortsCfg UseDynPort=\"false\" StaticPort=\"65536\"/>"
         L"</GuestAgentConfig>",
         L"StaticPort is [65536], expected a TCP port number from 1 to 65535."},
        {"port not decimal",
         L"<GuestAgentConfig ServiceName=\"S\"><PluginsCnt/><PortsCfg UseDynPort=\"false\" StaticPort=\"0x7DA\"/>"
         L"</GuestAgentConfig>",
         L"StaticPort is [0x7DA], expected a TCP port number from 1 to 65535."},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const CAgentError error = Refusal([&] { CAgentConfig::Parse(c.xml, L"C:\\Agent\\NimboAgentConfig.xml"); });
        EXPECT_EQ(EAgentExit::ConfigUnreadable, error.Exit());
        const std::wstring prefix = L"The agent's configuration [C:\\Agent\\NimboAgentConfig.xml] cannot be used. ";
        EXPECT_EQ(prefix, error.Text().substr(0, prefix.size())) << error.Text();
        EXPECT_NE(std::wstring::npos, error.Text().find(c.reason, prefix.size())) << error.Text();
    }
}

TEST_F(AgentConfigTest, MissingFileNamesThePathAndTheSystemError)
{
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
