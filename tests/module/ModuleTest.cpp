// The DLL's four exports, its class objects and the objects they create, driven through the
// built test DLL loaded into this process.
#include <gtest/gtest.h>
#include <windows.h>
#include <ocidl.h>
#include <string>
#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "tests/module/ComTestSupport.h"

namespace
{
using namespace comtest;
using util::CComPtr;

class ModuleTest : public testing::Test
{
protected:
    using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

    static void SetUpTestSuite()
    {
        comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        dll = LoadLibraryW(NIMBO_TEST_DLL);
        canUnloadNow = reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
        getClassObject = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    }
    static void TearDownTestSuite()
    {
        FreeLibrary(dll);
        if (comInitialized)
            CoUninitialize();
    }
    void SetUp() override
    {
        ASSERT_TRUE(canUnloadNow && getClassObject) << GetLastError();
        ASSERT_EQ(S_OK, canUnloadNow()) << "an earlier test left an object or a lock behind";
    }

    static CComPtr<IClassFactory> ClassObject(REFCLSID clsid)
    {
        CComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, getClassObject(clsid, IID_IClassFactory, factory.put_void()));
        return factory;
    }

    static inline bool comInitialized = false;
    static inline HMODULE dll = nullptr;
    static inline CanUnloadNowFn canUnloadNow = nullptr;
    static inline GetClassObjectFn getClassObject = nullptr;
};

TEST_F(ModuleTest, ClassObjectsExistForTheThreeCreatableClassesOnlyAndAreCached)
{
    for (const CLSID* clsid : {&CLSID_NimboVssGAConnection, &CLSID_NimboRemoteConsoleConnection, &CLSID_NimboRemoteConsoleEvt})
    {
        CComPtr<IClassFactory> first = ClassObject(*clsid), second = ClassObject(*clsid);
        EXPECT_TRUE(first && first.get() == second.get());
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, getClassObject(*clsid, IID_INimboRemoteConsoleEvt, &out)) << "only its own interfaces";
        EXPECT_EQ(nullptr, out);
        CComPtr<IUnknown> unknown;
        EXPECT_EQ(S_OK, getClassObject(*clsid, IID_IUnknown, unknown.put_void()));
    }
    // The type library's other identities and the AppID are not classes.
    const GUID kAppId = {0x7E68C763, 0x27C5, 0x43E9, {0xAB, 0x44, 0xC5, 0xBA, 0x4C, 0xE2, 0xBB, 0xA4}};
    for (const GUID* notAClass : {&CLSID_NULL, &LIBID_NimboGuestAgentCtrlLib, &IID_INimboGAConnection,
                                  &DIID_INimboRemoteConsoleEvtDistrib, &kAppId})
    {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(*notAClass, IID_IClassFactory, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, getClassObject(CLSID_NimboVssGAConnection, IID_IClassFactory, nullptr));
}

