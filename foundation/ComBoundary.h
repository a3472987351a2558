#pragma once
// The one place where exceptions become COM results. Every COM method ends in it:
//
//   HRESULT STDMETHODCALLTYPE CCoX::Start(BSTR args)
//   {
//       return util::ComBoundary(&CLSID_X, IID_INimboX, [&]() -> HRESULT {
//           ...
//           return S_OK;
//       });
//   }
//
// Pass a null clsid for objects that are not registered classes (no source in the error
// information). Argument checks (E_INVALIDARG for a null out-pointer) return their code from
// the body directly: a failure returned that way carries no error information, and the
// boundary clears what an earlier call left on the thread, so a caller that asks for it cannot
// take a stale description for this failure. Checks made before the boundary return
// util::ArgumentError(code) for the same reason.

#include <windows.h>
#include <oleauto.h>
#include <new>
#include <string>
#include "foundation/Exc.h"

namespace util
{
// Makes a COM error object (description, GUID = iid, source = ProgID of *clsid or none, no
// help file, help context 0) the thread's error object. Returns hr, so a caller can write
// `return SetComErrorInfo(...)`.
HRESULT SetComErrorInfo(const CLSID* clsid, REFIID iid, const std::wstring& description, HRESULT hr) noexcept;

namespace detail
{
HRESULT ReportExc(const CLSID* clsid, REFIID iid, const CExc& e) noexcept;
HRESULT ReportOutOfMemory() noexcept;
HRESULT ReportUnexpected(const CLSID* clsid, REFIID iid) noexcept;
}

// A failure code for an argument check made before any work, with the thread's error
// information cleared (see above).
inline HRESULT ArgumentError(HRESULT hr) noexcept
{
    SetErrorInfo(0, nullptr);
    return hr;
}

// Runs body() and returns its HRESULT. A CExc becomes error information and its HRESULT
// (E_FAIL if the exception carries a success code: a failure must never read as success);
// std::bad_alloc becomes E_OUTOFMEMORY; anything else becomes E_UNEXPECTED with a description
// saying that an internal error happened. Nothing is thrown past this point.
template <class Body>
HRESULT ComBoundary(const CLSID* clsid, REFIID iid, Body&& body) noexcept
{
    try
    {
        const HRESULT hr = body();
        return FAILED(hr) ? ArgumentError(hr) : hr;
    }
    catch (const CExc& e)
    {
        return detail::ReportExc(clsid, iid, e);
    }
    catch (const std::bad_alloc&)
    {
        return detail::ReportOutOfMemory();
    }
    catch (...)
    {
        return detail::ReportUnexpected(clsid, iid);
    }
}
}
