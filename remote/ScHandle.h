#pragma once
// Owner of a service control handle (of a manager or of a service). It is closed through the
// platform seam, because a handle of a simulated guest is not a handle of this machine's
// service control manager. Always held through a shared pointer: a service keeps the handle
// of the manager that opened it alive.

#include <windows.h>
#include <memory>

#include "foundation/Handle.h"
#include "remote/PlatformSeam.h"

namespace remote
{
namespace detail
{
inline void CloseScHandle(SC_HANDLE handle) noexcept
{
    Platform().CloseServiceHandle(handle);
}
}

using CScHandle = util::CUniqueAny<SC_HANDLE, &detail::CloseScHandle>;
using CScHandlePtr = std::shared_ptr<CScHandle>;
}
