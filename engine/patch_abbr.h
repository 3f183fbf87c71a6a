// The abbreviation patch operation: find a run, overwrite it, or say why not.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/patch_search.h"
#include "engine/user_messages.h"
#include "engine/voice_image.h"

namespace tarnwick {

// Overwrites the first occurrence of `original` in the patch window from
// `start` (see PatchSearch) with `replacement` and returns true. Otherwise writes nothing,
// tells the person whether the replacement is already there or neither run
// is, and returns false.
bool patch_abbr(VoiceImage& image, MessageSink& messages, std::int32_t start, ByteView original,
                ByteView replacement, std::string_view name);

// The same, with its searches answered by `search` (made for the same image
// and start), which is told of the write.
bool patch_abbr(VoiceImage& image, MessageSink& messages, PatchSearch& search, ByteView original,
                ByteView replacement, std::string_view name);

// What one patch found: its original (and wrote), only its replacement, or neither.
enum class PatchFound { original, replacement, neither };

// patch_abbr, telling which.
PatchFound patch_abbr_found(VoiceImage& image, MessageSink& messages, PatchSearch& search, ByteView original,
                            ByteView replacement, std::string_view name);

}  // namespace tarnwick
