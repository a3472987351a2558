#pragma once
// The console control object that INimboGAConnection::Ctrl hands out on the remote console
// side. Every control object of one connection works on the connection's one console channel,
// so a console started through one of them counts as started for all.
#include <windows.h>
#include <oaidl.h>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "module/ComObject.h"

namespace rconsole
{
class CRcConsoleChannel;
}

namespace rconsole::com
{
// Counted atomically: it is handed out by a connection registered "Both", which a caller may use
// from several threads.
class CCoRcCtrl
    : public comfw::CComObjectRoot<comfw::CMultiThreadModel, INimboRemoteConsoleCtrl, ISupportErrorInfo>
{
public:
    // A null argument string starts the console without arguments; a null PID pointer drops
    // the id.
    STDMETHODIMP Start(BSTR bstrNonDefaultCmdLineArgs, INT* pRemoteProcessPID) noexcept override;
    STDMETHODIMP Send(BSTR msg) noexcept override;
    // Only before Start.
    STDMETHODIMP put_EvtSubscription(INimboRemoteConsoleEvt* newVal) noexcept override;

private:
    friend util::CComPtr<INimboRemoteConsoleCtrl> CreateRcCtrl(std::shared_ptr<CRcConsoleChannel>);

    std::shared_ptr<CRcConsoleChannel> m_consoleChannel;
};

// Makes a control object over `channel`; a failure raises a CComExc with the creation's HRESULT.
util::CComPtr<INimboRemoteConsoleCtrl> CreateRcCtrl(std::shared_ptr<CRcConsoleChannel> channel);
}
