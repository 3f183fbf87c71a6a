// One option of the catalogue applied to a voice: its lead patch, or its fallback where the lead is absent.
#pragma once

#include <array>
#include <cstdint>

#include "engine/patch_catalogue.h"
#include "engine/patch_search.h"
#include "engine/user_messages.h"
#include "engine/voice_image.h"

namespace tarnwick {

// Applying one option of the catalogue to a voice image.

// How an option stands in an image: what applying it does, or did.
enum class OptionState {
    ready,              // it would patch
    already_changed,    // only a replacement of a deciding patch is there
    not_in_this_voice,  // neither
    // Only a survey beside the record of an interrupted save says this: the
    // option's ranges hold part of that save's new bytes.
    half_changed,
};

struct OptionOutcome {
    bool patched = false;
    bool lead_failed = false;
    OptionState state = OptionState::not_in_this_voice;  // how it stood when it was applied
};

// The patches that decide an option, in the order they are tried: the lead,
// then the fallback where there is one (option 15 alone); the second slot is
// null otherwise. Follow-ups run only after the lead succeeded and decide
// nothing. Applying an option and surveying it both go by this order.
std::array<const AbbrPatch*, 2> deciding_patches(const PatchOption& option);

// Applies the option's patches from `start`, each found and written by
// patch_abbr, which tells the person of every patch that fails.
OptionOutcome apply_option(VoiceImage& image, MessageSink& messages, const PatchOption& option,
                           std::int32_t start);

// The same, with the searches answered by `search` (made for the same image and start).
OptionOutcome apply_option(VoiceImage& image, MessageSink& messages, const PatchOption& option,
                           PatchSearch& search);

// Decided as apply_option decides, without writing a byte or telling anyone.
OptionState option_state(PatchSearch& search, const VoiceImage& image, const PatchOption& option);

}  // namespace tarnwick
