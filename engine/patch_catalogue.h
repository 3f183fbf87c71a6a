#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/patch_search.h"

#include "engine/user_messages.h"
#include "engine/voice_image.h"

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

// The twenty options in run order; patch_catalogue()[k - 1] is option k.
std::span<const PatchOption, kOptionCount> patch_catalogue();

// The five tabs of the main window and the options each holds, top to bottom.
struct OptionTab {
    std::string_view caption;  // as stored: a doubled ampersand shows as one
    std::span<const int> options;
};

inline constexpr int kTabCount = 5;

std::span<const OptionTab, kTabCount> option_tabs();

// The index (0-based) of the tab that holds option k.
int tab_of(int option);

struct OptionOutcome {
    bool patched = false;
    bool lead_failed = false;
};

OptionOutcome apply_option(VoiceImage& image, MessageSink& messages, const PatchOption& option,
                           std::int32_t start);

// The same, with the searches answered by `search` (made for the same image and start).
OptionOutcome apply_option(VoiceImage& image, MessageSink& messages, const PatchOption& option,
                           PatchSearch& search);

// Where `patch` (one of `option`'s) finds its original, as apply_option
// finds it: a match inside a run the option itself writes does not count.
std::int32_t find_original(PatchSearch& search, const VoiceImage& image, const PatchOption& option,
                           const AbbrPatch& patch);

// Every byte run an option may search for: its patches' originals and replacements.
std::vector<ByteString> patterns_of(const PatchOption& option);

}  // namespace tarnwick
