// The rules that decide what a journal left by a save does to a file.
#include <gtest/gtest.h>

#include "engine/recovery_rules.h"

namespace tarnwick {
namespace {

TEST(RecoveryRules, EachRowOfTheTable) {
    using A = RecoveryAction;
    using M = JournalMatch;
    using R = RangeState;
    struct Row {
        const char* what;
        JournalReading reading;  // match, ranges, digest_ok, settled
        RecoveryAction action;
    };
    const Row rows[] = {
        {"this path, every range new: the save finished", {M::by_path, R::all_new, false, false}, A::retire},
        {"this file, every range old: nothing was written", {M::by_identity, R::all_old, false, false}, A::retire},
        {"this path, torn, digest right", {M::by_path, R::torn, true, false}, A::put_back},
        {"this file under another path, torn, digest right", {M::by_identity, R::torn, true, false}, A::put_back},
        {"torn, but changed outside the ranges", {M::by_path, R::torn, false, false}, A::leave_alone},
        {"a byte neither old nor new", {M::by_path, R::foreign, false, false}, A::leave_alone},
        {"torn, but a save elsewhere finished with these bytes", {M::by_identity, R::torn, true, true}, A::leave_alone},
        {"a copy, torn in that save's ranges", {M::by_content, R::torn, true, false}, A::tell_torn_copy},
        {"a copy with every range new: saved the same way", {M::by_content, R::all_new, true, false}, A::ignore},
        {"a copy with every range old", {M::by_content, R::all_old, true, false}, A::ignore},
        {"a copy that only looks torn: digest wrong", {M::by_content, R::torn, false, false}, A::ignore},
        {"a copy a finished save left like this", {M::by_content, R::torn, true, true}, A::ignore},
        {"another file altogether", {M::none, R::torn, true, false}, A::ignore},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(decide_recovery(row.reading).action, row.action);
    }
}

}  // namespace
}  // namespace tarnwick
