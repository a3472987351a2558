// The COM object framework, exercised through small test-only classes that implement interfaces
// of the library's type library.
#include <gtest/gtest.h>
#include <windows.h>
#include <ocidl.h>
#include <thread>
#include <vector>
#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "module/ClassFactory.h"
#include "module/ComObject.h"
#include "module/DllModule.h"
#include "tests/module/ComTestSupport.h"

namespace
{
using namespace comtest;
using util::CComPtr;

int g_liveMetrics = 0;

// A metrics view with fixed values: enough to drive the dispatch path through the type library.
class CTestMetrics : public comfw::CComObjectRoot<comfw::CSingleThreadModel, INimboGuestMetrics, ISupportErrorInfo,
                                                  INimboGATest>
{
public:
    explicit CTestMetrics(ENimboOsType osType = ENimboOs2003) : m_osType(osType) { ++g_liveMetrics; }
    ~CTestMetrics() override { --g_liveMetrics; }

    STDMETHODIMP GetOsBuild(unsigned short* major, unsigned short* minor) override
    {
        return major && minor ? (*major = 5, *minor = 2, S_OK) : E_INVALIDARG;
    }
    STDMETHODIMP get_OsType(ENimboOsType* osType) override { return Out(osType, m_osType); }
    STDMETHODIMP get_OsPlatform(ENimboOsPlatform* platform) override { return Out(platform, ENimboAmd64); }
    STDMETHODIMP get_Supported(VARIANT_BOOL* supported) override { return Out(supported, VARIANT_TRUE); }
    STDMETHODIMP DoTest() override { return S_FALSE; }

private:
    template <class T>
    static HRESULT Out(T* out, T value) { return out ? (*out = value, S_OK) : E_INVALIDARG; }
    ENimboOsType m_osType;
};

class CFailingMetrics : public CTestMetrics
{
public:
    HRESULT FinalConstruct() noexcept { return E_ACCESSDENIED; }
};

// An event object with the multi-threaded model and no dual interface of its own.
class CTestContainer : public comfw::CComObjectRoot<comfw::CMultiThreadModel, IConnectionPointContainer>
{
public:
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID, IConnectionPoint**) override { return E_NOTIMPL; }
};

LONG LockCount() { return comfw::CDllModule::Get().GetLockCount(); }

class ComObjectTest : public testing::Test
{
protected:
    void SetUp() override
    {
        comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_EQ(0, g_liveMetrics);
        baseLocks = LockCount();
    }
    void TearDown() override
    {
        EXPECT_EQ(0, g_liveMetrics);
        EXPECT_EQ(baseLocks, LockCount());
        if (comInitialized)
            CoUninitialize();
    }
    LONG baseLocks = 0;
    bool comInitialized = false;
};

TEST_F(ComObjectTest, ErrorInfoIsSupportedForTheDualInterfacesOnly)
{
    CComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(S_OK, comfw::CreateInstance<CTestMetrics>(IID_ISupportErrorInfo, errorInfo.put_void()));
    struct
    {
        const IID* iid;
        HRESULT expected;
    } const cases[] = {
        {&IID_INimboGuestMetrics, S_OK},   {&IID_INimboGATest, S_FALSE}, {&IID_IDispatch, S_FALSE},
        {&IID_ISupportErrorInfo, S_FALSE}, {&IID_IUnknown, S_FALSE},     {&IID_INimboGAConnection, S_FALSE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, errorInfo->InterfaceSupportsErrorInfo(*c.iid));
}

TEST_F(ComObjectTest, FailingFinalConstructionDestroysTheObjectAndReturnsItsResult)
{
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_ACCESSDENIED, comfw::CreateInstance<CFailingMetrics>(IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(ComObjectTest, MultiThreadedCountSurvivesConcurrentAddRefAndRelease)
{
    CComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, comfw::CreateInstance<CTestContainer>(IID_IConnectionPointContainer, container.put_void()));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i)
                container->AddRef();
            for (int i = 0; i < 20000; ++i)
                container->Release();
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(1u, RefCount(container.get()));
}

}
