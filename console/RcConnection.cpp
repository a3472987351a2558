#include "console/RcConnection.h"

#include "console/CoRcInstaller.h"
#include "console/RcInstallContext.h"
#include "foundation/ComBoundary.h"
#include "foundation/Exc.h"
#include "module/ClassMap.h"

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
        {
            const std::shared_ptr<CAdminShareConnection>& share = m_core.GetShareConnection();
            if (!share)
                throw CExc(MsgText(110), E_FAIL);
            m_installContext = std::make_shared<CRcInstallContext>(share, m_rpcClientSlot, m_core.GetLog());
        }
        return CreateRcInstaller(m_installContext)->QueryInterface(IID_INimboGAInstaller,
                                                                   reinterpret_cast<void**>(ppInstaller));
    });
}

// The console control object is not part of this build yet.
HRESULT CCoRcConnection::get_Ctrl(IDispatch** ppCtrl) noexcept
{
    return vss::CGAConnectionCore::ChildNotAvailable(ppCtrl);
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
