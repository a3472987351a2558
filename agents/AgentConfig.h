#pragma once
// The agent's configuration file "NimboAgentConfig.xml", written by the administration host
// into the agent's folder:
//
//   <GuestAgentConfig ServiceName="...">
//     <PluginsCnt><Plugin Path="relative\or\absolute.dll"/>...</PluginsCnt>
//     <PortsCfg UseDynPort="true|false" StaticPort="n"/>
//   </GuestAgentConfig>
//
// Reading needs COM initialised on the calling thread (the document is MSXML's DOMDocument).
// Every fault raises a CAgentError with EAgentExit::ConfigUnreadable that names the file and
// what is wrong with it.

#include <windows.h>
#include <string>
#include <vector>

namespace agent
{
struct SAgentPortsCfg
{
    bool useDynPort = true;
    DWORD staticPort = 2010;
};

class CAgentConfig
{
public:
    static const wchar_t* const FileName;   // "NimboAgentConfig.xml"

    static CAgentConfig Load(const std::wstring& path);
    // The same rules applied to a document held in memory; `origin` names it in errors.
    static CAgentConfig Parse(const std::wstring& xml, const std::wstring& origin);

    const std::wstring& ServiceName() const noexcept { return m_serviceName; }
    // Plugin paths as written, in file order.
    const std::vector<std::wstring>& Plugins() const noexcept { return m_plugins; }
    const SAgentPortsCfg& Ports() const noexcept { return m_ports; }

private:
    std::wstring m_serviceName;
    std::vector<std::wstring> m_plugins;
    SAgentPortsCfg m_ports;

    friend class CAgentConfigReader;
};
}
