#include "engine/recovery_rules.h"

#include <algorithm>

namespace tarnwick {

JournalRule decide_journal(const JournalFound& f) {
    if (f.live) return {JournalAction::pass_by, "its save is running now and holds it"};
    if (f.partial && !f.own_file) return {JournalAction::pass_by, "its save may have only just created it"};
    if (f.partial) return {JournalAction::remove, "its save died before the journal was whole, so before any write"};
    if (!f.whole) return {JournalAction::leave_alone, "not a journal of this program, or damaged: it proves nothing"};
    if (f.version >= 3) return {JournalAction::record, "a save that never recorded itself: every journal becomes history"};
    if (f.version == 2 && f.proven) {
        return {JournalAction::record, "an older journal whose digest proves it is the save of the file opened"};
    }
    return {JournalAction::pass_by, "an older journal that nothing proves: kept for the file it was written for"};
}

RangeState ranges_in(std::span<const ChangedRange> ranges, std::int64_t size, ByteView bytes) {
    if (size != static_cast<std::int64_t>(bytes.size())) return RangeState::foreign;
    bool any_old = false;
    bool any_new = false;
    for (const ChangedRange& range : ranges) {
        const ByteView there = bytes.subspan(static_cast<std::size_t>(range.offset), range.old_bytes.size());
        if (std::equal(there.begin(), there.end(), range.old_bytes.begin())) {
            any_old = true;
            continue;
        }
        if (std::equal(there.begin(), there.end(), range.new_bytes.begin())) {
            any_new = true;
            continue;
        }
        for (std::size_t i = 0; i < there.size(); ++i) {
            if (there[i] != range.old_bytes[i] && there[i] != range.new_bytes[i]) return RangeState::foreign;
        }
        any_old = any_new = true;  // a range written in part
    }
    if (any_new && any_old) return RangeState::torn;
    return any_new ? RangeState::all_new : RangeState::all_old;
}

RecordRule decide_record(const RecordReading& r) {
    switch (r.ranges) {
        case RangeState::foreign: return {RecordMeaning::unrelated, "bytes in its ranges that it never wrote, or another size"};
        case RangeState::all_old: return {RecordMeaning::unrelated, "none of that save's bytes are in the file"};
        case RangeState::all_new:
        case RangeState::torn: break;
    }
    if (!r.digest_ok) return {RecordMeaning::unrelated, "with its old bytes back the file is not what that save began with"};
    if (r.ranges == RangeState::all_new) return {RecordMeaning::made_these_bytes, "that save wrote every range"};
    // A finished save of fewer options leaves the same bytes as one cut off
    // after them: where one is recorded, it is that save.
    if (r.finished_made) return {RecordMeaning::unrelated, "a finished save left exactly these bytes"};
    return {RecordMeaning::looks_half_way, "some of that save's bytes are in the file and others are not"};
}

}  // namespace tarnwick
