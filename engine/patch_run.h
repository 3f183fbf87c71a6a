// "Patch && Save": checks, every ticked option in order, and one save, told back as one report.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "engine/apply_option.h"
#include "engine/file_calls.h"
#include "engine/patch_catalogue.h"
#include "engine/user_messages.h"
#include "engine/voice_image.h"
#include "engine/voice_survey.h"
#include "engine/window_controls.h"

namespace tarnwick {

enum class RunOutcome {
    not_a_voice_file,
    area_not_located,
    saved,
    save_failed,
    nothing_patched,
    rehearsed,  // a rehearsal that would have written the file
};

// What a run did, for a front end that lists it.
struct RunDetails {
    // For each option the run applied (options[k - 1] for option k), how it
    // stood when its turn came: ready ones were patched.
    std::array<std::optional<OptionState>, kOptionCount> options{};
    // The bytes the save wrote, or would have written.
    std::vector<ChangedRange> changes;
    // How the save went, when the run got as far as saving.
    std::optional<SaveStatus> save;

    // The options patched (ready when their turn came), in catalogue order.
    std::vector<int> patched_options() const;
};

// What a front end may offer after a save that did not happen.
enum class RunOffer {
    none,
    // The file holds exactly the bytes opened (the save was refused before
    // writing, or put back and read back): a patched copy of them replaces
    // it with nothing lost.
    patched_copy,
    // The file is not as it was opened (changed, or being saved by another
    // run): a copy of the bytes opened would drop that change, so the file
    // is to be opened again, the ticks kept.
    open_again,
};

// Everything a front end shows after a run, in the order it shows it: the
// controls as they now stand, the survey where the file's state is to be
// shown again, the messages one by one, then the window closes if told to.
struct RunReport {
    RunOutcome outcome = RunOutcome::not_a_voice_file;
    WindowControls controls;
    std::optional<VoiceSurvey> survey;
    // The voice shown anew (with `survey`), and its undo.
    std::optional<VoiceView> view;
    std::vector<Message> messages;
    bool close_window = false;
    RunOffer offer = RunOffer::none;
    // Why the offer is made, in words for beside it.
    std::string offer_line;
    // After a save: what it did, kept in view until another file is opened;
    // where it was written as a download (`download`), what the person does
    // with it.
    std::string saved_line;
    bool download = false;
    std::string download_line;
    RunDetails details;

    Verdict verdict() const;
};

// A run as the command line lists it: each option it met and what became of
// it, with `verbose` the bytes changed; after the run's messages, a
// rehearsal's closing summary.
struct RunListing {
    std::vector<std::string> lines;
    std::string closing;
};
RunListing run_listing(const RunReport& run, bool verbose);

// The "Patch && Save" command: validates the image, locates the abbreviation
// area, applies every enabled and ticked option of `shown` in catalogue order
// and, when anything was patched, writes the changed bytes back once
// (journaled in `journal_folder`) and closes the window.
RunReport run_patch(VoiceImage& image, const WindowControls& shown, const std::filesystem::path& journal_folder,
                    FileSystemCalls& calls);

// The same run without its write-back: the same checks, messages and
// controls up to the save, then the image is put back as it was. The details
// hold the options and the ranges the save would have written.
RunReport rehearse_patch(VoiceImage& image, const WindowControls& shown);

}  // namespace tarnwick
