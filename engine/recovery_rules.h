// What a journal found beside a voice does: the decision table of recovery.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarnwick {

// When a save journal may put bytes back into a file: one table, followed by
// every open, every save and every front end. A journal is written before a
// save touches its file and removed once the save is whole; one that is still
// there when a file is opened tells of a save that died, or of a file that
// merely looks like the one it was written for.

// How a journal came to be taken for a file's.
enum class JournalMatch {
    by_path,      // written for this very path
    by_identity,  // written for this file (device and file number), under another path
    by_content,   // another path and file, but the same size and, with its old bytes, the same digest
    none,
};

// What a journal's ranges hold in the file.
enum class RangeState {
    all_old,  // nothing of that save reached the file
    all_new,  // everything of that save reached the file
    torn,     // some ranges, or some bytes of a range, hold new bytes and the rest old ones
    foreign,  // a byte that is neither old nor new, or another size: the file is not that save's
};

struct JournalReading {
    JournalMatch match = JournalMatch::none;
    RangeState ranges = RangeState::foreign;
    bool digest_ok = false;       // the file with the journal's old bytes put back is the file that save began with
    bool settled = false;         // a later save that finished left exactly these bytes (a mark beside the journal)
    bool modified_after = false;  // the file's time is later than the journal's by more than any save takes
};

enum class RecoveryAction {
    ignore,            // nothing is written or said; the journal stays for the file it was written for
    retire,            // nothing is written; the journal has done its work and is removed
    put_back,          // the old bytes are written back and read back, then the journal is removed
    leave_alone,       // nothing is written; the person is told, and the journal kept until a save of this file
    tell_torn_copy,    // nothing is written unless the person asks; the person is told
};

struct RecoveryRule {
    RecoveryAction action;
    std::string_view reason;
};

// The longest a save or a put-back writes after its journal's time: a file
// modified later than that was changed by something else since, such as a
// save made under another journal folder (another account or computer).
// Every put-back renews its journal's time before it writes.
inline constexpr std::int64_t kLongestWriteNs = std::int64_t{120} * 1'000'000'000;

RecoveryRule decide_recovery(const JournalReading& reading);

}  // namespace tarnwick
