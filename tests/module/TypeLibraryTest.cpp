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

class TypeLibraryTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(S_OK, LoadTypeLibEx(NIMBO_TEST_DLL, REGKIND_NONE, typeLib.put())); }

    CComPtr<ITypeInfo> Info(REFGUID guid)
    {
        CComPtr<ITypeInfo> info;
        EXPECT_EQ(S_OK, typeLib->GetTypeInfoOfGuid(guid, info.put()));
        return info;
    }

    CComPtr<ITypeLib> typeLib;
};

struct SMember
{
    const wchar_t* name;
    DISPID id;
    INVOKEKIND kind;
    std::vector<const wchar_t*> params;
};

struct SInterface
{
    const char* name;
    const IID* iid;
    std::vector<SMember> members;
};

const INVOKEKIND M = INVOKE_FUNC, GET = INVOKE_PROPERTYGET, PUT = INVOKE_PROPERTYPUT;

// Every member with its DISPID, kind and parameter names, in vtable order.
const std::vector<SInterface> kInterfaces = {
    {"INimboGAConnection", &IID_INimboGAConnection,
     {{L"InitLogging", 0x60020000, M, {L"enLogLevel", L"logPath"}},
      {L"Connect", 0x60020001, M, {L"machineName", L"login", L"pwd"}},
      {L"Installer", 0x60020002, GET, {L"ppInstaller"}},
      {L"Ctrl", 0x60020003, GET, {L"ppCtrl"}},
      {L"Disconnect", 0x60020004, M, {}}}},
    {"INimboGAInstaller", &IID_INimboGAInstaller,
     {{L"CollectGuestMetrics", 0x60020000, M, {L"ppGuestMetrics"}},
      {L"Install", 0x60020001, M, {}},
      {L"Uninstall", 0x60020002, M, {}},
      {L"GetGateState", 0x60020003, M, {L"penVssSvcState"}},
      {L"RunGate", 0x60020004, M, {}},
      {L"PluginSpecificInfo", 0x60020005, GET, {L"ppPluginSpecific"}}}},
    {"INimboVssGACtrl", &IID_INimboVssGACtrl,
     {{L"Freeze", 0x60020000, M, {}},
      {L"FreezeState", 0x60020001, GET, {L"pFreeezeState"}},
      {L"GetFreezeError", 0x60020002, M, {L"pErrCode", L"pDescr"}},
      {L"Unfreeze", 0x60020003, M, {}}}},
    {"INimboGATest", &IID_INimboGATest, {{L"DoTest", 0x60010000, M, {}}}},
    {"INimboGuestMetrics", &IID_INimboGuestMetrics,
     {{L"GetOsBuild", 0x60020000, M, {L"pMajor", L"pMinor"}},
      {L"OsType", 0x60020001, GET, {L"pOsType"}},
      {L"OsPlatform", 0x60020002, GET, {L"pOsPlaform"}},
      {L"Supported", 0x60020003, GET, {L"pbSupported"}}}},
    {"INimboRemoteConsoleCtrl", &IID_INimboRemoteConsoleCtrl,
     {{L"Start", 0x60020000, M, {L"bstrNonDefaultCmdLineArgs", L"pRemoteProcessPID"}},
      {L"Send", 0x60020001, M, {L"msg"}},
      {L"EvtSubscription", 0x60020002, PUT, {L"newVal"}}}},
    {"INimboRemoteConsoleEvt", &IID_INimboRemoteConsoleEvt,
     {{L"OnStdOutput", 0x60020000, M, {L"bstrData"}},
      {L"OnStdError", 0x60020001, M, {L"bstrErrDescr"}},
      {L"OnChannelStateChanged", 0x60020002, M, {L"enChannelState", L"bstrOptionalData"}}}},
    {"INimboRemoteConsoleInstallInfo", &IID_INimboRemoteConsoleInstallInfo,
     {{L"AddAgentPckgFile", 0x60020000, M, {L"pckgLocalFullPath", L"remoteRelativePath"}},
      {L"AgentExecPath", 0x60020001, PUT, {L"newVal"}},
      {L"AgentVersion", 0x60020002, PUT, {L"newVal"}},
      {L"AddAgentCompatibility", 0x60020003, M, {L"pCompatibleVersion"}},
      {L"AgentAutoUninstall", 0x60020004, PUT, {L"newVal"}},
      {L"AgentSvcName", 0x60020005, PUT, {L"newVal"}},
      {L"AgentRpcPort", 0x60020006, PUT, {L"newVal"}},
      {L"AgentWorkingDir", 0x60020007, PUT, {L"newVal"}}}},
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

TEST_F(TypeLibraryTest, InterfacesHaveTheirMembersInOrderWithTheirDispatchIds)
{
    for (const SInterface& itf : kInterfaces)
    {
        CComPtr<ITypeInfo> info = Info(*itf.iid);
        ASSERT_TRUE(info) << itf.name;
        EXPECT_TRUE(Attributes(info.get()).wTypeFlags & TYPEFLAG_FDUAL) << itf.name;
        CComPtr<ITypeInfo> vtable = VtableInfo(info);
        ASSERT_TRUE(vtable) << itf.name;
        const UINT functions = Attributes(vtable.get()).cFuncs;
        ASSERT_EQ(itf.members.size(), functions) << itf.name;
        for (UINT i = 0; i < functions; ++i)
        {
            const SMember& expected = itf.members[i];
            FUNCDESC* desc = nullptr;
            ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &desc));
            EXPECT_EQ(expected.id, desc->memid) << itf.name << " member " << i;
            EXPECT_EQ(expected.kind, desc->invkind) << itf.name << " member " << i;
            BSTR names[8] = {};
            UINT count = 0;
            EXPECT_EQ(S_OK, vtable->GetNames(desc->memid, names, 8, &count));
            vtable->ReleaseFuncDesc(desc);
            std::vector<std::wstring> actual;
            for (UINT n = 0; n < count; ++n)
            {
                actual.emplace_back(names[n] ? names[n] : L"");
                SysFreeString(names[n]);
            }
            std::vector<std::wstring> wanted = {expected.name};
            wanted.insert(wanted.end(), expected.params.begin(), expected.params.end());
            // A property put's value parameter has no name of its own in the type library.
            if (expected.kind == PUT)
                wanted.pop_back();
            EXPECT_EQ(wanted, actual) << itf.name << " member " << i;
        }
    }
}

