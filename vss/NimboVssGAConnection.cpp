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

namespace
{
// Hands out a child object: the object the child works on (engine or client) is made once, by
// the first call that finds the connection's slot empty, and then shared by every child of this
// connection until Disconnect. A null `out` is answered by the final query (E_POINTER), after
// the shared object exists.
template <class Object, class MakeObject, class MakeChild>
HRESULT HandOutChild(const CGAConnectionCore& core, CGuardedSlot<Object>& slot, MakeObject makeObject,
                     const wchar_t* childClass, MakeChild makeChild, REFIID iid, void** out) noexcept
{
    if (out)
        *out = nullptr;
    return util::ComBoundary(&core.GetCoclass(), IID_INimboGAConnection, [&]() -> HRESULT {
        if (!slot.Get())
        {
            const std::shared_ptr<CAdminShareConnection>& share = core.GetShareConnection();
            if (!share)
                throw CExc(MsgText(110), E_FAIL);
            slot.Set(makeObject(share));
        }
        try
        {
            return makeChild()->QueryInterface(iid, out);
        }
        catch (CExc& e)
        {
            e.AddMessage(123, childClass);
            throw;
        }
    });
}
}

HRESULT CNimboVssGAConnection::get_Installer(INimboGAInstaller** ppInstaller) noexcept
{
    return HandOutChild(
        m_core, *m_installerSlot,
        [&](const std::shared_ptr<CAdminShareConnection>& share) {
            return std::make_shared<install::CInstaller>(share, std::make_shared<CVssSpecificInstall>(), m_core.GetLog());
        },
        L"CNimboVssGAInstaller", [&] { return CreateNimboVssGAInstaller(m_installerSlot); }, IID_INimboGAInstaller,
        reinterpret_cast<void**>(ppInstaller));
}

// Making the client sends nothing to the guest: the first call of a control object does.
HRESULT CNimboVssGAConnection::get_Ctrl(IDispatch** ppCtrl) noexcept
{
    return HandOutChild(
        m_core, *m_rpcClientSlot,
        [&](const std::shared_ptr<CAdminShareConnection>& share) {
            return std::make_shared<CVssPluginRpcClient>(share, m_core.GetLog());
        },
        L"CNimboVssGACtrl", [&] { return CreateNimboVssGACtrl(m_rpcClientSlot, m_core.GetLog()); }, IID_IDispatch,
        reinterpret_cast<void**>(ppCtrl));
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
