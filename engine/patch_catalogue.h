// The twenty options, their patches and tabs, as data.
#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/byte_string.h"

namespace tarnwick {

// One fixed replacement in a voice's abbreviation table. The runs are held as
// hex text, two upper-case digits per byte; `name` appears in messages only.
struct AbbrPatch {
    std::string_view name;
    std::string_view original_hex;
    std::string_view replacement_hex;
};

// One tickable change: the lead patch decides; follow-ups run only after the
// lead succeeded; the fallback (option 15 alone) runs only after it failed.
struct PatchOption {
    int number;  // 1 to 20: run order, and the number of its check box
    std::string_view label;
    const AbbrPatch* lead;
    std::array<const AbbrPatch*, 2> follow_ups;  // unused slots are null
    const AbbrPatch* fallback;
};

inline constexpr int kOptionCount = 20;
// Arrays indexed by an option's (or its box's) number, 1 to 20, leave slot 0 unused.
inline constexpr std::size_t kByOptionNumber = kOptionCount + 1;

// The twenty options in run order; patch_catalogue()[k - 1] is option k.
std::span<const PatchOption, kOptionCount> patch_catalogue();

// The five tabs of the main window and the options each holds, top to bottom.
struct OptionTab {
    std::string_view caption;  // as stored: a doubled ampersand shows as one
    std::span<const int> options;
};

inline constexpr int kTabCount = 5;

std::span<const OptionTab, kTabCount> option_tabs();

// The index (0-based) of the tab that holds option k; none for a number no option has.
std::optional<int> tab_of(int option);

// Every patch of an option: lead, follow-ups, fallback; unused ones are null.
std::array<const AbbrPatch*, 4> patches_of(const PatchOption& option);

// Every byte run an option may search for: its patches' originals and replacements.
std::vector<ByteString> patterns_of(const PatchOption& option);

}  // namespace tarnwick
