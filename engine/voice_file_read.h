// Reading a voice file whole, with the journals of saves that died made records first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "engine/byte_string.h"
#include "engine/file_calls.h"
#include "engine/journal_format.h"
#include "engine/outcomes.h"

namespace tarnwick {

enum class RecoveryMode {
    record,     // journals of saves that died become records, as opening a file to patch does
    look_only,  // write nothing anywhere and take no lock: what a real open would find is told
};

// What reading a voice file found: why it was refused, if it was, and what
// it found of earlier saves (told once, before the file is used).
struct LoadResult {
    Problem problem;
    std::vector<RecoveryEvent> events;
    // Saves that died whose journals are not records (yet): what a look
    // found, or what could not be written. Lookups take them as interrupted saves.
    std::vector<SaveRecord> pending;

    bool ok() const { return !problem; }
};

// A voice file read: its bytes and identity, empty where it was refused.
struct VoiceFileRead : LoadResult {
    VoiceBytes bytes;
    FileIdentity identity;
};

// Makes every journal in `journal_folder` whose save died a record of that
// save in the history beside it (or, only looking, hands it back as pending),
// and reads the whole file at `path`, refusing one longer than `max_length`.
// Never writes to the file.
VoiceFileRead read_voice_file(const std::filesystem::path& path, const std::filesystem::path& journal_folder,
                              RecoveryMode mode, std::int64_t max_length, FileSystemCalls& calls);

}  // namespace tarnwick
