#include "deploy/RollbackList.h"

#include <exception>

#include "foundation/Exc.h"

namespace install
{
CRollbackList::~CRollbackList()
{
    try
    {
        Rollback();
    }
    catch (const CExc&)
    {
        // Ignored: the installation's own error is the one its caller gets.
    }
    catch (const std::exception&)
    {
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
