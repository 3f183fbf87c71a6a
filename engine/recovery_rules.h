// What a save's journal, or the record of an interrupted save, means where it is found: the decision tables of recovery.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/byte_string.h"

namespace tarnwick {

// A journal never writes into a voice by itself: whatever matched it (a
// path, an identity, the contents), a file is not proven to be the one a
// journal was written for. Every journal becomes a record of its save
// instead, and a record is put back into a file only when the person asks,
// and only where the file, with the record's old bytes put back, is exactly
// the file that save began with. These tables are followed by every open,
// every save and every front end.

// What a journal file found in the journal folder is.
struct JournalFound {
    bool partial = false;  // still being written (".partial"): its save has written nothing to the file
    // A partial journal of the file whose lock this run holds: its writer, a
    // save of that file, cannot be running. (Another run's partial may be
    // one its save has created and not yet locked.)
    bool own_file = false;
    bool live = false;     // its save holds its lock: running now
    bool whole = false;    // read and decoded as one of this program's journals
    int version = 0;       // of a whole journal
    bool proven = false;   // (before version 3) it fits the file being opened, digest and all
};

enum class JournalAction {
    pass_by,     // nothing is done or said: its save is running, or it belongs to none
    remove,      // removed without a record: its save died before it could write a byte
    record,      // turned into a record of its save, durable, before it is removed
    leave_alone, // left where it lies, and told of where it is no journal of ours
};

struct JournalRule {
    JournalAction action;
    std::string_view reason;
};

JournalRule decide_journal(const JournalFound& found);

// What a save's ranges hold in a file.
enum class RangeState {
    all_old,  // nothing of that save is in the file
    all_new,  // everything of that save is in the file
    torn,     // some ranges, or some bytes of a range, hold new bytes and the rest old ones
    foreign,  // a byte that is neither old nor new, or another size: the file is not that save's
};

// What the ranges of a save of a file of `size` bytes hold in `bytes`.
RangeState ranges_in(std::span<const ChangedRange> ranges, std::int64_t size, ByteView bytes);

// What the record of an interrupted save finds in a file.
struct RecordReading {
    RangeState ranges = RangeState::foreign;
    bool digest_ok = false;      // the file with the record's old bytes put back is the file that save began with
    bool finished_made = false;  // a finished save's record says it left exactly these bytes
};

enum class RecordMeaning {
    unrelated,         // not this file's, or none of it is here: nothing is said
    made_these_bytes,  // that save wrote every range: it left the file as it is, and undo takes it back
    looks_half_way,    // the file looks cut off half-way through that save: told, and put back only when asked
};

struct RecordRule {
    RecordMeaning meaning;
    std::string_view reason;
};

RecordRule decide_record(const RecordReading& reading);

}  // namespace tarnwick
