#include "vss/GAConnectionCore.h"

#include <string>

#include "foundation/ComBoundary.h"
#include "foundation/ComTypes.h"
#include "remote/AdminShareConnection.h"

namespace vss
{
CGAConnectionCore::CGAConnectionCore(const CLSID& coclass)
    : m_coclass(coclass), m_log(std::make_shared<util::CLog>())
{
}

HRESULT CGAConnectionCore::InitLogging(ENimboGuestAgentLogLevel level, BSTR logPath) noexcept
{
    if (!logPath)
        return util::ArgumentError(E_INVALIDARG);
    return util::ComBoundary(&m_coclass, IID_INimboGAConnection, [&]() -> HRESULT {
        util::InitLogging(*m_log, static_cast<int>(level), util::CBstr::ToText(logPath));
        return S_OK;
    });
}

HRESULT CGAConnectionCore::Connect(BSTR machineName, BSTR login, BSTR pwd) noexcept
{
    if (!machineName)
        return util::ArgumentError(E_INVALIDARG);
    return util::ComBoundary(&m_coclass, IID_INimboGAConnection, [&]() -> HRESULT {
        // A null login or password reaches the share connection as an empty string.
        const std::wstring machine = util::CBstr::ToText(machineName);
        const std::wstring account = util::CBstr::ToText(login);
        const std::wstring password = util::CBstr::ToText(pwd);
        try
        {
            util::CInfoScope scope(*m_log, 115, machine, account);
            // The old connection goes first, so a failed reconnect never leaves it in place.
            m_shareConnection.reset();
            const std::wstring shareName = L"\\\\" + machine + L"\\ADMIN$";
            m_shareConnection = std::make_shared<CAdminShareConnection>(shareName, account, password, m_log);
            scope.Ok();
        }
        catch (CExc& e)
        {
            m_log->Error(e, 101, machine, account);
            e.AddMessage(101, machine, account);
            throw;
        }
        return S_OK;
    });
}
}
