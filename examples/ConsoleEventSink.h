#pragma once
// A client's sink for the console events: a small dispatch object that implements the outgoing
// interface INimboRemoteConsoleEvtDistrib and is connected to a NimboRemoteConsoleEvt object's
// connection point. The library calls it on the console's polling thread (and on the caller's
// thread for the Ready state), without marshalling, so the handlers must be safe to run on any
// thread. Needs only the generated header and GUIDs (NimboGuestAgentCtrl.h, _i.c).
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <functional>

#include "NimboGuestAgentCtrl.h"

class CConsoleEventSink final : public IDispatch
{
public:
    // A text handler gets the event's text (a null BSTR counts as empty text).
    using TextHandler = std::function<void(const wchar_t* text, UINT length)>;
    using StateHandler = std::function<void(ENimboRemoteConsoleChannelState state, const wchar_t* data)>;

    // Created with one reference, which the caller releases.
    CConsoleEventSink(TextHandler onOutput, TextHandler onError, StateHandler onState)
        : m_onOutput(std::move(onOutput)), m_onError(std::move(onError)), m_onState(std::move(onState))
    {
    }

    // Connects this sink to the connection point of `eventObject` (a NimboRemoteConsoleEvt).
    HRESULT Advise(IUnknown* eventObject, DWORD* cookie)
    {
        IConnectionPoint* point = nullptr;
        HRESULT hr = FindConnectionPoint(eventObject, &point);
        if (SUCCEEDED(hr))
        {
            hr = point->Advise(this, cookie);
            point->Release();
        }
        return hr;
    }

    // Disconnects the sink that `cookie` names from `eventObject`.
    static HRESULT Unadvise(IUnknown* eventObject, DWORD cookie)
    {
        IConnectionPoint* point = nullptr;
        HRESULT hr = FindConnectionPoint(eventObject, &point);
        if (SUCCEEDED(hr))
        {
            hr = point->Unadvise(cookie);
            point->Release();
        }
        return hr;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        const bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
                           IsEqualIID(iid, DIID_INimboRemoteConsoleEvtDistrib);
        *ppv = known ? static_cast<IDispatch*>(this) : nullptr;
        if (!known)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }

    // The event object calls Invoke only; names and type information are not needed.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

    // Arguments come last parameter first, as IDispatch::Invoke passes them.
    STDMETHODIMP Invoke(DISPID dispId, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (!params)
            return E_INVALIDARG;
        switch (dispId)
        {
        case 1:  // OnStdOutputEvt(bstrData)
        case 2:  // OnStdErrorEvt(bstrErrDescr)
        {
            if (params->cArgs != 1)
                return DISP_E_BADPARAMCOUNT;
            const VARIANT& text = params->rgvarg[0];
            if (V_VT(&text) != VT_BSTR)
                return DISP_E_TYPEMISMATCH;
            const TextHandler& handler = dispId == 1 ? m_onOutput : m_onError;
            if (handler)
                handler(V_BSTR(&text) ? V_BSTR(&text) : L"", SysStringLen(V_BSTR(&text)));
            return S_OK;
        }
        case 3:  // OnChannelStateChangedEvt(enChannelState, bstrOptionalData)
        {
            if (params->cArgs != 2)
                return DISP_E_BADPARAMCOUNT;
            VARIANT state;
            VariantInit(&state);
            if (FAILED(VariantChangeType(&state, &params->rgvarg[1], 0, VT_I4)) || V_VT(&params->rgvarg[0]) != VT_BSTR)
                return DISP_E_TYPEMISMATCH;
            const BSTR data = V_BSTR(&params->rgvarg[0]);
            if (m_onState)
                m_onState(static_cast<ENimboRemoteConsoleChannelState>(V_I4(&state)), data ? data : L"");
            return S_OK;
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

private:
    ~CConsoleEventSink() = default;

    static HRESULT FindConnectionPoint(IUnknown* eventObject, IConnectionPoint** point)
    {
        IConnectionPointContainer* container = nullptr;
        HRESULT hr = eventObject->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
        if (SUCCEEDED(hr))
        {
            hr = container->FindConnectionPoint(DIID_INimboRemoteConsoleEvtDistrib, point);
            container->Release();
        }
        return hr;
    }

    volatile LONG m_refs = 1;
    TextHandler m_onOutput, m_onError;
    StateHandler m_onState;
};
