#include "console/RcAgentConfig.h"

#include "console/RcAgentConfigFormat.h"
#include "foundation/Exc.h"
#include "foundation/FileSystem.h"
#include "foundation/XmlDocument.h"

namespace rconsole
{
namespace
{
const wchar_t kSaveFailed[] = L"Cannot save an agent's configuration file. Serialization path: [%1].";
const wchar_t kVersioningFailed[] = L"Cannot serialize the versioning settings.";
const wchar_t kStartupFailed[] = L"Cannot serialize an agent's commandline.";
const wchar_t kBuildFailed[] = L"Cannot create a blank agent's configuration document.";

util::CXmlDocumentPtr BuildDocument(const CRcAgentConfig& config)
{
    try
    {
        util::CXmlDocumentPtr document = util::CreateDocument();
        util::CXmlElementPtr root =
            util::CreateChildElement(util::DocumentNode(document.get()).get(), rcconfig::RootTag);
        util::SetBoolAttribute(root.get(), rcconfig::AutoUninstallAttribute, config.AutoUninstall);
        util::SetAttribute(root.get(), rcconfig::RpcSvcNameAttribute, config.RpcSvcName);
        try
        {
            util::CXmlElementPtr versioning = util::CreateChildElement(root.get(), rcconfig::VersioningTag);
            util::SetVersionAttribute(versioning.get(), rcconfig::AgentVersionAttribute, config.AgentVersion);
            util::CXmlElementPtr list = util::CreateChildElement(versioning.get(), rcconfig::CompatibilityListTag);
            for (const util::SNimboAgentVersion& version : config.Compatibility)
            {
                util::CXmlElementPtr entry = util::CreateChildElement(list.get(), rcconfig::EntryTag);
                util::SetVersionAttribute(entry.get(), rcconfig::AgentVersionAttribute, version);
            }
        }
        catch (CExc& e)
        {
            e.AddMessage(kVersioningFailed);
            throw;
        }
        try
        {
            util::CXmlElementPtr startup = util::CreateChildElement(root.get(), rcconfig::StartupTag);
            util::SetAttribute(startup.get(), rcconfig::RelativePathAttribute, config.RelativePath);
            util::SetAttribute(startup.get(), rcconfig::CmdLineAttribute, config.CmdLine);
            util::SetAttribute(startup.get(), rcconfig::WorkingDirAttribute, config.WorkingDir);
        }
        catch (CExc& e)
        {
            e.AddMessage(kStartupFailed);
            throw;
        }
        return document;
    }
    catch (CExc& e)
    {
        e.AddMessage(kBuildFailed);
        throw;
    }
}
}

void CRcAgentConfig::Save(const std::wstring& path) const
{
    try
    {
        std::wstring folder, name;
        util::SplitPath(path, folder, name);
        if (!folder.empty())
            util::CreateFolderTree(folder);
        util::SaveDocument(BuildDocument(*this).get(), path);
    }
    catch (CExc& e)
    {
        e.AddMessage(kSaveFailed, path);
        throw;
    }
}
}
