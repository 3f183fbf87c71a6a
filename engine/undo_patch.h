// Taking any recorded save back, exactly, on whatever copy holds its result, and putting back a file an interrupted save left half-written.
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

// What the history knows of the bytes of a voice.
struct SavesOfVoice {
    Problem problem;  // the history could not be read: nothing below is known
    // The recorded patch saves that lead to these bytes, newest first: the
    // first is the one an undo takes back.
    std::vector<SaveRecord> chain;
    // An interrupted save the file looks cut off half-way through: some of
    // its ranges hold new bytes, the others old ones, and with its old bytes
    // back the file is exactly what it began with; no recorded save made
    // these bytes. Only the person puts it back.
    std::optional<SaveRecord> half_way;

    std::optional<SaveRecord> last_save() const {
        return chain.empty() ? std::nullopt : std::optional<SaveRecord>(chain.front());
    }
};

// Looks the bytes in `image` up in the history beside `journal_folder`;
// `pending` are saves whose journals are not records yet (see LoadResult).
SavesOfVoice saves_of_voice(const VoiceImage& image, const std::filesystem::path& journal_folder,
                            FileSystemCalls& calls, std::span<const SaveRecord> pending = {});

// `history` of one voice, as the command line lists it: the half-way save
// an undo puts back, then each recorded save, newest first, and which one an
// undo takes; nothing to do where none is recorded, refused where the
// history could not be read.
struct HistoryListing {
    Verdict verdict = Verdict::refused;
    std::vector<Message> messages;
    std::vector<std::string> lines;
};
HistoryListing history_listing(const SavesOfVoice& found);

enum class UndoOutcome {
    undone,           // a patch taken back, or a half-written file put back
    rehearsed,        // a rehearsal that would have done so
    nothing_to_undo,  // no recorded save made these bytes: the file was left alone
    refused,          // the history could not be read, or the save failed
};

// What an undo or a put-back did, and what the window shows after it.
struct UndoReport {
    UndoOutcome outcome = UndoOutcome::refused;
    std::vector<Message> messages;
    // The recorded save taken back (or, rehearsed, that would be).
    std::optional<SaveRecord> taken_back;
    // The file as it now is, after an undo, and the recorded save that left
    // it so, which the next undo takes back.
    std::optional<VoiceSurvey> survey;
    std::optional<SaveRecord> last_save;
    // What to show of the voice now, and its next undo.
    std::optional<VoiceView> view;
    // What was taken back was written as a download for the person to copy
    // over the file (the file itself still holds the patch), and is what
    // `view` shows.
    bool download = false;

    Verdict verdict() const;
};

// Which saves an undo may take back.
enum class UndoScope {
    last_save,  // the half-written file put back where it looks so, else the newest recorded patch taken back
    half_way,   // only a half-written file put back (recover)
};

// Takes back, in `image` (opened from its file) and the file, the save the
// history says left it as it is: a half-way save's old bytes put back, or the
// newest recorded patch whose result is exactly these bytes taken back. Each
// is a save of its own, journaled and recorded. Nothing is written when no
// record fits. With `rehearse`, tells what it would do and writes nothing.
UndoReport undo_last_patch(VoiceImage& image, const std::filesystem::path& journal_folder, FileSystemCalls& calls,
                           bool rehearse, UndoScope scope = UndoScope::last_save,
                           std::span<const SaveRecord> pending = {});

// What forgetting the history of a voice's bytes did, with what to tell.
struct ForgetReport {
    enum class Outcome {
        forgotten,         // `removed` records are gone
        nothing_recorded,  // no record made these bytes
        refused,           // the history could not be read or changed
    };
    Outcome outcome = Outcome::refused;
    int removed = 0;
    std::vector<Message> messages;

    Verdict verdict() const;
};

// Removes the records of the saves that made the bytes in `image`.
ForgetReport forget_history(const VoiceImage& image, const std::filesystem::path& journal_folder,
                            FileSystemCalls& calls);

}  // namespace tarnwick
