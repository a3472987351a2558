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
        ASSERT_NE(nullptr, dll) << GetLastError();
        canUnloadNow = reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
        getClassObject = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    }
    static void TearDownTestSuite()
    {
        if (dll)
            FreeLibrary(dll);
        if (comInitialized)
            CoUninitialize();
    }
    void SetUp() override
    {
        ASSERT_NE(nullptr, canUnloadNow);
        ASSERT_NE(nullptr, getClassObject);
        ASSERT_EQ(S_OK, canUnloadNow()) << "an earlier test left an object or a lock behind";
    }

    static CComPtr<IClassFactory> ClassObject(REFCLSID clsid)
    {
        CComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, getClassObject(clsid, IID_IClassFactory, factory.put_void()));
        return factory;
    }

    template <class I>
    static CComPtr<I> Create(REFCLSID clsid, REFIID iid)
    {
        CComPtr<I> object;
        CComPtr<IClassFactory> factory = ClassObject(clsid);
        if (factory)
        {
            EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, iid, object.put_void()));
        }
        return object;
    }

    static bool comInitialized;
    static HMODULE dll;
    static CanUnloadNowFn canUnloadNow;
    static GetClassObjectFn getClassObject;
};

bool ModuleTest::comInitialized = false;
HMODULE ModuleTest::dll = nullptr;
ModuleTest::CanUnloadNowFn ModuleTest::canUnloadNow = nullptr;
ModuleTest::GetClassObjectFn ModuleTest::getClassObject = nullptr;

const struct SClass
{
    const char* name;
    const CLSID* clsid;
    HRESULT aggregated;  // result of creating it inside an aggregate
} kClasses[] = {
    {"NimboVssGAConnection", &CLSID_NimboVssGAConnection, S_OK},
    {"NimboRemoteConsoleConnection", &CLSID_NimboRemoteConsoleConnection, CLASS_E_NOAGGREGATION},
    {"NimboRemoteConsoleEvt", &CLSID_NimboRemoteConsoleEvt, CLASS_E_NOAGGREGATION},
};

TEST_F(ModuleTest, ClassObjectsExistForTheThreeCreatableClassesOnly)
{
    for (const SClass& c : kClasses)
    {
        CComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, getClassObject(*c.clsid, IID_IClassFactory, factory.put_void())) << c.name;
        EXPECT_TRUE(factory) << c.name;
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

TEST_F(ModuleTest, ClassObjectIsCachedAndAnswersOnlyItsOwnInterfaces)
{
    CComPtr<IClassFactory> first = ClassObject(CLSID_NimboRemoteConsoleEvt);
    CComPtr<IClassFactory> second = ClassObject(CLSID_NimboRemoteConsoleEvt);
    EXPECT_EQ(first.get(), second.get());
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, getClassObject(CLSID_NimboRemoteConsoleEvt, IID_INimboRemoteConsoleEvt, &out));
    EXPECT_EQ(nullptr, out);
    CComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, getClassObject(CLSID_NimboRemoteConsoleEvt, IID_IUnknown, unknown.put_void()));
}

TEST_F(ModuleTest, OnlyTheVssConnectionCanBeAggregated)
{
    for (const SClass& c : kClasses)
    {
        CComPtr<IClassFactory> factory = ClassObject(*c.clsid);
        ASSERT_TRUE(factory) << c.name;
        COuter outer;
        IUnknown* inner = reinterpret_cast<IUnknown*>(1);
        EXPECT_EQ(c.aggregated, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner))) << c.name;
        if (SUCCEEDED(c.aggregated))
        {
            ASSERT_NE(nullptr, inner);
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
        {
            EXPECT_EQ(nullptr, inner) << c.name;
        }
        EXPECT_EQ(1u, outer.refs) << c.name;
    }
}

