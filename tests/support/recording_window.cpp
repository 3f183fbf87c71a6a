#include "tests/support/recording_window.h"

namespace tarnwick::testing {

namespace {
constexpr std::string_view kMessagePrefix = "message: ";
}

void RecordingWindow::enable_all() { enabled.fill(true); }

void RecordingWindow::tick(std::initializer_list<int> boxes) {
    for (int box : boxes) ticked.at(static_cast<std::size_t>(box)) = true;
}

WindowControls RecordingWindow::controls() const {
    WindowControls shown;
    for (int k = 1; k <= kOptionCount; ++k) {
        shown.enabled[static_cast<std::size_t>(k - 1)] = enabled[static_cast<std::size_t>(k)];
        shown.ticked[static_cast<std::size_t>(k - 1)] = ticked[static_cast<std::size_t>(k)];
    }
    shown.patch_enabled = patch_enabled;
    return shown;
}

void RecordingWindow::show_controls(const WindowControls& controls) {
    for (int k = 1; k <= kOptionCount; ++k) {
        if (enabled[static_cast<std::size_t>(k)] && !controls.box_enabled(k)) {
            events.push_back("disable box " + std::to_string(k));
        }
        enabled[static_cast<std::size_t>(k)] = controls.box_enabled(k);
        ticked[static_cast<std::size_t>(k)] = controls.box_ticked(k);
    }
    patch_enabled = controls.patch_enabled;
    if (!patch_enabled) events.push_back("disable Patch");
}

void RecordingWindow::show(const RunReport& report) {
    show_controls(report.controls);
    for (const Message& message : report.messages) show_message(message);
    if (report.close_window) {
        closed = true;
        events.push_back("close");
    }
}

void RecordingWindow::show_message(const Message& message) {
    events.push_back(std::string(kMessagePrefix) + message.text);
    kinds.push_back(message.kind);
}

std::vector<std::string> RecordingWindow::messages() const {
    std::vector<std::string> texts;
    for (const std::string& event : events) {
        if (event.starts_with(kMessagePrefix)) texts.push_back(event.substr(kMessagePrefix.size()));
    }
    return texts;
}

RunOutcome run_patch(VoiceImage& image, RecordingWindow& window, const std::filesystem::path& journal_folder,
                     FileSystemCalls& calls, RunDetails* details) {
    const RunReport report = tarnwick::run_patch(image, window.controls(), journal_folder, calls);
    window.show(report);
    if (details != nullptr) *details = report.details;
    return report.outcome;
}

RunOutcome rehearse_patch(VoiceImage& image, RecordingWindow& window, RunDetails& details) {
    const RunReport report = tarnwick::rehearse_patch(image, window.controls());
    window.show(report);
    details = report.details;
    return report.outcome;
}

}  // namespace tarnwick::testing
