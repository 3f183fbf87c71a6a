// "Patch && Save": checks, every ticked option in order, and one save.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "engine/apply_option.h"
#include "engine/file_calls.h"
#include "engine/patch_catalogue.h"
#include "engine/user_messages.h"
#include "engine/voice_image.h"

namespace tarnwick {

// What a patch run needs of the main window. Box k (1 to 20) belongs to
// option k of the catalogue; show_message is inherited from MessageSink.
class WindowOps : public MessageSink {
public:
    virtual bool box_enabled(int box) const = 0;
    virtual bool box_ticked(int box) const = 0;
    virtual void disable_box(int box) = 0;
    virtual void disable_patch() = 0;
    virtual void close_main_window() = 0;
};

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
};

// The "Patch && Save" command: validates the image, locates the abbreviation
// area, applies every enabled and ticked option in catalogue order and, when
// anything was patched, writes the changed bytes back once (journaled in
// `journal_folder`) and closes the window.
RunOutcome run_patch(VoiceImage& image, WindowOps& window, const std::filesystem::path& journal_folder,
                     FileSystemCalls& calls, RunDetails* details = nullptr);

// The same run without its write-back: the same checks, messages and window
// changes up to the save, then the image is put back as it was. `details`
// gets the options and the ranges the save would have written.
RunOutcome rehearse_patch(VoiceImage& image, WindowOps& window, RunDetails& details);

}  // namespace tarnwick
