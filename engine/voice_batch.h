// Several voices at once: each opened, patched and taken back exactly as one voice alone is, one after another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/file_calls.h"
#include "engine/open_voice.h"
#include "engine/outcomes.h"
#include "engine/patch_catalogue.h"
#include "engine/user_messages.h"
#include "engine/voice_image.h"
#include "engine/voice_survey.h"

namespace tarnwick {

// One voice of a batch, as its last action left it.
struct BatchVoice {
    VoiceImage image;
    OpenedVoice opened;
    std::string name;  // the file's name, for people
    // What is shown of it now: its description and each option's state.
    std::optional<VoiceView> view;
    // This batch saved a patch into it that an "Undo All" takes back.
    bool patched_here = false;
    // Why the batch may not patch it, told again at each attempt.
    std::vector<Message> why_not;

    // Accepted, its area located, and not cut off half-way through a save:
    // a voice a batch may patch.
    bool patchable() const;
    // Option k's state where the voice is patchable.
    std::optional<OptionState> state(int option) const;
    // Its column's heading: its name, then its kind and size.
    std::string heading() const;
    // What its column shows for option k: the state in the main window's
    // words ("changed 8 Dec" for what its last save changed); nothing where
    // the voice may not be patched.
    std::string cell(int option) const;
};

// What one action did to one voice, in the engine's words.
struct BatchEntry {
    std::string name;
    Verdict verdict = Verdict::refused;
    // "Saved with 3 changes.", "Nothing to change: the file is as it was.", ...
    std::string summary;
    std::vector<int> patched_options;  // in catalogue order
    std::int64_t bytes_changed = 0;
    // The voice's own, as it alone would tell them, but for the success of
    // a save, which the summary says.
    std::vector<Message> messages;
    // What was saved (or taken back) was written as a download for the person
    // to copy over the file.
    bool download = false;
};

// One report for a whole batch action: an entry per voice, in the order the
// voices were chosen, and a closing line over them all.
struct BatchReport {
    std::vector<BatchEntry> voices;
    std::string closing;

    Verdict verdict() const;
};

// Called before each voice is worked on: `done` of `total` are finished.
using BatchProgress = std::function<void(std::size_t done, std::size_t total)>;

// The voices of a batch and what a front end does with them. A failure in
// one voice never stops or changes another: each is opened, saved (journal,
// read-back, history record) and taken back as it would be alone. Each
// action reaches the files through the calls it is given.
class VoiceBatch {
public:
    explicit VoiceBatch(std::filesystem::path journal_folder);

    // Opens each file (the same path given twice is opened once) as the
    // window opens one voice, making records of interrupted saves' journals.
    BatchReport open(std::span<const std::filesystem::path> paths, FileSystemCalls& calls,
                     const BatchProgress& progress = {});

    const std::vector<BatchVoice>& voices() const { return voices_; }
    // Option k is ready in at least one voice the batch may patch.
    bool tickable(int option) const;
    // At least one voice may be patched.
    bool any_patchable() const;

    // Patches every chosen option (chosen[k - 1] for option k) in each voice
    // where it is ready, and saves each voice that changed.
    BatchReport patch_all(const std::array<bool, kOptionCount>& chosen, FileSystemCalls& calls,
                          const BatchProgress& progress = {});

    // The voices "Undo All" would take the patch of this batch back from.
    std::size_t undoable() const;
    Question undo_question() const;
    // Takes back the patch each voice got from this batch.
    BatchReport undo_all(FileSystemCalls& calls, const BatchProgress& progress = {});

private:
    void show_anew(BatchVoice& voice, FileSystemCalls& calls);

    std::filesystem::path journal_folder_;
    std::vector<BatchVoice> voices_;
};

}  // namespace tarnwick
