#pragma once
// The names of "RemoteConsoleCfg.xml", shared by the library that writes it (CRcAgentConfig)
// and the console plugin that reads it:
//
//   <ApplicationCfg AutoUninstall="true" RpcSvcName="NimboRemoteConsole">
//     <Versioning AgentVersion="1.2.0.0">
//       <CompatibilityList><Entry AgentVersion="1.1.0.0"/>...</CompatibilityList>
//     </Versioning>
//     <StartupCfg RelativePath="bin\probe.exe" CmdLine="" WorkingDir=""/>
//   </ApplicationCfg>
namespace rcconfig
{
constexpr wchar_t FileName[] = L"RemoteConsoleCfg.xml";
constexpr wchar_t RootTag[] = L"ApplicationCfg";
constexpr wchar_t AutoUninstallAttribute[] = L"AutoUninstall";
constexpr wchar_t RpcSvcNameAttribute[] = L"RpcSvcName";
constexpr wchar_t VersioningTag[] = L"Versioning";
constexpr wchar_t AgentVersionAttribute[] = L"AgentVersion";
constexpr wchar_t CompatibilityListTag[] = L"CompatibilityList";
constexpr wchar_t EntryTag[] = L"Entry";
constexpr wchar_t StartupTag[] = L"StartupCfg";
constexpr wchar_t RelativePathAttribute[] = L"RelativePath";
constexpr wchar_t CmdLineAttribute[] = L"CmdLine";
constexpr wchar_t WorkingDirAttribute[] = L"WorkingDir";
}