TEST_F(TypeLibraryTest, CoclassesNameTheirDefaultAndSourceInterfaces)
{
    const struct
    {
        const char* name;
        const CLSID* clsid;
        const IID* defaultInterface;
        const IID* defaultSource;
    } cases[] = {
        {"NimboVssGAConnection", &CLSID_NimboVssGAConnection, &IID_INimboGAConnection, nullptr},
        {"NimboRemoteConsoleConnection", &CLSID_NimboRemoteConsoleConnection, &IID_INimboGAConnection, nullptr},
        {"NimboRemoteConsoleEvt", &CLSID_NimboRemoteConsoleEvt, &IID_INimboRemoteConsoleEvt,
         &DIID_INimboRemoteConsoleEvtDistrib},
    };
    for (const auto& c : cases)
    {
        CComPtr<ITypeInfo> info = Info(*c.clsid);
        ASSERT_TRUE(info) << c.name;
        const TYPEATTR attr = Attributes(info.get());
        EXPECT_EQ(TKIND_COCLASS, attr.typekind) << c.name;
        const IID* foundDefault = nullptr;
        const IID* foundSource = nullptr;
        for (UINT i = 0; i < attr.cImplTypes; ++i)
        {
            INT flags = 0;
            HREFTYPE ref = 0;
            CComPtr<ITypeInfo> implemented;
            ASSERT_EQ(S_OK, info->GetImplTypeFlags(i, &flags));
            ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(i, &ref));
            ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, implemented.put()));
            const GUID guid = Attributes(implemented.get()).guid;
            const IID* which = IsEqualGUID(guid, *c.defaultInterface)                       ? c.defaultInterface
                               : (c.defaultSource && IsEqualGUID(guid, *c.defaultSource)) ? c.defaultSource
                                                                                          : nullptr;
            if ((flags & IMPLTYPEFLAG_FDEFAULT) && (flags & IMPLTYPEFLAG_FSOURCE))
                foundSource = which;
            else if (flags & IMPLTYPEFLAG_FDEFAULT)
                foundDefault = which;
        }
        EXPECT_EQ(c.defaultInterface, foundDefault) << c.name;
        EXPECT_EQ(c.defaultSource, foundSource) << c.name;
    }
}
}
