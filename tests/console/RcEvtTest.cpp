// The console event object as a subscriber sees it: the connection point, cookies, and the
// events delivered to connected dispatch sinks, also while sinks come and go from inside an
// event or from other threads.
#include <gtest/gtest.h>

#include <olectl.h>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "module/ClassMap.h"

namespace
{
using util::CBstr;
using util::CComPtr;

struct SReceived
{
    DISPID dispId = 0;
    IID iid = GUID_NULL;
    LCID lcid = 0;
    WORD flags = 0;
    UINT namedArgs = 0;
    bool resultGiven = false;
    std::vector<VARTYPE> types;  // in Invoke order: the last parameter first
    std::vector<BSTR> texts;     // BSTR arguments as received, in the same order
    std::vector<std::wstring> copies;
    LONG state = 0;
};

// A dispatch sink on the test's stack that records every Invoke. It answers the outgoing
// interface unless told not to, and can run a hook inside Invoke.
class CTestSink final : public IDispatch
{
public:
    explicit CTestSink(bool implementsEvents = true, HRESULT invokeResult = S_OK)
        : m_implementsEvents(implementsEvents), m_invokeResult(invokeResult)
    {
    }
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override
    {
        const bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
                           (m_implementsEvents && IsEqualIID(iid, DIID_INimboRemoteConsoleEvtDistrib));
        *ppv = known ? static_cast<IDispatch*>(this) : nullptr;
        return known ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_refs; }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID dispId, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO*, UINT*) override
    {
        SReceived r{dispId, iid, lcid, flags, params->cNamedArgs, result != nullptr};
        for (UINT i = 0; i < params->cArgs; ++i)
        {
            const VARIANT& v = params->rgvarg[i];
            r.types.push_back(V_VT(&v));
            if (V_VT(&v) == VT_BSTR)
                r.texts.push_back(V_BSTR(&v)), r.copies.push_back(CBstr::ToText(V_BSTR(&v)));
            if (V_VT(&v) == VT_I4)
                r.state = V_I4(&v);
        }
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_received.push_back(r);
        }
        if (m_hook)
            m_hook();
        return m_invokeResult;
    }

    ULONG Refs() const { return m_refs; }
    std::vector<SReceived> Received()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_received;
    }
    size_t Count() { return Received().size(); }
    void SetHook(std::function<void()> hook) { m_hook = std::move(hook); }

private:
    std::atomic<ULONG> m_refs{1};
    bool m_implementsEvents;
    HRESULT m_invokeResult;
    std::mutex m_mutex;
    std::vector<SReceived> m_received;
    std::function<void()> m_hook;
};

// Global call order across all sinks of one test.
std::vector<int>* g_order = nullptr;

class RcEvt : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(S_OK, rconsole::com::CreateRcEvt(IID_INimboRemoteConsoleEvt, evt.put_void()));
        CComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, evt.QueryInterface(IID_IConnectionPointContainer, container));
        ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID_INimboRemoteConsoleEvtDistrib, point.put()));
    }
    void TearDown() override
    {
        point.reset();
        evt.reset();
        CoUninitialize();
    }

    // Sinks live in the fixture, so a failed check that leaves a sink connected cannot make
    // the event object call into a destroyed sink when it is released.
    CTestSink& NewSink(bool implementsEvents = true, HRESULT invokeResult = S_OK)
    {
        return sinks.emplace_back(implementsEvents, invokeResult);
    }

    DWORD Advise(CTestSink& sink)
    {
        DWORD cookie = 0xDEAD;
        EXPECT_EQ(S_OK, point->Advise(&sink, &cookie));
        return cookie;
    }

    std::deque<CTestSink> sinks;
    CComPtr<INimboRemoteConsoleEvt> evt;
    CComPtr<IConnectionPoint> point;
};

struct SFireCase
{
    const char* name;
    std::function<HRESULT(INimboRemoteConsoleEvt*, BSTR)> fire;
    DISPID dispId;
    std::vector<VARTYPE> types;  // Invoke order
    LONG state;
};

