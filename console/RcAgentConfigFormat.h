#pragma once
// The names of the console agent's configuration file, shared by the library that writes it
// and the console plugin that reads it on the guest, so the two cannot drift apart.
//
//   <ApplicationCfg AutoUninstall="true|false" RpcSvcName="...">
//     <Versioning AgentVersion="a.b.c.d">
//       <CompatibilityList><Entry AgentVersion="a.b.c.d"/>...</CompatibilityList>
//     </Versioning>
//     <StartupCfg RelativePath="..." CmdLine="..." WorkingDir="..."/>
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
