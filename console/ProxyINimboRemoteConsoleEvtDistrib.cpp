#include "console/ProxyINimboRemoteConsoleEvtDistrib.h"
#include <oleauto.h>
#include <new>

namespace rconsole::com
{
namespace
{
class CSection
{
public:
    explicit CSection(CRITICAL_SECTION& cs) noexcept : m_cs(cs) { EnterCriticalSection(&m_cs); }
    ~CSection() { LeaveCriticalSection(&m_cs); }
    CSection(const CSection&) = delete;
    CSection& operator=(const CSection&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};

constexpr size_t FirstCapacity = 4;

// A sink gets its own copy of the text; a null BSTR stays a null BSTR.
void MakeBstrArg(VARIANT& arg, BSTR text) noexcept
{
    VariantInit(&arg);
    if (!text)
    {
        V_VT(&arg) = VT_BSTR;
        V_BSTR(&arg) = nullptr;
        return;
    }
    BSTR copy = SysAllocStringLen(text, SysStringLen(text));
    if (!copy)
    {
        V_VT(&arg) = VT_ERROR;
        V_ERROR(&arg) = E_OUTOFMEMORY;
        return;
    }
    V_VT(&arg) = VT_BSTR;
    V_BSTR(&arg) = copy;
}
}

CProxyINimboRemoteConsoleEvtDistrib::CProxyINimboRemoteConsoleEvtDistrib() noexcept
{
    InitializeCriticalSection(&m_lock);
}

CProxyINimboRemoteConsoleEvtDistrib::~CProxyINimboRemoteConsoleEvtDistrib()
{
    for (IDispatch* sink : m_sinks)
        if (sink)
            sink->Release();
    DeleteCriticalSection(&m_lock);
}

DWORD CProxyINimboRemoteConsoleEvtDistrib::AddSink(IDispatch* sink) noexcept
{
    {
        CSection section(m_lock);
        for (size_t i = 0; i < m_sinks.size(); ++i)
        {
            if (!m_sinks[i])
            {
                m_sinks[i] = sink;
                return static_cast<DWORD>(i + 1);
            }
        }
        const size_t used = m_sinks.size();
        const size_t capacity = used == 0 ? FirstCapacity : used * 2;
        if (capacity <= MAXDWORD - 1)
        {
            try
            {
                m_sinks.resize(capacity, nullptr);
                m_sinks[used] = sink;
                return static_cast<DWORD>(used + 1);
            }
            catch (const std::bad_alloc&)
            {
            }
        }
    }
    sink->Release();
    return 0;
}

HRESULT CProxyINimboRemoteConsoleEvtDistrib::RemoveSink(DWORD cookie) noexcept
{
    IDispatch* removed = nullptr;
    {
        CSection section(m_lock);
        if (cookie == 0 || cookie > m_sinks.size() || !m_sinks[cookie - 1])
            return CONNECT_E_NOCONNECTION;
        removed = m_sinks[cookie - 1];
        m_sinks[cookie - 1] = nullptr;
    }
    // A sink's last release may run arbitrary code, including calls back into this object.
    removed->Release();
    return S_OK;
}

std::vector<CONNECTDATA> CProxyINimboRemoteConsoleEvtDistrib::Connections() const
{
    std::vector<CONNECTDATA> result;
    CSection section(m_lock);
    result.reserve(m_sinks.size());
    for (size_t i = 0; i < m_sinks.size(); ++i)
    {
        if (!m_sinks[i])
            continue;
        m_sinks[i]->AddRef();
        result.push_back(CONNECTDATA{m_sinks[i], static_cast<DWORD>(i + 1)});
    }
    return result;
}

IDispatch* CProxyINimboRemoteConsoleEvtDistrib::SinkAt(size_t slot, bool& pastEnd) const noexcept
{
    CSection section(m_lock);
    pastEnd = slot >= m_sinks.size();
    if (pastEnd || !m_sinks[slot])
        return nullptr;
    m_sinks[slot]->AddRef();
    return m_sinks[slot];
}

HRESULT CProxyINimboRemoteConsoleEvtDistrib::Fire(DISPID dispId, VARIANT* args, UINT argCount) noexcept
{
    HRESULT last = S_OK;
    for (size_t slot = 0;; ++slot)
    {
        bool pastEnd = false;
        IDispatch* sink = SinkAt(slot, pastEnd);
        if (pastEnd)
            break;
        if (!sink)
            continue;
        // Every sink gets fresh copies: a sink may legally change or free what it is given.
        VARIANT callArgs[2];
        for (UINT i = 0; i < argCount; ++i)
        {
            if (V_VT(&args[i]) == VT_BSTR)
                MakeBstrArg(callArgs[i], V_BSTR(&args[i]));
            else
                callArgs[i] = args[i];
        }
        DISPPARAMS params = {callArgs, nullptr, argCount, 0};
        VARIANT result;
        VariantInit(&result);
        last = sink->Invoke(dispId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                            &result, nullptr, nullptr);
        VariantClear(&result);
        for (UINT i = 0; i < argCount; ++i)
            VariantClear(&callArgs[i]);
        sink->Release();
    }
    return last;
}

HRESULT CProxyINimboRemoteConsoleEvtDistrib::Fire_OnStdOutputEvt(BSTR data) noexcept
{
    VARIANT args[1];
    V_VT(&args[0]) = VT_BSTR;
    V_BSTR(&args[0]) = data;
    return Fire(DispIdOnStdOutputEvt, args, 1);
}

HRESULT CProxyINimboRemoteConsoleEvtDistrib::Fire_OnStdErrorEvt(BSTR errDescr) noexcept
{
    VARIANT args[1];
    V_VT(&args[0]) = VT_BSTR;
    V_BSTR(&args[0]) = errDescr;
    return Fire(DispIdOnStdErrorEvt, args, 1);
}

HRESULT CProxyINimboRemoteConsoleEvtDistrib::Fire_OnChannelStateChangedEvt(LONG state, BSTR optionalData) noexcept
{
    VARIANT args[2];
    V_VT(&args[0]) = VT_BSTR;
    V_BSTR(&args[0]) = optionalData;
    V_VT(&args[1]) = VT_I4;
    V_I4(&args[1]) = state;
    return Fire(DispIdOnChannelStateChangedEvt, args, 2);
}
}
