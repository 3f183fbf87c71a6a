// Saving a voice in place under a journal that becomes the save's record.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "engine/byte_string.h"
#include "engine/file_calls.h"
#include "engine/journal_format.h"
#include "engine/outcomes.h"

namespace tarnwick {

// Saving in place: only the changed bytes are written, into the file itself,
// under a journal kept in a folder of the user's own. One save of a file runs
// at a time (a lock on the file, shared by its hard links); the ranges are
// written in ascending order and read back from the device. The journal
// carries the save's whole record: the save writes that record into the
// history before it removes its journal, and a journal left by a save that
// died becomes a record of an interrupted save at the next open or save, so
// that every save can be taken back. A journal never writes into a file.

// What a save is, for its journal and its record.
struct SaveIntent {
    SaveRecord::Kind kind = SaveRecord::Kind::patch;
    std::vector<SaveRecord::Option> options;
    // The digest of the file before the save, where the caller knows it.
    std::optional<FileDigest> before;
    // Where the save continues a chain of recorded saves the caller knows
    // (an undo, a put-back): that chain's origin. A patch looks its own up.
    std::optional<FileDigest> origin;
};

struct SaveResult {
    SaveStatus status = SaveStatus::saved;
    Problem problem;         // why it was not saved
    FileIdentity identity;   // the file's identity afterwards, when it could be read
    bool identity_known = false;
    FileDigest before{};     // of the whole file before the save
    // The save as the history keeps it, once it wrote: finished, or (not put
    // back) interrupted.
    std::optional<SaveRecord> record;
    // Why its record could not be written now; its journal is kept, and the
    // next open or save makes the record.
    Problem not_recorded;

    bool ok() const { return status == SaveStatus::saved; }
};

// Writes `changes` (ascending, apart) into the file at `path` in place, where
// `image` is the whole file as it is to be and `after` its digest, `before`
// the digest of `image` with the old bytes in place. Refused, with nothing
// written, when the journal or history folder is not the user's own, when
// another run is saving the file, or when, read under the lock, its identity
// differs from `expected` or its bytes from `image` with the old bytes in
// place. Journals of saves that died are made records first.
SaveResult write_in_place(const std::filesystem::path& path, const FileIdentity& expected, ByteView image,
                          std::span<const ChangedRange> changes, const FileDigest& before, const FileDigest& after,
                          const SaveIntent& intent, const std::filesystem::path& journal_folder,
                          FileSystemCalls& calls);

}  // namespace tarnwick
