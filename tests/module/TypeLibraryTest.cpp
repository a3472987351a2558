// The type library stored in the DLL: what scripts, .NET and C++ callers see of the library.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <vector>
#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"

namespace
{
using util::CComPtr;

// The type information of `guid` in the library stored in the DLL.
CComPtr<ITypeInfo> Info(REFGUID guid)
{
    CComPtr<ITypeLib> library;
    CComPtr<ITypeInfo> info;
    EXPECT_EQ(S_OK, LoadTypeLibEx(NIMBO_TEST_DLL, REGKIND_NONE, library.put()));
    EXPECT_TRUE(library && library->GetTypeInfoOfGuid(guid, info.put()) == S_OK);
    return info;
}

// Every interface's members in vtable order as "<name>(<parameter names>)", "get " or "put "
// before a property (a property put's value parameter has no name of its own in the type
// library); their dispatch ids count up from the first. The odd parameter names are the
// library's own and stay as they are.
const struct
{
    const char* name;
    const IID* iid;
    DISPID first;
    const wchar_t* members;
} kInterfaces[] = {
    {"INimboGAConnection", &IID_INimboGAConnection, 0x60020000,
     L"InitLogging(enLogLevel,logPath) Connect(machineName,login,pwd) get Installer(ppInstaller) get Ctrl(ppCtrl) "
     L"Disconnect()"},
    {"INimboGAInstaller", &IID_INimboGAInstaller, 0x60020000,
     L"CollectGuestMetrics(ppGuestMetrics) Install() Uninstall() GetGateState(penVssSvcState) RunGate() "
     L"get PluginSpecificInfo(ppPluginSpecific)"},
    {"INimboVssGACtrl", &IID_INimboVssGACtrl, 0x60020000,
     L"Freeze() get FreezeState(pFreeezeState) GetFreezeError(pErrCode,pDescr) Unfreeze()"},
    {"INimboGATest", &IID_INimboGATest, 0x60010000, L"DoTest()"},
    {"INimboGuestMetrics", &IID_INimboGuestMetrics, 0x60020000,
     L"GetOsBuild(pMajor,pMinor) get OsType(pOsType) get OsPlatform(pOsPlaform) get Supported(pbSupported)"},
    {"INimboRemoteConsoleCtrl", &IID_INimboRemoteConsoleCtrl, 0x60020000,
     L"Start(bstrNonDefaultCmdLineArgs,pRemoteProcessPID) Send(msg) put EvtSubscription()"},
    {"INimboRemoteConsoleEvt", &IID_INimboRemoteConsoleEvt, 0x60020000,
     L"OnStdOutput(bstrData) OnStdError(bstrErrDescr) OnChannelStateChanged(enChannelState,bstrOptionalData)"},
    {"INimboRemoteConsoleInstallInfo", &IID_INimboRemoteConsoleInstallInfo, 0x60020000,
     L"AddAgentPckgFile(pckgLocalFullPath,remoteRelativePath) put AgentExecPath() put AgentVersion() "
     L"AddAgentCompatibility(pCompatibleVersion) put AgentAutoUninstall() put AgentSvcName() put AgentRpcPort() "
     L"put AgentWorkingDir()"},
};

// A copy of the type's attributes, so that no caller has to release them.
TYPEATTR Attributes(ITypeInfo* info)
{
    TYPEATTR copy = {}, *attr = nullptr;
    EXPECT_EQ(S_OK, info->GetTypeAttr(&attr));
    if (attr)
        copy = *attr, info->ReleaseTypeAttr(attr);
    return copy;
}

// The vtable view of an interface (for a dual interface the type library first gives the
// dispatch view).
CComPtr<ITypeInfo> VtableInfo(const CComPtr<ITypeInfo>& info)
{
    if (Attributes(info.get()).typekind != TKIND_DISPATCH)
        return info;
    HREFTYPE ref = 0;
    CComPtr<ITypeInfo> vtable;
    EXPECT_EQ(S_OK, info->GetRefTypeOfImplType(-1, &ref));
    EXPECT_EQ(S_OK, info->GetRefTypeInfo(ref, vtable.put()));
    return vtable;
}

TEST(TypeLibraryTest, DualInterfacesHaveTheirMembersInOrderWithTheirDispatchIds)
{
    for (const auto& itf : kInterfaces)
    {
        CComPtr<ITypeInfo> info = Info(*itf.iid);
        ASSERT_TRUE(info) << itf.name;
        EXPECT_TRUE(Attributes(info.get()).wTypeFlags & TYPEFLAG_FDUAL) << itf.name;
        CComPtr<ITypeInfo> vtable = VtableInfo(info);
        ASSERT_TRUE(vtable) << itf.name;
        std::wstring members;
        for (UINT i = 0; i < Attributes(vtable.get()).cFuncs; ++i)
        {
            FUNCDESC* desc = nullptr;
            ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &desc));
            EXPECT_EQ(itf.first + static_cast<DISPID>(i), desc->memid) << itf.name << " member " << i;
            BSTR names[8] = {};
            UINT count = 0;
            EXPECT_EQ(S_OK, vtable->GetNames(desc->memid, names, 8, &count));
            members += std::wstring(i ? L" " : L"") + (desc->invkind == INVOKE_PROPERTYGET ? L"get " : L"") +
                       (desc->invkind == INVOKE_PROPERTYPUT ? L"put " : L"");
            vtable->ReleaseFuncDesc(desc);
            for (UINT n = 0; n < count; ++n)
            {
                members += (n == 0 ? L"" : n == 1 ? L"(" : L",") + util::CBstr::ToText(names[n]);
                SysFreeString(names[n]);
            }
            members += count == 1 ? L"()" : L")";
        }
        EXPECT_EQ(itf.members, members) << itf.name;
    }
}

TEST(TypeLibraryTest, CoclassesNameTheirDefaultAndSourceInterfaces)
{
    const struct { const CLSID* clsid; const IID *defaultInterface, *defaultSource; } cases[] = {
        {&CLSID_NimboVssGAConnection, &IID_INimboGAConnection, &GUID_NULL},
        {&CLSID_NimboRemoteConsoleConnection, &IID_INimboGAConnection, &GUID_NULL},
        {&CLSID_NimboRemoteConsoleEvt, &IID_INimboRemoteConsoleEvt, &DIID_INimboRemoteConsoleEvtDistrib}};
    for (const auto& c : cases)
    {
        CComPtr<ITypeInfo> info = Info(*c.clsid);
        ASSERT_TRUE(info);
        const TYPEATTR attr = Attributes(info.get());
        EXPECT_EQ(TKIND_COCLASS, attr.typekind);
        GUID found[2] = {GUID_NULL, GUID_NULL};  // the default interface, the default source
        for (UINT i = 0; i < attr.cImplTypes; ++i)
        {
            INT flags = 0;
            HREFTYPE ref = 0;
            CComPtr<ITypeInfo> implemented;
            ASSERT_EQ(S_OK, info->GetImplTypeFlags(i, &flags));
            ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(i, &ref));
            ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, implemented.put()));
            if (flags & IMPLTYPEFLAG_FDEFAULT)
                found[(flags & IMPLTYPEFLAG_FSOURCE) ? 1 : 0] = Attributes(implemented.get()).guid;
        }
        EXPECT_TRUE(IsEqualGUID(*c.defaultInterface, found[0]) && IsEqualGUID(*c.defaultSource, found[1]))
            << "coclass " << std::hex << c.clsid->Data1;
    }
}
}