// Per class: aggregation, what keeps the DLL loaded, the interfaces answered and refused, and
// error information (promised for the connection interface only).
TEST_F(ModuleTest, EachClassAggregatesCountsLocksAndAnswersItsInterfaces)
{
    const struct
    {
        const char* name;
        const CLSID* clsid;
        HRESULT aggregated;  // result of creating it inside an aggregate
        std::initializer_list<const IID*> supported, refused;
    } cases[] = {
        {"NimboVssGAConnection", &CLSID_NimboVssGAConnection, S_OK,
         {&IID_IUnknown, &IID_IDispatch, &IID_INimboGAConnection, &IID_ISupportErrorInfo},
         {&IID_INimboGAInstaller, &IID_IConnectionPointContainer, &IID_IClassFactory, &IID_INimboRemoteConsoleEvt}},
        {"NimboRemoteConsoleConnection", &CLSID_NimboRemoteConsoleConnection, CLASS_E_NOAGGREGATION,
         {&IID_IUnknown, &IID_IDispatch, &IID_INimboGAConnection, &IID_ISupportErrorInfo},
         {&IID_INimboRemoteConsoleCtrl, &IID_IConnectionPointContainer, &IID_IClassFactory}},
        {"NimboRemoteConsoleEvt", &CLSID_NimboRemoteConsoleEvt, CLASS_E_NOAGGREGATION,
         {&IID_IUnknown, &IID_IDispatch, &IID_INimboRemoteConsoleEvt, &IID_IConnectionPointContainer},
         {&IID_INimboGAConnection, &DIID_INimboRemoteConsoleEvtDistrib, &IID_IConnectionPoint, &IID_IClassFactory,
          &IID_ISupportErrorInfo}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CComPtr<IClassFactory> factory = ClassObject(*c.clsid);
        ASSERT_TRUE(factory);
        COuter outer;
        IUnknown* inner = reinterpret_cast<IUnknown*>(1);
        EXPECT_EQ(c.aggregated, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
        if (SUCCEEDED(c.aggregated))
        {
            CComPtr<INimboGAConnection> connection;
            EXPECT_EQ(S_OK, inner->QueryInterface(IID_INimboGAConnection, connection.put_void()));
            CComPtr<IUnknown> identity;
            EXPECT_EQ(S_OK, connection->QueryInterface(IID_IUnknown, identity.put_void()));
            EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.get()) << "the aggregate's identity";
            identity.reset();
            connection.reset();
            EXPECT_EQ(0u, inner->Release());
        }
        else
            EXPECT_EQ(nullptr, inner);
        EXPECT_EQ(1u, outer.refs);

        // A held class object, a server lock and a living object each keep the DLL loaded.
        EXPECT_EQ(S_FALSE, canUnloadNow()) << "class object held";
        EXPECT_EQ(S_OK, factory->LockServer(TRUE));
        factory.reset();
        EXPECT_EQ(S_FALSE, canUnloadNow()) << "server locked";
        EXPECT_EQ(S_OK, ClassObject(*c.clsid)->LockServer(FALSE));
        EXPECT_EQ(S_OK, canUnloadNow());
        CComPtr<IUnknown> object;
        EXPECT_EQ(S_OK, ClassObject(*c.clsid)->CreateInstance(nullptr, IID_IUnknown, object.put_void()));
        ASSERT_TRUE(object);
        EXPECT_EQ(S_FALSE, canUnloadNow()) << "object alive";
        for (const IID* iid : c.supported)
        {
            CComPtr<IUnknown> found;
            EXPECT_EQ(S_OK, object->QueryInterface(*iid, found.put_void()));
        }
        ExpectRefused(object.get(), c.refused, c.name);
        CComPtr<ISupportErrorInfo> errorInfo;
        if (object.QueryInterface(IID_ISupportErrorInfo, errorInfo) == S_OK)
        {
            EXPECT_EQ(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_INimboGAConnection));
            EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch));
            EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_INimboGAInstaller));
            errorInfo.reset();
        }
        EXPECT_EQ(1u, RefCount(object.get())) << "reference count after the lookups";
        object.reset();
        EXPECT_EQ(S_OK, canUnloadNow());
    }
}

// Invoke through the type library, as a late-bound client raises an event on the object.
TEST_F(ModuleTest, EventObjectInvokesItsMembersThroughTheTypeLibrary)
{
    CComPtr<IDispatch> events;
    ASSERT_EQ(S_OK, ClassObject(CLSID_NimboRemoteConsoleEvt)->CreateInstance(nullptr, IID_IDispatch, events.put_void()));
    LPOLESTR name = const_cast<LPOLESTR>(L"OnStdOutput");
    DISPID id = 0;
    EXPECT_EQ(S_OK, events->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    VARIANT text;
    VariantInit(&text);
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"output");
    DISPPARAMS one = {&text, nullptr, 1, 0};
    EXPECT_EQ(S_OK, events->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr))
        << "OnStdOutput with no sink connected";
    VariantClear(&text);
}
}
