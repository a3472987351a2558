#pragma once
// The content of "RemoteConsoleCfg.xml", which the console plugin reads on the guest to learn
// its service name, its version and the versions it stays compatible with, and which program
// a console runs (format: console/RcAgentConfigFormat.h). The library only writes it.
//
//   rconsole::CRcAgentConfig config;
//   config.RpcSvcName = L"NimboRemoteConsole";
//   config.AgentVersion = util::SNimboAgentVersion(1, 2, 0, 0);
//   config.Save(util::JoinPath(targetFolder, rcconfig::FileName));
//
// The calling thread must have initialised COM (the document is MSXML's).

#include <set>
#include <string>

#include "foundation/AgentVersion.h"

namespace rconsole
{
class CRcAgentConfig
{
public:
    std::wstring RpcSvcName;
    bool AutoUninstall = true;
    util::SNimboAgentVersion AgentVersion;
    std::set<util::SNimboAgentVersion> Compatibility;
    std::wstring RelativePath;
    std::wstring CmdLine;
    std::wstring WorkingDir;

    // Creates the folders of `path`, then writes the file (replacing an existing one).
    void Save(const std::wstring& path) const;
};
}
