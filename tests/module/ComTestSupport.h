#pragma once
// Small COM probes shared by the COM tests.
#include <windows.h>
#include <gtest/gtest.h>
#include <oaidl.h>
#include <unknwn.h>
#include <string>

#include "foundation/ComTypes.h"

namespace comtest
{
// A minimal aggregating object on the test's stack: it answers IUnknown itself and forwards
// every other request to the inner object's non-delegating IUnknown, if it has one.
class COuter : public IUnknown
{
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override
    {
        *ppv = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown))
            return inner ? inner->QueryInterface(iid, ppv) : E_NOINTERFACE;
        *ppv = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
    IUnknown* inner = nullptr;
};

inline ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// QueryInterface of each `refused` IID fails with E_NOINTERFACE and clears the out-pointer.
inline void ExpectRefused(IUnknown* object, std::initializer_list<const IID*> refused, const char* what = "")
{
    for (const IID* iid : refused)
    {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(*iid, &out)) << what;
        EXPECT_EQ(nullptr, out) << what;
    }
}

// The thread's error information, taken (and so cleared) as a plain record.
struct SErrorInfo
{
    bool present = false;
    std::wstring description, source, helpFile;
    DWORD helpContext = 0xFFFFFFFF;
    GUID guid = GUID_NULL;
};

inline SErrorInfo TakeErrorInfo()
{
    SErrorInfo result;
    util::CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info)
        return result;
    result.present = true;
    util::CBstr text;
    if (SUCCEEDED(info->GetDescription(text.put())))
        result.description = text.Text();
    if (SUCCEEDED(info->GetSource(text.put())))
        result.source = text.Text();
    if (SUCCEEDED(info->GetHelpFile(text.put())))
        result.helpFile = text.Text();
    info->GetHelpContext(&result.helpContext);
    info->GetGUID(&result.guid);
    return result;
}
}
