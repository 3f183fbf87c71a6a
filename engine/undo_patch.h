// Taking any finished patch back, exactly, on whatever copy holds its result; and recording each save for that.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "engine/file_calls.h"
#include "engine/journal_format.h"
#include "engine/user_messages.h"
#include "engine/voice_image.h"
#include "engine/voice_survey.h"

namespace tarnwick {

// Records a patch run's finished save of `image` (as it now is; `before` the
// file's digest before it) in the history beside `journal_folder`: the
// options patched, every range, the digests before and after.
Problem record_patch(const VoiceImage& image, const FileDigest& before, std::span<const ChangedRange> changes,
                     const std::vector<int>& options, const std::filesystem::path& journal_folder,
                     FileSystemCalls& calls);

enum class UndoOutcome {
    undone,
    rehearsed,        // a rehearsal that would have undone a save
    nothing_to_undo,  // no recorded save made these bytes: the file was left alone
    refused,          // the history could not be read, or the save failed
};

struct UndoReport {
    UndoOutcome outcome = UndoOutcome::refused;
    std::vector<Message> messages;
    // The recorded saves that lead to the bytes the image held, newest first:
    // the first is the one taken back.
    std::vector<SaveRecord> history;
    // The file as it now is, after an undo, and the recorded save that left
    // it so, which the next undo takes back.
    std::optional<VoiceSurvey> survey;
    std::optional<SaveRecord> last_save;
};

// What the history knows of the bytes in `image`: the saves that made them.
UndoReport saves_leading_to(const VoiceImage& image, const std::filesystem::path& journal_folder,
                            FileSystemCalls& calls);

// Takes back the newest recorded save whose result is exactly the bytes in
// `image` (opened from its file), as a save of its own under the journal,
// and records the undo. Nothing is written when no record fits. With
// `rehearse`, tells what it would do and writes nothing.
UndoReport undo_last_patch(VoiceImage& image, const std::filesystem::path& journal_folder, FileSystemCalls& calls,
                           bool rehearse);

// Removes the records of the saves that made the bytes in `image`; `removed` counts them.
Problem forget_history(const VoiceImage& image, const std::filesystem::path& journal_folder, FileSystemCalls& calls,
                       int& removed);

}  // namespace tarnwick
