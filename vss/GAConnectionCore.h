#pragma once
#include <windows.h>
#include <oleauto.h>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "foundation/ComBoundary.h"
#include "foundation/Log.h"

class CAdminShareConnection;

namespace vss
{
// What the VSS and the remote console connection objects have in common: the connection's own
// log and its administrative share connection, with the InitLogging and Connect members of
// INimboGAConnection. Each member returns the HRESULT that the COM member returns, with error
// information whose source is the owning class's ProgID.
class CGAConnectionCore
{
public:
    // `coclass` names the owning class in error information; it must outlive the core.
    explicit CGAConnectionCore(const CLSID& coclass);

    CGAConnectionCore(const CGAConnectionCore&) = delete;
    CGAConnectionCore& operator=(const CGAConnectionCore&) = delete;

    HRESULT InitLogging(ENimboGuestAgentLogLevel level, BSTR logPath) noexcept;
    HRESULT Connect(BSTR machineName, BSTR login, BSTR pwd) noexcept;

    // The share connection goes away once no engine or client holds it any more.
    void ReleaseShareConnection() noexcept { m_shareConnection.reset(); }

    const std::shared_ptr<util::CLog>& GetLog() const noexcept { return m_log; }
    // Empty unless connected.
    const std::shared_ptr<CAdminShareConnection>& GetShareConnection() const noexcept { return m_shareConnection; }
    const CLSID& GetCoclass() const noexcept { return m_coclass; }

    // For child-handing members that are not available yet: validates and clears the
    // out-pointer like a real member would, then answers E_NOTIMPL.
    template <class T>
    static HRESULT ChildNotAvailable(T** child) noexcept
    {
        if (!child)
            return util::ArgumentError(E_INVALIDARG);
        *child = nullptr;
        return util::ArgumentError(E_NOTIMPL);
    }

private:
    const CLSID& m_coclass;
    std::shared_ptr<util::CLog> m_log;
    std::shared_ptr<CAdminShareConnection> m_shareConnection;
};
}
