#pragma once

#include <array>
#include <string>
#include <vector>

#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"

namespace tarnwick::testing {

// A window that shows what a run reports as text, in the order a window
// shows it ("disable box 6", "disable Patch", "message: ...", "close"), and
// records every message patch_abbr tells it directly.
class RecordingWindow : public MessageSink {
public:
    void enable_all();
    void tick(std::initializer_list<int> boxes);

    // The boxes as shown, for a run.
    WindowControls controls() const;
    void show_controls(const WindowControls& controls);
    // Shows a run's report: its controls, then its messages, then the close.
    void show(const RunReport& report);
    void show_message(const Message& message) override;

    std::vector<std::string> messages() const;

    std::array<bool, kByOptionNumber> enabled{};
    std::array<bool, kByOptionNumber> ticked{};
    bool patch_enabled = true;
    bool closed = false;
    std::vector<std::string> events;
    std::vector<MessageKind> kinds;  // of each message, in order
};

// A run as the window makes one: with its controls, shown in it.
RunOutcome run_patch(VoiceImage& image, RecordingWindow& window, const std::filesystem::path& journal_folder,
                     FileSystemCalls& calls, RunDetails* details = nullptr);
RunOutcome rehearse_patch(VoiceImage& image, RecordingWindow& window, RunDetails& details);

}  // namespace tarnwick::testing
