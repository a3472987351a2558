#include "deploy/AgentConfigDocument.h"

#include "deploy/AgentConfigFormat.h"
#include "foundation/Convert.h"
#include "foundation/Exc.h"
#include "foundation/FileSystem.h"

namespace install
{
namespace
{
const wchar_t kBlankServiceName[] = L"NONE";

const wchar_t kOpenFailed[] = L"Cannot initialize agent's configuration document. Document path: [%1].";
const wchar_t kServiceNameFailed[] =
    L"Cannot store the service name in the agent's configuration document. Service name: [%1].";
const wchar_t kPluginFailed[] =
    L"Cannot store  a plugin's relative path in the guest agent's configuration document.";
const wchar_t kPortsFailed[] = L"Cannot serialize the ports usage settings.";
const wchar_t kSaveFailed[] =
    L"Cannot save the guest agent's configuration document. Serialization path: [%1].";
const wchar_t kBlankFailed[] = L"Cannot initialize a blank configuration document for the guest agent.";
const wchar_t kNoPluginsElement[] = L"XML element containing a plugins list is unavailable.";
const wchar_t kNoPortsElement[] =
    L"Cannot obtain a reference to the ports settings section of the configuration document.";
const wchar_t kNotOpen[] = L"The agent's configuration document is not open.";
}

void CAgentConfigDocument::Open(const std::wstring& path)
{
    try
    {
        m_document.reset();
        m_path = path;
        if (util::FileExists(path))
            m_document = util::LoadDocument(path, false);
        else
            CreateBlank();
    }
    catch (CExc& e)
    {
        m_document.reset();
        e.AddMessage(kOpenFailed, path);
        throw;
    }
}

void CAgentConfigDocument::CreateBlank()
{
    try
    {
        util::CXmlDocumentPtr document = util::CreateDocument();
        util::CXmlElementPtr root = util::CreateChildElement(util::DocumentNode(document.get()).get(), agentconfig::RootTag);
        util::SetAttribute(root.get(), agentconfig::ServiceNameAttribute, kBlankServiceName);
        util::CreateChildElement(root.get(), agentconfig::PluginsTag);
        util::CXmlElementPtr ports = util::CreateChildElement(root.get(), agentconfig::PortsTag);
        WritePorts(ports.get(), SPortsCfg());
        m_document = document;
    }
    catch (CExc& e)
    {
        e.AddMessage(kBlankFailed);
        throw;
    }
}

IXMLDOMDocument* CAgentConfigDocument::Document() const
{
    if (!m_document)
        throw CExc(kNotOpen, E_UNEXPECTED);
    return m_document.get();
}

util::CXmlElementPtr CAgentConfigDocument::Root() const
{
    return util::FindChild(util::DocumentNode(Document()).get(), agentconfig::RootTag);
}

util::CXmlElementPtr CAgentConfigDocument::PluginsElement() const
{
    try
    {
        return util::FindChild(Root().get(), agentconfig::PluginsTag);
    }
    catch (CExc& e)
    {
        e.AddMessage(kNoPluginsElement);
        throw;
    }
}

util::CXmlElementPtr CAgentConfigDocument::PortsElement() const
{
    try
    {
        return util::FindChild(Root().get(), agentconfig::PortsTag);
    }
    catch (CExc& e)
    {
        e.AddMessage(kNoPortsElement);
        throw;
    }
}

void CAgentConfigDocument::WritePorts(IXMLDOMElement* portsCfg, const SPortsCfg& ports)
{
    util::SetBoolAttribute(portsCfg, agentconfig::UseDynPortAttribute, ports.useDynPort);
    // A fixed port written earlier stays when the agent is switched to a dynamic one.
    if (!ports.useDynPort)
        util::SetAttribute(portsCfg, agentconfig::StaticPortAttribute, std::to_wstring(ports.staticPort));
}

void CAgentConfigDocument::SetServiceName(const std::wstring& name)
{
    try
    {
        util::SetAttribute(Root().get(), agentconfig::ServiceNameAttribute, name);
    }
    catch (CExc& e)
    {
        e.AddMessage(kServiceNameFailed, name);
        throw;
    }
}

void CAgentConfigDocument::AddPlugin(const std::wstring& relativePath)
{
    try
    {
        util::CXmlElementPtr plugin = util::CreateChildElement(PluginsElement().get(), agentconfig::PluginTag);
        util::SetAttribute(plugin.get(), agentconfig::PathAttribute, relativePath);
    }
    catch (CExc& e)
    {
        e.AddMessage(kPluginFailed);
        throw;
    }
}

void CAgentConfigDocument::SetPorts(const SPortsCfg& ports)
{
    try
    {
        WritePorts(PortsElement().get(), ports);
    }
    catch (CExc& e)
    {
        e.AddMessage(kPortsFailed);
        throw;
    }
}

void CAgentConfigDocument::Save()
{
    try
    {
        IXMLDOMDocument* document = Document();
        std::wstring folder, name;
        util::SplitPath(m_path, folder, name);
        if (!folder.empty())
            util::CreateFolderTree(folder);
        util::SaveDocument(document, m_path);
    }
    catch (CExc& e)
    {
        e.AddMessage(kSaveFailed, m_path);
        throw;
    }
}
}
