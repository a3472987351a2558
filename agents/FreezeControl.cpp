#include "agents/FreezeControl.h"

#include "agents/AgentError.h"
#include "agents/PluginApi.h"

#include <objbase.h>
#include <vsserror.h>

namespace agent
{
namespace
{
using CLock = util::CCriticalSection::CHold;

std::wstring Describe(const SFreezeFailure& failure)
{
    std::wstring text = L"The freeze failed.";
    if (!failure.description.empty())
        text += L" " + failure.description;
    return CAgentError(EAgentExit::Ok, text, static_cast<DWORD>(failure.code)).Describe();
}
}

const HRESULT CFreezeControl::kFreezeRunning = VSS_E_BAD_STATE;

CFreezeControl::CFreezeControl(std::unique_ptr<IFreezeBackend> backend, LogFn log)
    : m_backend(std::move(backend)), m_log(std::move(log)), m_unfreeze(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

CFreezeControl::~CFreezeControl()
{
    Unfreeze();
}

HRESULT CFreezeControl::Freeze()
{
    CLock operation(m_operation);
    {
        CLock lock(m_lock);
        if (m_state == EFreezeState::Preparing || m_state == EFreezeState::Frozen)
        {
            m_log(NIMBO_PLUGIN_LOG_WARNING, L"Freeze refused: the volumes are frozen or being frozen already.");
            return kFreezeRunning;
        }
    }
    JoinWorker();   // the worker of a freeze that failed or ended by itself
    {
        CLock lock(m_lock);
        m_failed = false;
        m_errorText.clear();
        m_errorCode = S_OK;
        m_state = EFreezeState::Preparing;
    }
    m_log(NIMBO_PLUGIN_LOG_INFO, L"Freeze requested.");
    if (!m_unfreeze)
    {
        Fail({HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), L"The plugin has no unfreeze event."});
        return S_OK;
    }
    ResetEvent(m_unfreeze.get());
    m_worker.reset(CreateThread(nullptr, 0, &CFreezeControl::WorkerMain, this, 0, nullptr));
    if (!m_worker)
        Fail({HRESULT_FROM_WIN32(GetLastError()), L"The freeze thread cannot be started."});
    return S_OK;
}

EFreezeState CFreezeControl::State() const
{
    CLock lock(m_lock);
    return m_state;
}

bool CFreezeControl::LastError(std::wstring& description, HRESULT& code) const
{
    CLock lock(m_lock);
    code = m_errorCode;
    description = m_errorText;
    return m_failed;
}

void CFreezeControl::Unfreeze()
{
    CLock operation(m_operation);
    if (m_worker)
    {
        m_log(NIMBO_PLUGIN_LOG_INFO, L"Unfreeze requested.");
        SetEvent(m_unfreeze.get());
        JoinWorker();
    }
    CLock lock(m_lock);
    m_state = EFreezeState::None;
}

void CFreezeControl::JoinWorker()
{
    if (!m_worker)
        return;
    WaitForSingleObject(m_worker.get(), INFINITE);
    m_worker.reset();
}

void CFreezeControl::Fail(const SFreezeFailure& failure)
{
    try
    {
        m_log(NIMBO_PLUGIN_LOG_ERROR, Describe(failure));
    }
    catch (...)
    {
    }
    CLock lock(m_lock);
    m_failed = true;
    m_errorCode = failure.code;
    try
    {
        m_errorText = failure.description;
    }
    catch (...)
    {
        m_errorText.clear();   // the code still tells what happened
    }
    m_state = EFreezeState::Error;
}

DWORD WINAPI CFreezeControl::WorkerMain(void* self)
{
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    static_cast<CFreezeControl*>(self)->Work();
    if (SUCCEEDED(com))
        CoUninitialize();
    return 0;
}

void CFreezeControl::Work()
{
    try
    {
        m_backend->Freeze();
    }
    catch (const SFreezeFailure& failure)
    {
        m_backend->Thaw();
        Fail(failure);
        return;
    }
    catch (...)
    {
        m_backend->Thaw();
        Fail({E_UNEXPECTED, L"The freeze stopped on an unexpected error."});
        return;
    }
    const DWORD limit = m_backend->MaxFrozenMs();
    {
        CLock lock(m_lock);
        m_state = EFreezeState::Frozen;
    }
    m_log(NIMBO_PLUGIN_LOG_INFO, L"The volumes are frozen.");

    const bool requested = WaitForSingleObject(m_unfreeze.get(), limit) == WAIT_OBJECT_0;
    m_backend->Thaw();
    if (requested)
    {
        m_log(NIMBO_PLUGIN_LOG_INFO, L"The volumes are thawed.");
        return;   // Unfreeze sets the state once it has joined this thread
    }
    const std::wstring waited =
        limit % 1000 == 0 ? std::to_wstring(limit / 1000) + L" s" : std::to_wstring(limit) + L" ms";
    Fail({HRESULT_FROM_WIN32(ERROR_TIMEOUT), L"No unfreeze request came within " + waited +
                                                 L"; the volumes were thawed."});
}
}
