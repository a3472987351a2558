#pragma once
// The names of the agent configuration file, shared by the library that writes it
// (CAgentConfigDocument) and the guest agent that reads it, so the two cannot drift apart.
//
//   <GuestAgentConfig ServiceName="...">
//     <PluginsCnt><Plugin Path="..."/>...</PluginsCnt>
//     <PortsCfg UseDynPort="true|false" StaticPort="..."/>
//   </GuestAgentConfig>
namespace agentconfig
{
constexpr wchar_t FileName[] = L"NimboAgentConfig.xml";
constexpr wchar_t RootTag[] = L"GuestAgentConfig";
constexpr wchar_t ServiceNameAttribute[] = L"ServiceName";
constexpr wchar_t PluginsTag[] = L"PluginsCnt";
constexpr wchar_t PluginTag[] = L"Plugin";
constexpr wchar_t PathAttribute[] = L"Path";
constexpr wchar_t PortsTag[] = L"PortsCfg";
constexpr wchar_t UseDynPortAttribute[] = L"UseDynPort";
constexpr wchar_t StaticPortAttribute[] = L"StaticPort";
}
