// "NimboAgentConfig.xml" as the agent reads it: the markup each sequence of operations leaves
// in the saved file (its failures are seen through the installer's).
#include "deploy/AgentConfigDocument.h"

#include "tests/deploy/DeployTestSupport.h"

using install::CAgentConfigDocument;
using Step = void (*)(CAgentConfigDocument&);

TEST(AgentConfigDocument, SavedFileHoldsTheExpectedMarkup)
{
    const char twoPlugins[] = "<?xml version=\"1.0\"?>\r\n<GuestAgentConfig ServiceName=\"Old\"><PluginsCnt><Plugin Path=\"a.dll\"/>"
                              "</PluginsCnt><PortsCfg UseDynPort=\"false\" StaticPort=\"3000\"/></GuestAgentConfig>";
    // existing: the file before Open (null: none, so a blank document).
    struct SCase { const char* existing; Step step; const wchar_t* xml; } cases[] = {
        {nullptr, [](CAgentConfigDocument&) {},
         L"<GuestAgentConfig ServiceName=\"NONE\"><PluginsCnt/><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>"},
        {nullptr, [](CAgentConfigDocument& d) { d.SetPorts({false, 2010}); },
         L"<GuestAgentConfig ServiceName=\"NONE\"><PluginsCnt/><PortsCfg UseDynPort=\"false\" StaticPort=\"2010\"/></GuestAgentConfig>"},
        {twoPlugins, [](CAgentConfigDocument& d) { d.AddPlugin(L"z.dll"); d.AddPlugin(L"b.dll"); },
         L"<GuestAgentConfig ServiceName=\"Old\"><PluginsCnt><Plugin Path=\"a.dll\"/><Plugin Path=\"z.dll\"/><Plugin Path=\"b.dll\"/>"
         L"</PluginsCnt><PortsCfg UseDynPort=\"false\" StaticPort=\"3000\"/></GuestAgentConfig>"},
        // A dynamic port leaves an old fixed one in place.
        {twoPlugins, [](CAgentConfigDocument& d) { d.SetPorts({}); d.SetServiceName(L"New"); },
         L"<GuestAgentConfig ServiceName=\"New\"><PluginsCnt><Plugin Path=\"a.dll\"/></PluginsCnt>"
         L"<PortsCfg UseDynPort=\"true\" StaticPort=\"3000\"/></GuestAgentConfig>"},
    };
    const deploytest::SComScope com;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.xml);
        const std::wstring folder = deploytest::ScratchFolder(), path = folder + L"\\agent\\NimboAgentConfig.xml";
        if (c.existing)  // otherwise Save makes the folder
            CreateDirectoryW((folder + L"\\agent").c_str(), nullptr), deploytest::WriteTextFile(path, c.existing);
        CAgentConfigDocument document;
        document.Open(path);
        c.step(document);
        document.Save();
        EXPECT_EQ(deploytest::SavedXml(path), c.xml);
        deploytest::RemoveTree(folder);
    }
}
