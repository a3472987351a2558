#pragma once
// Instance creators of the three creatable classes, called by the module's class objects.
// Each clears nothing itself (the class object has cleared *ppv), creates the object, runs its
// final construction and queries it for `iid`; none lets an exception out.
#include <windows.h>
#include <unknwn.h>

namespace vss
{
// CNimboVssGAConnection, plain when `outer` is null, aggregated otherwise (the class object
// passes an outer object only together with IID_IUnknown).
HRESULT CreateNimboVssGAConnection(IUnknown* outer, REFIID iid, void** ppv) noexcept;
}

namespace rconsole::com
{
// CCoRcConnection (plain only: the class object refuses aggregation before calling).
HRESULT CreateRcConnection(REFIID iid, void** ppv) noexcept;

// CCoRcEvt (plain only, likewise).
HRESULT CreateRcEvt(REFIID iid, void** ppv) noexcept;
}
