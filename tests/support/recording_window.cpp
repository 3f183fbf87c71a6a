#include "tests/support/recording_window.h"

namespace tarnwick::testing {

namespace {
constexpr std::string_view kMessagePrefix = "message: ";
}

RecordingWindow::RecordingWindow() = default;

void RecordingWindow::enable_all() { enabled.fill(true); }

void RecordingWindow::tick(std::initializer_list<int> boxes) {
    for (int box : boxes) ticked.at(static_cast<std::size_t>(box)) = true;
}

bool RecordingWindow::box_enabled(int box) const { return enabled.at(static_cast<std::size_t>(box)); }
bool RecordingWindow::box_ticked(int box) const { return ticked.at(static_cast<std::size_t>(box)); }

void RecordingWindow::disable_box(int box) {
    enabled.at(static_cast<std::size_t>(box)) = false;
    events.push_back("disable box " + std::to_string(box));
}

void RecordingWindow::disable_patch() {
    patch_enabled = false;
    events.push_back("disable Patch");
}

void RecordingWindow::close_main_window() {
    closed = true;
    events.push_back("close");
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

}  // namespace tarnwick::testing