TEST_F(ModuleTest, CanUnloadNowIsFalseWhileAClassObjectIsHeldOrLockedOrAnObjectLives)
{
    for (const SClass& c : kClasses)
    {
        IClassFactory* factory = nullptr;
        ASSERT_EQ(S_OK, getClassObject(*c.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory))) << c.name;
        EXPECT_EQ(S_FALSE, canUnloadNow()) << c.name << ": class object held";
        EXPECT_EQ(S_OK, factory->LockServer(TRUE));
        factory->Release();
        EXPECT_EQ(S_FALSE, canUnloadNow()) << c.name << ": server locked";
        ASSERT_EQ(S_OK, getClassObject(*c.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        EXPECT_EQ(S_OK, factory->LockServer(FALSE));
        factory->Release();
        EXPECT_EQ(S_OK, canUnloadNow()) << c.name;

        CComPtr<IUnknown> object = Create<IUnknown>(*c.clsid, IID_IUnknown);
        ASSERT_TRUE(object) << c.name;
        EXPECT_EQ(S_FALSE, canUnloadNow()) << c.name << ": object alive";
        object.reset();
        EXPECT_EQ(S_OK, canUnloadNow()) << c.name;
    }
}

// Error information is promised for the connection interface only.
TEST_F(ModuleTest, ObjectsAnswerTheirInterfacesAndRefuseOthers)
{
    const struct
    {
        const char* name;
        const CLSID* clsid;
        std::initializer_list<const IID*> supported;
        std::initializer_list<const IID*> refused;
        bool errorInfo;
    } cases[] = {
        {"NimboVssGAConnection", &CLSID_NimboVssGAConnection,
         {&IID_IUnknown, &IID_IDispatch, &IID_INimboGAConnection, &IID_ISupportErrorInfo},
         {&IID_INimboGAInstaller, &IID_IConnectionPointContainer, &IID_IClassFactory, &IID_INimboRemoteConsoleEvt}, true},
        {"NimboRemoteConsoleConnection", &CLSID_NimboRemoteConsoleConnection,
         {&IID_IUnknown, &IID_IDispatch, &IID_INimboGAConnection, &IID_ISupportErrorInfo},
         {&IID_INimboRemoteConsoleCtrl, &IID_IConnectionPointContainer, &IID_IClassFactory}, true},
        {"NimboRemoteConsoleEvt", &CLSID_NimboRemoteConsoleEvt,
         {&IID_IUnknown, &IID_IDispatch, &IID_INimboRemoteConsoleEvt, &IID_IConnectionPointContainer},
         {&IID_INimboGAConnection, &DIID_INimboRemoteConsoleEvtDistrib, &IID_IConnectionPoint, &IID_IClassFactory}, false},
    };
    for (const auto& c : cases)
    {
        CComPtr<IUnknown> object = Create<IUnknown>(*c.clsid, IID_IUnknown);
        ASSERT_TRUE(object) << c.name;
        for (const IID* iid : c.supported)
        {
            CComPtr<IUnknown> found;
            EXPECT_EQ(S_OK, object->QueryInterface(*iid, found.put_void())) << c.name;
        }
        ExpectRefused(object.get(), c.refused, c.name);
        if (c.errorInfo)
        {
            CComPtr<ISupportErrorInfo> errorInfo;
            ASSERT_EQ(S_OK, object.QueryInterface(IID_ISupportErrorInfo, errorInfo));
            EXPECT_EQ(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_INimboGAConnection));
            EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch));
            EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_INimboGAInstaller));
        }
        EXPECT_EQ(1u, RefCount(object.get())) << c.name << ": reference count after the lookups";
    }
}

TEST_F(ModuleTest, DispatchResolvesNamesAndInvokesMembersThroughTheTypeLibrary)
{
    CComPtr<IDispatch> connection = Create<IDispatch>(CLSID_NimboVssGAConnection, IID_IDispatch);
    ASSERT_TRUE(connection);
    // Names resolve through the type library (every DISPID is checked in TypeLibraryTest).
    LPOLESTR name = const_cast<LPOLESTR>(L"Disconnect");
    DISPID id = 0;
    EXPECT_EQ(S_OK, connection->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(0x60020004, id);
    DISPPARAMS none = {};
    EXPECT_EQ(S_OK, connection->Invoke(0x60020004, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr,
                                       nullptr, nullptr));

    CComPtr<IDispatch> events = Create<IDispatch>(CLSID_NimboRemoteConsoleEvt, IID_IDispatch);
    ASSERT_TRUE(events);
    VARIANT text;
    VariantInit(&text);
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"output");
    DISPPARAMS one = {&text, nullptr, 1, 0};
    EXPECT_EQ(S_OK, events->Invoke(0x60020000, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &one, nullptr, nullptr,
                                   nullptr))
        << "OnStdOutput with no sink connected";
    VariantClear(&text);
}
}
