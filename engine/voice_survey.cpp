#include "engine/voice_survey.h"

namespace tarnwick {
namespace {

// The two searches of an abbreviation patch, as patch_abbr makes them.
struct Presence {
    bool original = false;
    bool replacement = false;
};

Presence presence_of(PatchSearch& search, const VoiceImage& image, const PatchOption& option,
                     const AbbrPatch& patch) {
    Presence found;
    found.original = find_original(search, image, option, patch) > 0;
    if (!found.original) found.replacement = search.find(hex2str(patch.replacement_hex)) > 0;
    return found;
}

OptionState state_of(PatchSearch& search, const VoiceImage& image, const PatchOption& option) {
    const Presence lead = presence_of(search, image, option, *option.lead);
    if (lead.original) return OptionState::ready;
    bool replaced = lead.replacement;
    if (option.fallback != nullptr) {
        const Presence fallback = presence_of(search, image, option, *option.fallback);
        if (fallback.original) return OptionState::ready;
        replaced = replaced || fallback.replacement;
    }
    return replaced ? OptionState::already_changed : OptionState::not_in_this_voice;
}

}  // namespace

std::string_view state_text(OptionState state) {
    switch (state) {
        case OptionState::ready: return "ready";
        case OptionState::already_changed: return "already changed";
        case OptionState::not_in_this_voice: return "not in this voice";
    }
    return {};
}

std::string_view kind_text(ContainerKind kind) {
    switch (kind) {
        case ContainerKind::vpm: return "disk image (.vpm)";
        case ContainerKind::rgn: return "container (.rgn)";
        case ContainerKind::none: break;
    }
    return "not a voice file";
}

std::string displayed_caption(std::string_view stored) {
    std::string shown;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        shown += stored[i];
        if (stored[i] == '&' && i + 1 < stored.size() && stored[i + 1] == '&') ++i;
    }
    return shown;
}

std::vector<int> tabs_with_ready_options(const VoiceSurvey& survey) {
    std::vector<int> tabs;
    if (!survey.located()) return tabs;
    for (int tab = 0; tab < kTabCount; ++tab) {
        for (const int k : option_tabs()[static_cast<std::size_t>(tab)].options) {
            if (survey.state(k) == OptionState::ready) {
                tabs.push_back(tab);
                break;
            }
        }
    }
    return tabs;
}

std::string voice_description(std::string_view file_name, std::int64_t size, const VoiceSurvey& survey) {
    std::string digits = std::to_string(size);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return std::string(file_name) + ": " + std::string(kind_text(survey.kind)) + ", " + digits + " bytes";
}

std::string readiness_text(const VoiceSurvey& survey) {
    if (survey.kind == ContainerKind::none) return {};
    if (!survey.located()) return "its abbreviation area could not be located";
    const std::vector<int> tabs = tabs_with_ready_options(survey);
    if (tabs.empty()) return "no option is ready to apply";
    std::string text = "ready options on ";
    for (std::size_t i = 0; i < tabs.size(); ++i) {
        if (i > 0) text += ", ";
        text += displayed_caption(option_tabs()[static_cast<std::size_t>(tabs[i])].caption);
    }
    return text;
}

std::string survey_summary(std::string_view file_name, std::int64_t size, const VoiceSurvey& survey) {
    const std::string readiness = readiness_text(survey);
    const std::string description = voice_description(file_name, size, survey);
    return readiness.empty() ? description : description + "; " + readiness;
}

VoiceSurvey survey_voice(VoiceImage& image) {
    VoiceSurvey survey;
    survey.kind = detect_container(image);
    if (survey.kind == ContainerKind::none) return survey;
    survey.layout = probe_layout(image, survey.kind);
    if (survey.layout != ProbeResult::located) return survey;
    survey.data_start = image.dllimg_start();
    IndexedSearch search(image, survey.data_start, catalogue_search());
    for (const PatchOption& option : patch_catalogue()) {
        survey.states[static_cast<std::size_t>(option.number - 1)] = state_of(search, image, option);
    }
    return survey;
}

}  // namespace tarnwick
