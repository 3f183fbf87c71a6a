// Opening a voice file as every front end does: recovery, reading, refusals, survey.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "engine/file_calls.h"
#include "engine/journal_format.h"
#include "engine/voice_file_read.h"
#include "engine/user_messages.h"
#include "engine/voice_image.h"
#include "engine/voice_survey.h"
#include "engine/window_controls.h"

namespace tarnwick {

// Everything a front end shows after opening a voice file.
struct OpenedVoice {
    enum class Result {
        voice,        // a voice: the options can be ticked and patched
        not_a_voice,  // read, but without the disk-image mark
        unreadable,   // not read; the image holds what it held before
    };
    Result result = Result::unreadable;
    // In the order they are shown: what became of earlier saves of the file,
    // then why it was refused, if it was.
    std::vector<Message> messages;
    VoiceSurvey survey;  // of the file read, unless it was unreadable
    // Only looking: an interrupted save of it waits for a real open.
    bool save_pending = false;
    // The journal folder could not be trusted or read, so interrupted saves
    // were not looked for: what was read may be a half-written file.
    bool recovery_unknown = false;
    // Another file's interrupted save finds this one torn; opened with
    // RecoveryMode::repair_copies it is put back.
    bool torn_copy = false;
    // Bytes were put back into the file before it was read.
    bool put_back = false;
    // A journal's bytes could not be put back.
    bool recovery_failed = false;
    // The boxes and Patch after the open: all of them usable once a voice is
    // accepted, else as they were.
    WindowControls controls;
    // The recorded save that left the file as it is, which an undo takes back.
    std::optional<SaveRecord> last_save;
    // When not empty, the question to ask the person; Yes opens the file
    // again with RecoveryMode::repair_copies.
    std::string_view question;

    bool accepted() const { return result == Result::voice; }
    // The survey describes the file read; an unreadable file leaves the one shown.
    bool show_survey() const { return result != Result::unreadable; }
};

// Reads the voice file at `path` into `image`, dealing with journals of its
// interrupted saves in `journal_folder` as `mode` says, and surveys it.
// `shown` is how the boxes and Patch stand before the open.
OpenedVoice open_voice(VoiceImage& image, const std::filesystem::path& path,
                       const std::filesystem::path& journal_folder, FileSystemCalls& calls, RecoveryMode mode,
                       const WindowControls& shown);

}  // namespace tarnwick
