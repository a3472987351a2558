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

// A dispatch sink on the test's stack that records every Invoke as one line of text. It
// answers the outgoing interface and can run a hook inside Invoke.
class CTestSink final : public IDispatch
{
public:
    explicit CTestSink(HRESULT invokeResult = S_OK) : m_invokeResult(invokeResult) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override
    {
        const bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
                           IsEqualIID(iid, DIID_INimboRemoteConsoleEvtDistrib);
        *ppv = known ? static_cast<IDispatch*>(this) : nullptr;
        return known ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_refs; }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    // "<dispid> <lcid> <flags> <named> <result given> <argument>...", last parameter first: a
    // text as "[text]" (its own copy) or "null", a number as "i4:<value>".
    STDMETHODIMP Invoke(DISPID dispId, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO*, UINT*) override
    {
        std::wstring line = std::to_wstring(dispId) + (IsEqualIID(iid, IID_NULL) ? L"" : L" iid!") + L" " +
                            std::to_wstring(lcid) + L" " + std::to_wstring(flags) + L" " +
                            std::to_wstring(params->cNamedArgs) + L" " + std::to_wstring(result != nullptr);
        for (UINT i = 0; i < params->cArgs; ++i)
        {
            const VARIANT& v = params->rgvarg[i];
            if (V_VT(&v) == VT_BSTR)
                line += V_BSTR(&v) ? (V_BSTR(&v) == sent ? L" [not a copy]" : L" [" + CBstr::ToText(V_BSTR(&v)) + L"]") : L" null";
            else
                line += V_VT(&v) == VT_I4 ? L" i4:" + std::to_wstring(V_I4(&v)) : L" vt:" + std::to_wstring(V_VT(&v));
        }
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_received.push_back(line);
        }
        if (hook)
            hook();
        return m_invokeResult;
    }

    ULONG Refs() const { return m_refs; }
    std::vector<std::wstring> Received() { std::lock_guard<std::mutex> lock(m_mutex); return m_received; }
    size_t Count() { return Received().size(); }

    std::function<void()> hook;
    BSTR sent = nullptr;  // the caller's text, which a sink must never be handed

private:
    std::atomic<ULONG> m_refs{1};
    HRESULT m_invokeResult;
    std::mutex m_mutex;
    std::vector<std::wstring> m_received;
};

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
    CTestSink& NewSink(HRESULT invokeResult = S_OK) { return sinks.emplace_back(invokeResult); }
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

// Each event reaches a sink as a method call with its DISPID, no IID, the user's locale, no
// named arguments and a result to fill, and a copy of the whole text (embedded zero included);
// a null text stays null.
TEST_F(RcEvt, EachEventReachesSinksWithItsDispIdAndArguments)
{
    const std::wstring head = L" " + std::to_wstring(LOCALE_USER_DEFAULT) + L" 1 0 1";
    const struct { std::function<HRESULT(INimboRemoteConsoleEvt*, BSTR)> fire; std::wstring call; } cases[] = {
        {[](INimboRemoteConsoleEvt* e, BSTR b) { return e->OnStdOutput(b); }, L"1" + head},
        {[](INimboRemoteConsoleEvt* e, BSTR b) { return e->OnStdError(b); }, L"2" + head},
        {[](INimboRemoteConsoleEvt* e, BSTR b) { return e->OnChannelStateChanged(ENimboRemoteConsoleError, b); }, L"3" + head},
        {[](INimboRemoteConsoleEvt* e, BSTR b) { return e->OnChannelStateChanged(ENimboRemoteConsoleClosed, b); }, L"3" + head},
    };
    for (size_t k = 0; k < std::size(cases); ++k)
    {
        const std::wstring state = k < 2 ? L"" : k == 2 ? L" i4:2" : L" i4:3";
        for (bool nullText : {false, true})
        {
            CTestSink& sink = NewSink();
            const DWORD cookie = Advise(sink);
            CBstr text(std::wstring(L"line one\r\nline\0two", 18));
            sink.sent = text.get();
            ASSERT_EQ(S_OK, cases[k].fire(evt.get(), nullText ? nullptr : text.get()));
            ASSERT_EQ(S_OK, point->Unadvise(cookie));
            EXPECT_EQ(std::vector<std::wstring>{cases[k].call + (nullText ? L" null" : L" [" + text.Text() + L"]") + state},
                      sink.Received());
        }
    }
}

// Sinks are called in slot order and a failing sink does not stop the others; a sink may
// unadvise itself and others from inside an event, and a removed sink is not called again.
TEST_F(RcEvt, SinksAreCalledInSlotOrderAndMayUnadviseFromInsideAnEvent)
{
    std::vector<int> order;
    CTestSink* sink[] = {&NewSink(E_FAIL), &NewSink(DISP_E_MEMBERNOTFOUND), &NewSink(), &NewSink()};
    for (int i = 0; i < 4; ++i)
        sink[i]->hook = [&order, i] { order.push_back(i + 1); };
    DWORD cookie[4] = {Advise(*sink[0]), Advise(*sink[1])};
    EXPECT_EQ(S_OK, evt->OnStdOutput(nullptr));
    EXPECT_EQ((std::vector<int>{1, 2}), order);

    // The third sink takes the first sink's freed slot and cookie, so it is called first.
    ASSERT_EQ(S_OK, point->Unadvise(cookie[0]));
    EXPECT_EQ(cookie[0], cookie[2] = Advise(*sink[2]));
    cookie[3] = Advise(*sink[3]);
    IConnectionPoint* cp = point.get();
    sink[2]->hook = [&] {
        order.push_back(3);
        EXPECT_EQ(S_OK, cp->Unadvise(cookie[2]));
        EXPECT_EQ(S_OK, cp->Unadvise(cookie[1]));
    };
    order.clear();
    for (int round = 1; round <= 2; ++round)
        EXPECT_EQ(S_OK, evt->OnStdError(nullptr));
    EXPECT_EQ((std::vector<int>{3, 4, 4}), order) << "the second sink, removed during the event, is not called";
    EXPECT_EQ(1u, sink[2]->Refs());
    EXPECT_EQ(1u, sink[1]->Refs());
}

TEST_F(RcEvt, ConcurrentAdviseWhileFiring)
{
    constexpr int kThreads = 4, kPerThread = 25;
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
        advisers.emplace_back([&, t] {
            for (size_t k = t * kPerThread; k < static_cast<size_t>((t + 1) * kPerThread); ++k)
                EXPECT_EQ(S_OK, point->Advise(&sinks[k], &cookies[k]));
        });
    for (auto& a : advisers)
        a.join();
    stop = true;
    firer.join();

    std::vector<bool> seen(sinks.size() + 1, false);
    for (DWORD c : cookies)
    {
        ASSERT_TRUE(c >= 1 && c <= sinks.size()) << "cookies fill the slots without gaps: " << c;
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
