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

// A metrics view that answers nothing: two dual interfaces (one without error information) are
// all the framework needs to be seen at work.
class CTestMetrics : public comfw::CComObjectRoot<comfw::CSingleThreadModel, INimboGuestMetrics, ISupportErrorInfo,
                                                  INimboGATest>
{
public:
    CTestMetrics() { ++g_liveMetrics; }
    ~CTestMetrics() override { --g_liveMetrics; }
    STDMETHODIMP GetOsBuild(unsigned short*, unsigned short*) override { return E_NOTIMPL; }
    STDMETHODIMP get_OsType(ENimboOsType*) override { return E_NOTIMPL; }
    STDMETHODIMP get_OsPlatform(ENimboOsPlatform*) override { return E_NOTIMPL; }
    STDMETHODIMP get_Supported(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP DoTest() override { return S_FALSE; }
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
    // No test may leave an object alive or a lock on the module behind.
    void SetUp() override { ASSERT_EQ(0, g_liveMetrics); }
    void TearDown() override
    {
        EXPECT_EQ(0, g_liveMetrics);
        EXPECT_EQ(baseLocks, LockCount());
    }
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const LONG baseLocks = LockCount();
    ~ComObjectTest() override { if (SUCCEEDED(com)) CoUninitialize(); }
};

// Error information for the dual interfaces that list it only; a failing final construction
// destroys the object and returns its result.
TEST_F(ComObjectTest, ErrorInfoForListedDualInterfacesAndFailedConstruction)
{
    CComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(S_OK, comfw::CreateInstance<CTestMetrics>(IID_ISupportErrorInfo, errorInfo.put_void()));
    for (const IID* iid : {&IID_INimboGuestMetrics, &IID_INimboGATest, &IID_IDispatch, &IID_ISupportErrorInfo,
                           &IID_IUnknown, &IID_INimboGAConnection})
        EXPECT_EQ(iid == &IID_INimboGuestMetrics ? S_OK : S_FALSE, errorInfo->InterfaceSupportsErrorInfo(*iid));
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
