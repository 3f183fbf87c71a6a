// Reading a voice file whole, with what interrupted saves of it left dealt with first.
#pragma once

#include <cstdint>
#include <filesystem>

#include "engine/byte_string.h"
#include "engine/file_calls.h"
#include "engine/outcomes.h"

namespace tarnwick {

enum class RecoveryMode {
    repair,         // put back what an interrupted save of this file left, as opening it to patch does
    look_only,      // write nothing and take no lock; tell what opening it to patch would do
    repair_copies,  // also put back a copy that another file's interrupted save finds torn, as asked
};

// A voice file read: its bytes and identity, empty where it was refused.
struct VoiceFileRead : LoadResult {
    VoiceBytes bytes;
    FileIdentity identity;
};

// Looks for journals of interrupted saves of the file at `path` in
// `journal_folder` (by the file's path, then its identity, then by content),
// deals with them as recovery_rules decides and `mode` allows, and reads the
// whole file, refusing one longer than `max_length`.
VoiceFileRead read_voice_file(const std::filesystem::path& path, const std::filesystem::path& journal_folder,
                              RecoveryMode mode, std::int64_t max_length, FileSystemCalls& calls);

}  // namespace tarnwick
