// Every journal a run finds becomes a record of its save: none writes into a voice, none is lost.
#pragma once

#include <vector>

#include "engine/byte_string.h"
#include "engine/journal_folder.h"
#include "engine/journal_format.h"
#include "engine/outcomes.h"
#include "engine/save_history.h"

namespace tarnwick {

// What became of the journals a run found.
struct RetiredJournals {
    // Records that are not in the history: what a look found, and journals
    // whose records could not be written (they stay where they are).
    std::vector<SaveRecord> pending;
    // Files among the journals that are none, and records that could not be
    // written, in the order found.
    std::vector<RecoveryEvent> events;
};

// Turns every journal in `journals` whose save is over into a record of that
// save in `history` (created exclusively, written whole, flushed and read
// back) and only then removes it; a journal whose save is running is passed
// by, and one that died before it was whole is removed, since its save never
// wrote. With `look_only` nothing is written anywhere: the records are handed
// back as pending. `file`, the bytes of the file being opened (empty where
// there is none), proves an older journal that carries no record of its own.
// `locked_path`, where this run holds the lock of the file at that resolved
// path, lets it remove journals of that file that died before they were whole.
RetiredJournals retire_journals(JournalFolder& journals, SaveHistory& history, bool look_only, ByteView file,
                                const std::filesystem::path& locked_path = {});

}  // namespace tarnwick
