#include "engine/recovery_rules.h"

namespace tarnwick {

RecoveryRule decide_recovery(const JournalReading& r) {
    if (r.match == JournalMatch::none) return {RecoveryAction::ignore, "not this file's journal"};
    if (r.match == JournalMatch::by_content) {
        // Another file's journal can never tell a finished save of this copy
        // (the same options saved earlier, a batch, the device under another
        // folder) from a torn one, so it writes nothing by itself.
        if (r.ranges != RangeState::torn || !r.digest_ok) {
            return {RecoveryAction::ignore, "a copy that holds none, all or none of that save's bytes, or other bytes"};
        }
        if (r.settled) return {RecoveryAction::ignore, "a save that finished left exactly these bytes"};
        return {RecoveryAction::tell_torn_copy, "a copy torn in that save's ranges: put back only when asked"};
    }
    switch (r.ranges) {
        case RangeState::all_new:
            return {RecoveryAction::retire, "the save wrote everything and died before removing its journal"};
        case RangeState::all_old:
            return {RecoveryAction::retire, "the save died before writing anything"};
        case RangeState::foreign:
            return {RecoveryAction::leave_alone, "the file changed since: bytes in the ranges are neither old nor new"};
        case RangeState::torn: break;
    }
    if (!r.digest_ok) return {RecoveryAction::leave_alone, "the file changed since outside the ranges"};
    if (r.settled) return {RecoveryAction::leave_alone, "a later save that finished, elsewhere, left these bytes"};
    // Where the file system keeps the time of writes (a FUSE FAT driver does
    // not), a save under another journal folder shows as a later time.
    if (r.modified_after) return {RecoveryAction::leave_alone, "the file was written to after the save died"};
    return {RecoveryAction::put_back, "a torn save of this very file"};
}

}  // namespace tarnwick
