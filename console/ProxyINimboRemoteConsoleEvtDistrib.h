#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <vector>

namespace rconsole::com
{
// The event-firing half of the console event object: the list of connected sinks of the
// outgoing dispatch interface and one fire operation per event.
//
// The list is a growable array whose slot position + 1 is the cookie a sink gets, so a
// cookie stays valid while other sinks come and go and a freed slot is reused first. The
// lock is held only while one slot is read or changed, never during a sink call: a sink
// may unadvise itself (or advise another) from inside an event, and other threads may
// advise while events are being fired.
class CProxyINimboRemoteConsoleEvtDistrib
{
public:
    // DISPIDs of the outgoing interface's members.
    static constexpr DISPID DispIdOnStdOutputEvt = 1;
    static constexpr DISPID DispIdOnStdErrorEvt = 2;
    static constexpr DISPID DispIdOnChannelStateChangedEvt = 3;

    CProxyINimboRemoteConsoleEvtDistrib() noexcept;
    ~CProxyINimboRemoteConsoleEvtDistrib();
    CProxyINimboRemoteConsoleEvtDistrib(const CProxyINimboRemoteConsoleEvtDistrib&) = delete;
    CProxyINimboRemoteConsoleEvtDistrib& operator=(const CProxyINimboRemoteConsoleEvtDistrib&) = delete;

    // Takes over one reference to the sink. Returns the cookie, or 0 when the list cannot
    // grow (the reference is then released).
    DWORD AddSink(IDispatch* sink) noexcept;

    // Removes the sink of the cookie and releases it after the lock is left.
    // CONNECT_E_NOCONNECTION when the cookie names no connected sink.
    HRESULT RemoveSink(DWORD cookie) noexcept;

    // The connected sinks with their cookies, each with one added reference that the
    // receiver releases. Throws std::bad_alloc.
    std::vector<CONNECTDATA> Connections() const;

    // Each fire operation calls every connected sink in slot order on the calling thread
    // and gives back the result of the last call (S_OK when none is connected).
    HRESULT Fire_OnStdOutputEvt(BSTR data) noexcept;
    HRESULT Fire_OnStdErrorEvt(BSTR errDescr) noexcept;
    HRESULT Fire_OnChannelStateChangedEvt(LONG state, BSTR optionalData) noexcept;

private:
    // args are in IDispatch::Invoke order: the last parameter first. Consumed (cleared).
    HRESULT Fire(DISPID dispId, VARIANT* args, UINT argCount) noexcept;
    IDispatch* SinkAt(size_t slot, bool& pastEnd) const noexcept;

    mutable CRITICAL_SECTION m_lock;
    std::vector<IDispatch*> m_sinks;
};
}
