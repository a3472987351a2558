#include "console/RcConnection.h"

#include "console/CoRcCtrl.h"
#include "console/CoRcInstaller.h"
#include "console/RcConsoleChannel.h"
#include "console/RcInstallContext.h"
#include "foundation/ComBoundary.h"
#include "foundation/Exc.h"
#include "module/ClassMap.h"
#include "remote/AdminShareConnection.h"

namespace rconsole::com
{
CCoRcConnection::CCoRcConnection()
    : m_core(CLSID_NimboRemoteConsoleConnection), m_rpcClientSlot(std::make_shared<CRcRpcClientSlot>())
{
}

HRESULT CCoRcConnection::InitLogging(ENimboGuestAgentLogLevel enLogLevel, BSTR logPath) noexcept
{
    util::CCriticalSection::CHold hold(m_lock);
    return m_core.InitLogging(enLogLevel, logPath);
}

HRESULT CCoRcConnection::Connect(BSTR machineName, BSTR login, BSTR pwd) noexcept
{
    util::CCriticalSection::CHold hold(m_lock);
    return m_core.Connect(machineName, login, pwd);
}

const std::shared_ptr<CAdminShareConnection>& CCoRcConnection::ConnectedShare() const
{
    const std::shared_ptr<CAdminShareConnection>& share = m_core.GetShareConnection();
    if (!share)
        throw CExc(MsgText(110), E_FAIL);
    return share;
}

// The context is made by the first call after Connect and shared by every installer object
// until Disconnect. A null out-pointer is answered by the final query (E_POINTER), after the
// context exists.
HRESULT CCoRcConnection::get_Installer(INimboGAInstaller** ppInstaller) noexcept
{
    if (ppInstaller)
        *ppInstaller = nullptr;
    util::CCriticalSection::CHold hold(m_lock);
    return util::ComBoundary(&m_core.GetCoclass(), IID_INimboGAConnection, [&]() -> HRESULT {
        if (!m_installContext)
            m_installContext = std::make_shared<CRcInstallContext>(ConnectedShare(), m_rpcClientSlot, m_core.GetLog());
        return CreateRcInstaller(m_installContext)->QueryInterface(IID_INimboGAInstaller, reinterpret_cast<void**>(ppInstaller));
    });
}

// The channel is made by the first call after Connect and kept for the life of the object:
// control objects handed out before a Disconnect still work on it once a new Install has
// filled the client slot again.
HRESULT CCoRcConnection::get_Ctrl(IDispatch** ppCtrl) noexcept
{
    if (ppCtrl)
        *ppCtrl = nullptr;
    util::CCriticalSection::CHold hold(m_lock);
    return util::ComBoundary(&m_core.GetCoclass(), IID_INimboGAConnection, [&]() -> HRESULT {
        if (!m_consoleChannel)
            m_consoleChannel = std::make_shared<CRcConsoleChannel>(ConnectedShare()->GetHost(), m_rpcClientSlot, m_core.GetLog());
        util::CComPtr<INimboRemoteConsoleCtrl> ctrl;
        try
        {
            ctrl = CreateRcCtrl(m_consoleChannel);
        }
        catch (CExc& e)
        {
            e.AddMessage(123, L"CCoRcCtrl");
            throw;
        }
        return ctrl->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppCtrl));
    });
}

HRESULT CCoRcConnection::Disconnect() noexcept
{
    util::CCriticalSection::CHold hold(m_lock);
    m_core.ReleaseShareConnection();
    m_installContext.reset();
    // A client nobody else holds closes its console session here.
    m_rpcClientSlot->Set(nullptr);
    return S_OK;
}

HRESULT CreateRcConnection(REFIID iid, void** ppv) noexcept
{
    return comfw::CreateInstance<CCoRcConnection>(iid, ppv);
}
}
