// The undo list of an installation: newest first, a failing undo ends the rollback (its
// error never leaves the destroyed list), a commit undoes nothing.
#include "deploy/RollbackList.h"

#include "tests/deploy/DeployTestSupport.h"

namespace
{
struct SRecordingAction : install::CRollbackAction
{
    SRecordingAction(int id, bool fails, std::vector<int>& run) : id(id), fails(fails), run(run) {}
    void Rollback() override
    {
        run.push_back(id);
        if (fails)
            throw CExc(L"undo failed", E_FAIL);
    }
    int id;
    bool fails;
    std::vector<int>& run;
};
}  // namespace

TEST(RollbackList, DestroyedListUndoesNewestFirstUntilAnUndoFails)
{
    // failing: the action that fails (0: none); run: the actions undone, in order.
    struct SCase { int failing; bool commit; std::vector<int> run; } cases[] = {{0, false, {3, 2, 1}}, {2, false, {3, 2}}, {3, false, {3}}, {0, true, {}}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.failing);
        std::vector<int> run;
        {
            install::CRollbackList list;
            for (int id = 1; id <= 3; ++id)
                list.Add(std::make_shared<SRecordingAction>(id, id == c.failing, run));
            if (c.commit)
                list.Commit();
        }
        EXPECT_EQ(run, c.run);
    }
}
