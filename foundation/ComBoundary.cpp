#include "foundation/ComBoundary.h"

#include "foundation/ComTypes.h"

namespace util
{
namespace
{
// The only sentence that is not gathered from the failing layers: a fault that is not part of
// the error family (a bug) must still reach the caller as a failure they can report.
const wchar_t kInternalError[] =
    L"An internal error occurred inside NimboGuestAgentCtrl. The operation was not completed.";
}

HRESULT SetComErrorInfo(const CLSID* clsid, REFIID iid, const std::wstring& description, HRESULT hr) noexcept
{
    CComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put())))
        return hr;
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    create->SetGUID(iid);
    LPOLESTR progId = nullptr;
    if (clsid && SUCCEEDED(ProgIDFromCLSID(*clsid, &progId)) && progId)
    {
        create->SetSource(progId);
        CoTaskMemFree(progId);
    }
    create->SetHelpFile(nullptr);
    create->SetHelpContext(0);
    CComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.QueryInterface(IID_IErrorInfo, info)))
        SetErrorInfo(0, info.get());
    return hr;
}

namespace detail
{
HRESULT ReportExc(const CLSID* clsid, REFIID iid, const CExc& e) noexcept
{
    // An exception can carry a success code (a Win32 error built from code 0, an MSXML call
    // that answered S_FALSE); returned as it is, the caller would take the failure for success.
    HRESULT hr = FAILED(e.GetHResult()) ? e.GetHResult() : E_FAIL;
    try
    {
        return SetComErrorInfo(clsid, iid, e.GetFullText(), hr);
    }
    catch (...)
    {
        // No memory for the text: still no stale error object from an earlier call.
        SetErrorInfo(0, nullptr);
        return hr;
    }
}

HRESULT ReportOutOfMemory() noexcept
{
    SetErrorInfo(0, nullptr);
    return E_OUTOFMEMORY;
}

HRESULT ReportUnexpected(const CLSID* clsid, REFIID iid) noexcept
{
    try
    {
        return SetComErrorInfo(clsid, iid, kInternalError, E_UNEXPECTED);
    }
    catch (...)
    {
        SetErrorInfo(0, nullptr);
        return E_UNEXPECTED;
    }
}
}
}
