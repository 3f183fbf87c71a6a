// What each option would do to a voice, told before any patch.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/apply_option.h"
#include "engine/journal_format.h"
#include "engine/layout_probe.h"
#include "engine/patch_catalogue.h"
#include "engine/user_messages.h"
#include "engine/voice_image.h"

namespace tarnwick {

// "ready", "already changed", "not in this voice", "half-changed".
std::string_view state_text(OptionState state);

// What a patch run would find in a voice, for each option as the run decides it.
struct VoiceSurvey {
    ContainerKind kind = ContainerKind::none;
    Layout layout;                                   // when kind is not `none`
    std::array<OptionState, kOptionCount> states{};  // states[k - 1] is option k's, when located

    bool located() const { return kind != ContainerKind::none && layout.located(); }
    OptionState state(int option) const { return states[static_cast<std::size_t>(option - 1)]; }
};

// "disk image" or "container", with its usual extension.
std::string_view kind_text(ContainerKind kind);

// A tab's caption as it reads on screen: a doubled ampersand shows as one.
std::string displayed_caption(std::string_view stored);

// The tabs (0-based) that hold at least one ready option, in tab order.
std::vector<int> tabs_with_ready_options(const VoiceSurvey& survey);

// For people: "demo.vpm: disk image (.vpm), 35,584 bytes".
std::string voice_description(std::string_view file_name, std::int64_t size, const VoiceSurvey& survey);

// For people: which tabs hold ready options ("ready options on English, Karen
// & Lee"), or why none do; empty for a file that is no voice.
std::string readiness_text(const VoiceSurvey& survey);

// The same as a sentence of its own, as the window's second summary line
// shows it: "Ready options on English, ...".
std::string readiness_sentence(const VoiceSurvey& survey);

// Both in one line, joined by "; ".
std::string survey_summary(std::string_view file_name, std::int64_t size, const VoiceSurvey& survey);

// A survey in the words a window shows it.
struct SurveyText {
    std::string description;                       // voice_description
    std::string readiness;                         // readiness_sentence
    std::array<std::string, kOptionCount> states;  // state_text of each; empty where the area was not located
};
SurveyText survey_text(std::string_view file_name, std::int64_t size, const VoiceSurvey& survey);
// The same, where the options `last_save` (the recorded save that left the
// voice as it is) changed, and that are already changed, read "changed 8 Dec".
SurveyText survey_text(std::string_view file_name, std::int64_t size, const VoiceSurvey& survey,
                       const std::optional<SaveRecord>& last_save);

// All a front end shows of the voice it has open, in the engine's words: the
// survey, and the save an undo would take back beside the question asked
// before it does.
struct VoiceView {
    SurveyText text;
    // "Patched with this program on …", or "Interrupted half-way on …";
    // empty where there is nothing to take back (no undo is offered).
    std::string last_patch;
    Question undo_question;

    bool offers_undo() const { return !last_patch.empty(); }
};

// What is shown of the voice in `image`, where `last_save` is the recorded
// save that left it so and `half_way` the interrupted save it looks cut off
// half-way through (which an undo puts back first). `downloaded_copy`: what
// is shown is a copy the person was given to download, not the file opened.
VoiceView voice_view(const VoiceImage& image, const VoiceSurvey& survey, const std::optional<SaveRecord>& last_save,
                     const std::optional<SaveRecord>& half_way, bool downloaded_copy = false);

// The kind, the layout and every option's state, without writing a byte;
// beside `half_way`, the record of a save the file looks cut off half-way
// through, the options that save left with part of their new bytes.
VoiceSurvey survey_voice(const VoiceImage& image, const SaveRecord* half_way = nullptr);

}  // namespace tarnwick
