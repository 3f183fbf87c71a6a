// Saving a voice in place under a journal.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "engine/byte_string.h"
#include "engine/file_calls.h"
#include "engine/journal_format.h"
#include "engine/outcomes.h"

namespace tarnwick {

// Saving in place: only the changed bytes are written, into the file itself,
// under a rollback journal kept in a folder of the user's own. One save of a
// file runs at a time (a lock on the file, shared by its hard links); the
// ranges are written in ascending order and read back from the device; the
// journal records the whole file's digest, so that it puts back only a save of
// its own file cut off half-way. What a journal found later does is decided
// by recovery_rules.

struct SaveResult {
    SaveStatus status = SaveStatus::saved;
    Problem problem;         // why it was not saved
    FileIdentity identity;   // the file's identity afterwards, when it could be read
    bool identity_known = false;
    FileDigest before{};     // of the whole file before the save

    bool ok() const { return status == SaveStatus::saved; }
};

// Writes `changes` (ascending, apart) into the file at `path` in place, where
// `image` is the whole file as it is to be. Refused, with nothing written,
// when the journal folder is not the user's own, when another run is saving
// the file, when a torn save of it waits to be put back, or when, read under
// the lock, its identity differs from `expected` or its bytes from `image`
// with the old bytes in place. Once whole, the save retires the journals of
// this file it found, and marks its result settled for other files' journals
// that would take it for a torn save of theirs.
// `before` is the digest of `image` with the old bytes in place, which the
// journal keeps.
SaveResult write_in_place(const std::filesystem::path& path, const FileIdentity& expected, ByteView image,
                          std::span<const ChangedRange> changes, const FileDigest& before,
                          const std::filesystem::path& journal_folder, FileSystemCalls& calls);

}  // namespace tarnwick
