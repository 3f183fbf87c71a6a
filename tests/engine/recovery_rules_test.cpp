#include <gtest/gtest.h>

#include "engine/recovery_rules.h"

namespace tarnwick {
namespace {

// Each row of both tables: what a journal found in the folder becomes, and
// what the record of an interrupted save means for a file. None writes.
TEST(RecoveryRules, EachRowOfBothTables) {
    using JA = JournalAction;
    struct JournalRow {
        const char* what;
        JournalFound found;  // partial, own_file, live, whole, version, proven
        JA action;
    };
    const JournalRow journals[] = {
        {"being written by a running save", {true, false, true, false, 0, false}, JA::pass_by},
        {"being written, and not yet locked, by another file's save", {true, false, false, false, 0, false}, JA::pass_by},
        {"left half-written by a save of the file this run holds", {true, true, false, false, 0, false}, JA::remove},
        {"of a running save", {false, false, true, true, 3, false}, JA::pass_by},
        {"of a save that died", {false, false, false, true, 3, false}, JA::record},
        {"damaged, or none of ours", {false, false, false, false, 0, false}, JA::leave_alone},
        {"older, proven by the file opened", {false, false, false, true, 2, true}, JA::record},
        {"older, proven by nothing", {false, false, false, true, 2, false}, JA::pass_by},
        {"oldest, with no digest", {false, false, false, true, 1, true}, JA::pass_by},
    };
    for (const JournalRow& row : journals) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(decide_journal(row.found).action, row.action);
        EXPECT_FALSE(decide_journal(row.found).reason.empty());
    }

    using R = RangeState;
    using M = RecordMeaning;
    struct RecordRow {
        const char* what;
        RecordReading reading;  // ranges, digest_ok, finished_made
        M meaning;
    };
    const RecordRow records[] = {
        {"bytes it never wrote", {R::foreign, true, false}, M::unrelated},
        {"none of it here", {R::all_old, true, false}, M::unrelated},
        {"all of it here", {R::all_new, true, false}, M::made_these_bytes},
        {"all of it, but other bytes outside its ranges", {R::all_new, false, false}, M::unrelated},
        {"part of it here", {R::torn, true, false}, M::looks_half_way},
        {"part of it, other bytes outside its ranges", {R::torn, false, false}, M::unrelated},
        {"part of it, which a finished save left exactly so", {R::torn, true, true}, M::unrelated},
    };
    for (const RecordRow& row : records) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(decide_record(row.reading).meaning, row.meaning);
    }
}

TEST(RecoveryRules, RangesInAFile) {
    const std::vector<ChangedRange> ranges = {{2, {1, 1}, {9, 9}}, {6, {1}, {9}}};
    struct Row {
        ByteString bytes;
        RangeState state;
    };
    const Row rows[] = {
        {{0, 0, 1, 1, 0, 0, 1, 0}, RangeState::all_old},
        {{0, 0, 9, 9, 0, 0, 9, 0}, RangeState::all_new},
        {{0, 0, 9, 9, 0, 0, 1, 0}, RangeState::torn},
        {{0, 0, 9, 1, 0, 0, 1, 0}, RangeState::torn},  // a range written in part
        {{0, 0, 9, 7, 0, 0, 9, 0}, RangeState::foreign},
        {{0, 0, 9, 9, 0, 0, 9}, RangeState::foreign},  // another size
    };
    for (const Row& row : rows) EXPECT_EQ(ranges_in(ranges, 8, row.bytes), row.state);
}

}  // namespace
}  // namespace tarnwick
