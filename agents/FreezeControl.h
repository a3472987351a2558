#pragma once
// The freeze state machine of the VSS support plugin, behind its RPC procedures:
//
//   none --Freeze--> preparing --backend froze--> frozen --Unfreeze--> none
//                              \--backend failed--> error (description, HRESULT)
//   frozen --no Unfreeze within the backend's limit--> error (the freeze ended by itself)
//
// A Freeze while preparing or frozen is refused; Unfreeze always ends in none, after the
// volumes are thawed. The backend runs on a worker thread of its own, so Freeze returns at
// once and the caller watches the state. Calls may come from any number of RPC threads.

#include <windows.h>
#include <functional>
#include <memory>
#include <string>

#include "foundation/Handle.h"
#include "foundation/Threads.h"

namespace agent
{
enum class EFreezeState : int
{
    None = 0,
    Preparing = 1,
    Error = 2,
    Frozen = 3,
};

// A failed freeze: the platform's code and its description.
struct SFreezeFailure
{
    HRESULT code;
    std::wstring description;
};

class IFreezeBackend
{
public:
    virtual ~IFreezeBackend() = default;
    // Freezes the guest's volumes and returns once they are frozen; throws SFreezeFailure.
    // Runs on the control's worker thread, with COM initialised (multithreaded).
    virtual void Freeze() = 0;
    // Ends what Freeze did, also after a Freeze that failed half-way. Same thread.
    virtual void Thaw() noexcept = 0;
    // How long the volumes may stay frozen without an Unfreeze: a guest must not stay frozen
    // because its backup host went away.
    virtual DWORD MaxFrozenMs() const { return 10 * 60 * 1000; }
};

class CFreezeControl
{
public:
    using LogFn = std::function<void(DWORD level, const std::wstring& text)>;

    CFreezeControl(std::unique_ptr<IFreezeBackend> backend, LogFn log);
    // Thaws whatever is frozen: the plugin never leaves the guest frozen when it stops.
    ~CFreezeControl();
    CFreezeControl(const CFreezeControl&) = delete;
    CFreezeControl& operator=(const CFreezeControl&) = delete;

    // S_OK when a freeze has started; the code to refuse it with when one is already running.
    HRESULT Freeze();
    EFreezeState State() const;
    // The error of the latest freeze; false (nothing to describe) when it has not failed.
    bool LastError(std::wstring& description, HRESULT& code) const;
    void Unfreeze();

    // The refusal of a second freeze.
    static const HRESULT kFreezeRunning;

private:
    static DWORD WINAPI WorkerMain(void* self);
    void Work();
    void Fail(const SFreezeFailure& failure);
    // Waits for a worker that has ended or is about to (operation lock held).
    void JoinWorker();

    std::unique_ptr<IFreezeBackend> m_backend;
    LogFn m_log;
    // Freeze and Unfreeze one at a time; m_lock guards the fields below and is never held
    // while waiting.
    util::CCriticalSection m_operation;
    mutable util::CCriticalSection m_lock;
    EFreezeState m_state = EFreezeState::None;
    bool m_failed = false;
    std::wstring m_errorText;
    HRESULT m_errorCode = S_OK;
    util::CEventHandle m_unfreeze;
    util::CThreadHandle m_worker;
};
}
