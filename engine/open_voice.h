// Opening a voice file as every front end does: journals made records, reading, refusals, survey, what the history knows.
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
    // In the order they are shown: what was found of earlier saves, then why
    // it was refused, if it was.
    std::vector<Message> messages;
    VoiceSurvey survey;  // of the file read, unless it was unreadable
    // The journal or history folder could not be trusted or read, so
    // interrupted saves were not looked for: what was read may be a
    // half-written file.
    bool recovery_unknown = false;
    // The boxes and Patch after the open: all of them usable once a voice is
    // accepted, else as they were.
    WindowControls controls;
    // The recorded save that left the file as it is, which an undo takes back.
    std::optional<SaveRecord> last_save;
    // The interrupted save the file looks cut off half-way through, which an
    // undo (asked for) puts back; the file is not patched as it is unless the
    // person says so.
    std::optional<SaveRecord> half_way;
    // Saves whose journals are not records yet (a look), for an undo's lookup.
    std::vector<SaveRecord> pending;
    // Where `half_way` is, the index in `messages` of the one saying so,
    // for a command that acts on it to leave out.
    std::optional<std::size_t> half_way_told;
    // Asked once the messages are shown; Yes is an undo of UndoScope::half_way
    // (the half-way save put back).
    std::optional<Question> question;
    // What to show of the file read, and its undo; none where it was not read
    // (what was shown before stays).
    std::optional<VoiceView> view;

    bool accepted() const { return result == Result::voice; }
    // Refused where it is no voice, or interrupted saves could not be looked
    // for (what was read may be half-written).
    Verdict verdict() const { return accepted() && !recovery_unknown ? Verdict::done : Verdict::refused; }
};

// What `status` tells of one opened voice, after the open's own messages: its
// data start, the save an undo takes back, and every option's state. A file
// that cannot be patched as it is (no area found, half-way through a save) is
// refused.
struct VoiceStatus {
    Verdict verdict = Verdict::refused;
    std::vector<Message> messages;
    std::vector<std::string> lines;
};
VoiceStatus voice_status(const OpenedVoice& opened, std::string_view file);

// Reads the voice file at `path` into `image`, making the journals of saves
// that died in `journal_folder` records as `mode` allows, surveys it and
// looks it up in the history. Never writes to the file. `shown` is how the
// boxes and Patch stand before the open.
OpenedVoice open_voice(VoiceImage& image, const std::filesystem::path& path,
                       const std::filesystem::path& journal_folder, FileSystemCalls& calls, RecoveryMode mode,
                       const WindowControls& shown);

}  // namespace tarnwick
