#pragma once
// The undo log of one installation: every finished step leaves an action here, and unless the
// installation commits, leaving the list's scope undoes the steps newest first.
//
//   CRollbackList rollback;
//   CreateFolderTree(target);
//   rollback.Add(std::make_shared<CFolderRlbk>(target));
//   ...
//   rollback.Commit();   // all done: nothing is undone

#include <list>
#include <memory>


namespace install
{
class CRollbackAction
{
public:
    virtual ~CRollbackAction() = default;
    // Undoes one step; raises a CExc when it cannot.
    virtual void Rollback() = 0;
};

using CRollbackActionPtr = std::shared_ptr<CRollbackAction>;

class CRollbackList
{
public:
    CRollbackList() = default;
    // Runs the rollback unless committed. An error of an action ends the rollback there (the
    // remaining actions are dropped unrun) and is ignored: it must never replace the error
    // that made the installation fail.
    ~CRollbackList();
    CRollbackList(const CRollbackList&) = delete;
    CRollbackList& operator=(const CRollbackList&) = delete;

    // Inserts at the front: the newest action is undone first.
    void Add(CRollbackActionPtr action);
    // Forgets every action without running it.
    void Commit() noexcept;
    size_t GetCount() const noexcept { return m_actions.size(); }

    // Runs the actions newest first, removing each one after it ran. An error ends the run,
    // drops the remaining actions and is raised.
    void Rollback();

private:
    std::list<CRollbackActionPtr> m_actions;
};
}