TEST_F(RcEvt, EachEventReachesSinksWithItsDispIdAndArguments)
{
    const std::vector<SFireCase> cases = {
        {"OnStdOutput", [](INimboRemoteConsoleEvt* e, BSTR b) { return e->OnStdOutput(b); }, 1, {VT_BSTR}, 0},
        {"OnStdError", [](INimboRemoteConsoleEvt* e, BSTR b) { return e->OnStdError(b); }, 2, {VT_BSTR}, 0},
        {"OnChannelStateChanged(Error)",
         [](INimboRemoteConsoleEvt* e, BSTR b) { return e->OnChannelStateChanged(ENimboRemoteConsoleError, b); },
         3, {VT_BSTR, VT_I4}, 2},
        {"OnChannelStateChanged(Closed)",
         [](INimboRemoteConsoleEvt* e, BSTR b) { return e->OnChannelStateChanged(ENimboRemoteConsoleClosed, b); },
         3, {VT_BSTR, VT_I4}, 3},
    };
    for (const SFireCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (bool nullText : {false, true})
        {
            CTestSink& sink = NewSink();
            DWORD cookie = Advise(sink);
            CBstr text(std::wstring(L"line one\r\nline\0two", 18));
            ASSERT_EQ(S_OK, c.fire(evt.get(), nullText ? nullptr : text.get()));
            ASSERT_EQ(S_OK, point->Unadvise(cookie));

            auto got = sink.Received();
            ASSERT_EQ(1u, got.size());
            const SReceived& r = got[0];
            EXPECT_EQ(c.dispId, r.dispId);
            EXPECT_TRUE(IsEqualIID(IID_NULL, r.iid));
            EXPECT_EQ(static_cast<LCID>(LOCALE_USER_DEFAULT), r.lcid);
            EXPECT_EQ(DISPATCH_METHOD, r.flags);
            EXPECT_EQ(0u, r.namedArgs);
            EXPECT_TRUE(r.resultGiven);
            EXPECT_EQ(c.types, r.types);
            ASSERT_EQ(1u, r.texts.size());
            if (nullText)
                EXPECT_EQ(nullptr, r.texts[0]) << "a null text stays a null BSTR";
            else
                EXPECT_NE(text.get(), r.texts[0]) << "sinks get a copy";
            EXPECT_EQ(nullText ? L"" : text.Text(), r.copies[0]) << "the whole text, embedded zero included";
            EXPECT_EQ(c.state, r.state);
        }
    }
}

TEST_F(RcEvt, SinksAreCalledInSlotOrderAndAFailingSinkDoesNotStopTheOthers)
{
    std::vector<int> order;
    g_order = &order;
    CTestSink& first = NewSink(true, E_FAIL);
    CTestSink& second = NewSink(true, DISP_E_MEMBERNOTFOUND);
    CTestSink& third = NewSink();
    first.SetHook([] { g_order->push_back(1); });
    second.SetHook([] { g_order->push_back(2); });
    third.SetHook([] { g_order->push_back(3); });
    DWORD c1 = Advise(first);
    Advise(second);
    EXPECT_EQ(S_OK, evt->OnStdOutput(nullptr));
    EXPECT_EQ((std::vector<int>{1, 2}), order);

    // The third sink takes the first sink's freed slot and cookie, so it is called first.
    ASSERT_EQ(S_OK, point->Unadvise(c1));
    EXPECT_EQ(c1, Advise(third));
    order.clear();
    EXPECT_EQ(S_OK, evt->OnStdError(nullptr));
    EXPECT_EQ((std::vector<int>{3, 2}), order);
    g_order = nullptr;
}

TEST_F(RcEvt, SinkMayUnadviseFromInsideAnEvent)
{
    CTestSink& self = NewSink();
    CTestSink& later = NewSink();
    CTestSink& other = NewSink();
    DWORD selfCookie = Advise(self);
    DWORD laterCookie = Advise(later);
    Advise(other);
    // The first sink removes itself and the sink after it while being called.
    IConnectionPoint* cp = point.get();
    self.SetHook([&] {
        EXPECT_EQ(S_OK, cp->Unadvise(selfCookie));
        EXPECT_EQ(S_OK, cp->Unadvise(laterCookie));
    });
    EXPECT_EQ(S_OK, evt->OnStdOutput(nullptr));
    EXPECT_EQ(1u, self.Count());
    EXPECT_EQ(0u, later.Count()) << "a sink removed during the event is not called afterwards";
    EXPECT_EQ(1u, other.Count());
    EXPECT_EQ(1u, self.Refs());

    EXPECT_EQ(S_OK, evt->OnStdOutput(nullptr));
    EXPECT_EQ(1u, self.Count());
    EXPECT_EQ(2u, other.Count());
}

TEST_F(RcEvt, ConcurrentAdviseWhileFiring)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25;
    for (int i = 0; i < kThreads * kPerThread; ++i)
        NewSink();
    std::vector<DWORD> cookies(sinks.size(), 0);
    std::atomic<bool> stop{false};

    std::thread firer([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        while (!stop)
            evt->OnStdOutput(nullptr);
        CoUninitialize();
    });
    std::vector<std::thread> advisers;
    for (int t = 0; t < kThreads; ++t)
    {
        advisers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
            {
                const size_t k = static_cast<size_t>(t * kPerThread + i);
                EXPECT_EQ(S_OK, point->Advise(&sinks[k], &cookies[k]));
            }
        });
    }
    for (auto& a : advisers)
        a.join();
    stop = true;
    firer.join();

    std::vector<bool> seen(sinks.size() + 1, false);
    for (DWORD c : cookies)
    {
        ASSERT_GE(c, 1u);
        ASSERT_LE(c, sinks.size()) << "cookies fill the slots without gaps";
        EXPECT_FALSE(seen[c]) << "cookie " << c << " handed out twice";
        seen[c] = true;
    }
    std::vector<size_t> before;
    for (auto& s : sinks)
        before.push_back(s.Count());
    EXPECT_EQ(S_OK, evt->OnStdError(nullptr));
    for (size_t k = 0; k < sinks.size(); ++k)
        EXPECT_EQ(before[k] + 1, sinks[k].Count()) << "sink " << k;
    for (DWORD c : cookies)
        EXPECT_EQ(S_OK, point->Unadvise(c));
    for (auto& s : sinks)
        EXPECT_EQ(1u, s.Refs());
}

}
