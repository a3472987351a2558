#include "module/DllModule.h"
#include "NimboGuestAgentCtrl.h"

namespace comfw
{
namespace
{
CDllModule* g_current = nullptr;
}

CDllModule::CDllModule(const GUID& libId) noexcept : m_libId(libId)
{
    m_initialized = InitializeCriticalSectionAndSpinCount(&m_cs, 0) != FALSE;
    if (!g_current)
        g_current = this;
}

CDllModule::~CDllModule()
{
    if (g_current == this)
        g_current = nullptr;
    if (m_initialized)
        DeleteCriticalSection(&m_cs);
}

CDllModule& CDllModule::Get() noexcept
{
    if (g_current)
        return *g_current;
    static CDllModule fallback(LIBID_NimboGuestAgentCtrlLib);
    return fallback;
}
}
