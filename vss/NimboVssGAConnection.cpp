#include "vss/NimboVssGAConnection.h"

#include "deploy/Installer.h"
#include "foundation/ComBoundary.h"
#include "foundation/Exc.h"
#include "module/ClassMap.h"
#include "vss/NimboVssGAInstaller.h"
#include "vss/VssPluginRpcClient.h"
#include "vss/VssInstallPolicy.h"

namespace vss
{
CNimboVssGAConnection::CNimboVssGAConnection()
    : m_core(CLSID_NimboVssGAConnection),
      m_rpcClientSlot(std::make_shared<CVssRpcClientSlot>()),
      m_installerSlot(std::make_shared<CInstallerSlot>())
{
}

HRESULT CNimboVssGAConnection::InitLogging(ENimboGuestAgentLogLevel enLogLevel, BSTR logPath) noexcept
{
    return m_core.InitLogging(enLogLevel, logPath);
}

HRESULT CNimboVssGAConnection::Connect(BSTR machineName, BSTR login, BSTR pwd) noexcept
{
    return m_core.Connect(machineName, login, pwd);
}

// The engine is made once, by the first call that finds the slot empty, and then shared by
// every installer object of this connection until Disconnect.
HRESULT CNimboVssGAConnection::get_Installer(INimboGAInstaller** ppInstaller) noexcept
{
    if (ppInstaller)
        *ppInstaller = nullptr;
    return util::ComBoundary(&m_core.GetCoclass(), IID_INimboGAConnection, [&]() -> HRESULT {
        if (!m_installerSlot->Get())
        {
            const std::shared_ptr<CAdminShareConnection>& share = m_core.GetShareConnection();
            if (!share)
                throw CExc(MsgText(110), E_FAIL);
            m_installerSlot->Set(std::make_shared<install::CInstaller>(
                share, std::make_shared<CVssSpecificInstall>(), m_core.GetLog()));
        }
        util::CComPtr<INimboGAInstaller> installer;
        try
        {
            installer = CreateNimboVssGAInstaller(m_installerSlot);
        }
        catch (CExc& e)
        {
            e.AddMessage(123, L"CNimboVssGAInstaller");
            throw;
        }
        // A null ppInstaller is answered by this query (E_POINTER), after the engine exists.
        return installer->QueryInterface(IID_INimboGAInstaller, reinterpret_cast<void**>(ppInstaller));
    });
}

// The client is made once, by the first call that finds the slot empty (no traffic yet), and
// then shared by every control object of this connection until Disconnect.
HRESULT CNimboVssGAConnection::get_Ctrl(IDispatch** ppCtrl) noexcept
{
    if (ppCtrl)
        *ppCtrl = nullptr;
    return util::ComBoundary(&m_core.GetCoclass(), IID_INimboGAConnection, [&]() -> HRESULT {
        if (!m_rpcClientSlot->Get())
        {
            const std::shared_ptr<CAdminShareConnection>& share = m_core.GetShareConnection();
            if (!share)
                throw CExc(MsgText(110), E_FAIL);
            m_rpcClientSlot->Set(std::make_shared<CVssPluginRpcClient>(share, m_core.GetLog()));
        }
        util::CComPtr<INimboVssGACtrl> ctrl;
        try
        {
            ctrl = CreateNimboVssGACtrl(m_rpcClientSlot, m_core.GetLog());
        }
        catch (CExc& e)
        {
            e.AddMessage(123, L"CNimboVssGACtrl");
            throw;
        }
        // A null ppCtrl is answered by this query (E_POINTER), after the client exists.
        return ctrl->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppCtrl));
    });
}

HRESULT CNimboVssGAConnection::Disconnect() noexcept
{
    // Children keep their slots; emptying them here is what cuts every child off at once.
    m_installerSlot->Set(nullptr);
    m_rpcClientSlot->Set(nullptr);
    m_core.ReleaseShareConnection();
    return S_OK;
}

HRESULT CreateNimboVssGAConnection(IUnknown* outer, REFIID iid, void** ppv) noexcept
{
    return comfw::CreateAggregatable<CNimboVssGAConnection>(outer, iid, ppv);
}
}
