#pragma once
// "NimboAgentConfig.xml", the file that tells a deployed agent its service name, its plugins
// and how it listens for RPC:
//
//   <GuestAgentConfig ServiceName="NimboVssSupport">
//     <PluginsCnt><Plugin Path="NimboVssSupport.dll"/></PluginsCnt>
//     <PortsCfg UseDynPort="true"/>
//   </GuestAgentConfig>
//
// Each operation puts its own sentence in front of an error raised inside it. The calling
// thread must have initialised COM (the document is MSXML's).

#include <string>

#include "deploy/AgentInstallPolicy.h"
#include "foundation/XmlDocument.h"

namespace install
{
class CAgentConfigDocument
{
public:
    // Loads the file at `path` if there is one, otherwise starts a blank document (service
    // "NONE", no plugins, dynamic port). The path is kept for Save.
    void Open(const std::wstring& path);
    void SetServiceName(const std::wstring& name);
    // Appends a plugin after those already listed.
    void AddPlugin(const std::wstring& relativePath);
    void SetPorts(const SPortsCfg& ports);
    // Creates the folders of the path, then writes the file.
    void Save();

private:
    void CreateBlank();
    IXMLDOMDocument* Document() const;
    util::CXmlElementPtr Root() const;
    util::CXmlElementPtr PluginsElement() const;
    util::CXmlElementPtr PortsElement() const;
    static void WritePorts(IXMLDOMElement* portsCfg, const SPortsCfg& ports);

    util::CXmlDocumentPtr m_document;
    std::wstring m_path;
};
}
