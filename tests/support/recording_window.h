#pragma once

#include <array>
#include <string>
#include <vector>

#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"

namespace tarnwick::testing {

// Records every message and window operation of a run, in order, as text
// ("message: ...", "disable box 6", "disable Patch", "close").
class RecordingWindow : public WindowOps {
public:
    RecordingWindow();

    void enable_all();
    void tick(std::initializer_list<int> boxes);

    bool box_enabled(int box) const override;
    bool box_ticked(int box) const override;
    void disable_box(int box) override;
    void disable_patch() override;
    void close_main_window() override;
    void show_message(const Message& message) override;

    std::vector<std::string> messages() const;

    std::array<bool, kByOptionNumber> enabled{};
    std::array<bool, kByOptionNumber> ticked{};
    bool patch_enabled = true;
    bool closed = false;
    std::vector<std::string> events;
    std::vector<MessageKind> kinds;  // of each message, in order
};

}  // namespace tarnwick::testing
