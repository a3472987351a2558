#pragma once
// What INimboGAConnection::Installer hands out on the VSS side: collects the guest's metrics,
// installs, queries, starts and removes the VSS agent. Every member works on the one engine in
// the connection's installer slot, so all installer objects of a connection share it, and
// Disconnect (which empties the slot) cuts all of them off at once.
#include <windows.h>
#include <oaidl.h>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "module/ComObject.h"
#include "vss/NimboVssGAConnection.h"

namespace vss
{
class CNimboVssGAInstaller
    : public comfw::CComObjectRoot<comfw::CSingleThreadModel, INimboGAInstaller, ISupportErrorInfo>
{
public:
    STDMETHODIMP CollectGuestMetrics(INimboGuestMetrics** ppGuestMetrics) noexcept override;
    STDMETHODIMP Install() noexcept override;
    STDMETHODIMP Uninstall() noexcept override;
    STDMETHODIMP GetGateState(ENimboGuestAgentState* penVssSvcState) noexcept override;
    STDMETHODIMP RunGate() noexcept override;
    STDMETHODIMP get_PluginSpecificInfo(IDispatch** ppPluginSpecific) noexcept override;

private:
    friend util::CComPtr<INimboGAInstaller> CreateNimboVssGAInstaller(std::shared_ptr<CInstallerSlot>);

    // The engine for the duration of one member; raises message 238 when the slot is empty.
    std::shared_ptr<install::CInstaller> Engine() const;

    std::shared_ptr<CInstallerSlot> m_installerSlot;
};

// Makes an installer object on `installerSlot`. A failure raises a CComExc with the creation's
// HRESULT.
util::CComPtr<INimboGAInstaller> CreateNimboVssGAInstaller(std::shared_ptr<CInstallerSlot> installerSlot);
}
