#include "vss/VssInstallPolicy.h"

#include "deploy/GuestMetricsCollector.h"
#include "foundation/Exc.h"
#include "foundation/FileSystem.h"

namespace vss
{
namespace
{
const wchar_t kServiceName[] = L"NimboVssSupport";
const wchar_t kPluginFileName[] = L"NimboVssSupport.dll";
const wchar_t kVssServiceName[] = L"VSS";

bool IsNewerServerFamily(ENimboOsType osType)
{
    // 2003 and Longhorn (2008) share the 2003 plugin builds.
    return osType == ENimboOs2003 || osType == ENimboOsLonghorn;
}
}

const remote::CGuestOsInfo& CVssSpecificInstall::OsInfo() const
{
    if (!m_osInfo)
        throw CExc(MsgText(132), E_FAIL);
    return *m_osInfo;
}

void CVssSpecificInstall::PrepareMetrics(const install::CGuestMetricsCollectorPtr& collector)
{
    collector->Request(install::CGuestMetricsCollector::kCollectOsInfo);
}

void CVssSpecificInstall::AcceptMetrics(const install::CGuestMetricsCollectorPtr& collector)
{
    remote::CGuestOsInfoPtr osInfo = collector->GetOsInfo();
    if (!osInfo)
        throw CExc(MsgText(129), E_FAIL);
    m_osInfo = osInfo;
}

bool CVssSpecificInstall::IsInstallPossible() const
{
    try
    {
        const remote::CGuestOsInfo& info = OsInfo();
        const ENimboOsPlatform platform = info.GetPlatform();
        const ENimboOsType osType = info.GetOsType();
        if (osType == ENimboOsXP)
            return platform == ENimboX86;
        if (IsNewerServerFamily(osType))
            return platform == ENimboX86 || platform == ENimboAmd64;
        return false;
    }
    catch (CExc& e)
    {
        e.AddMessage(133);
        throw;
    }
}

void CVssSpecificInstall::CopyAgentFiles(const std::wstring& packageFolder,
                                         const std::wstring& targetFolder) const
{
    try
    {
        const remote::CGuestOsInfo& info = OsInfo();
        const ENimboOsPlatform platform = info.GetPlatform();
        const ENimboOsType osType = info.GetOsType();
        const wchar_t* source = nullptr;
        if (platform == ENimboX86 && osType == ENimboOsXP)
            source = L"NimboVssSupportXP_X86.dll";
        else if (platform == ENimboX86 && IsNewerServerFamily(osType))
            source = L"NimboVssSupport2003_X86.dll";
        else if (platform == ENimboAmd64 && IsNewerServerFamily(osType))
            source = L"NimboVssSupport2003_X64.dll";
        else if (platform == ENimboX86 || platform == ENimboAmd64)
            throw CExc(MsgText(148, install::GetOsTypeName(osType)), E_FAIL);
        else
            throw CExc(MsgText(146, install::GetPlatformName(platform)), E_FAIL);
        util::CopyFileTo(util::JoinPath(packageFolder, source), util::JoinPath(targetFolder, kPluginFileName),
                         false);
    }
    catch (CExc& e)
    {
        e.AddMessage(147);
        throw;
    }
}

void CVssSpecificInstall::GetServiceDependencies(std::vector<std::wstring>& dependencies) const
{
    dependencies.push_back(kVssServiceName);
}

bool CVssSpecificInstall::GetServiceName(std::wstring& name) const
{
    name = kServiceName;
    return true;
}

std::wstring CVssSpecificInstall::GetPluginFileName() const
{
    return kPluginFileName;
}

bool CVssSpecificInstall::UseX86AgentOnAnyPlatform() const
{
    return false;
}

install::SPortsCfg CVssSpecificInstall::GetPortsConfig() const
{
    return install::SPortsCfg();  // a dynamic port
}

bool CVssSpecificInstall::RunAsLocalSystem() const
{
    return true;
}
}
