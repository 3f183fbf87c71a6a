// The option boxes and the Patch button as values: what a front end shows, and what each action leaves.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>

#include "engine/patch_catalogue.h"

namespace tarnwick {

// The window shows this tab (0-based) when it opens and after a voice is closed.
inline constexpr int kFirstTabShown = 1;

// Box k (1 to 20) belongs to option k of the catalogue. A front end shows
// these as they are and hands them back with the person's ticks; the engine's
// reports say what they become.
struct WindowControls {
    std::array<bool, kOptionCount> enabled{};
    std::array<bool, kOptionCount> ticked{};
    bool patch_enabled = false;

    bool box_enabled(int box) const { return enabled[slot(box)]; }
    bool box_ticked(int box) const { return ticked[slot(box)]; }
    void set_ticked(int box, bool on) { ticked[slot(box)] = on; }
    void tick(std::initializer_list<int> boxes) {
        for (const int box : boxes) set_ticked(box, true);
    }

    // A voice was opened: every box and Patch can be used; the ticks stay.
    WindowControls after_open() const {
        WindowControls next = *this;
        next.enabled.fill(true);
        next.patch_enabled = true;
        return next;
    }
    // The person ticked or cleared box `box`: Patch can be pressed again.
    WindowControls after_box_changed(int box, bool on) const {
        WindowControls next = *this;
        next.set_ticked(box, on);
        next.patch_enabled = true;
        return next;
    }

    bool operator==(const WindowControls&) const = default;

private:
    static std::size_t slot(int box) { return static_cast<std::size_t>(box - 1); }
};

}  // namespace tarnwick
