#include "deploy/RollbackList.h"

namespace install
{
CRollbackList::CRollbackList(std::shared_ptr<util::CLog> log) : m_log(std::move(log)) {}

CRollbackList::~CRollbackList()
{
    try
    {
        Rollback();
    }
    catch (CExc& e)
    {
        if (m_log)
            m_log->Warning(e, L"Rollback stopped: the remaining installation steps are not undone.");
    }
    catch (std::exception&)
    {
        // Only an allocation can fail here; the installation's own error is what matters.
        if (m_log)
            m_log->Warning(L"Rollback stopped: the remaining installation steps are not undone.");
    }
}

void CRollbackList::Add(CRollbackActionPtr action)
{
    m_actions.push_front(std::move(action));
}

void CRollbackList::Commit() noexcept
{
    m_actions.clear();
}

void CRollbackList::Rollback()
{
    try
    {
        while (!m_actions.empty())
        {
            m_actions.front()->Rollback();
            m_actions.pop_front();
        }
    }
    catch (...)
    {
        m_actions.clear();
        throw;
    }
}
}
