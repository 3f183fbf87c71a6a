#include "engine/voice_survey.h"

#include <algorithm>

#include "engine/user_messages.h"

namespace tarnwick {

std::string_view state_text(OptionState state) {
    switch (state) {
        case OptionState::ready: return "ready";
        case OptionState::already_changed: return "already changed";
        case OptionState::not_in_this_voice: return "not in this voice";
        case OptionState::half_changed: return "half-changed";
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
    return std::string(file_name) + ": " + std::string(kind_text(survey.kind)) + ", " + messages::grouped_digits(size) +
           " bytes";
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

std::string readiness_sentence(const VoiceSurvey& survey) {
    std::string line = readiness_text(survey);
    if (!line.empty() && line[0] >= 'a' && line[0] <= 'z') line[0] = static_cast<char>(line[0] - 'a' + 'A');
    return line;
}

std::string survey_summary(std::string_view file_name, std::int64_t size, const VoiceSurvey& survey) {
    const std::string readiness = readiness_text(survey);
    const std::string description = voice_description(file_name, size, survey);
    return readiness.empty() ? description : description + "; " + readiness;
}

namespace {

// The options a save cut off half-way left with part of their new bytes:
// each option of that save applied alone to the file as it was before it,
// and its ranges compared with the file now.
void mark_half_changed(const VoiceImage& image, const SaveRecord& half_way, VoiceSurvey& survey) {
    ByteString before(image.file_buf().begin(), image.file_buf().end());
    for (const ChangedRange& range : half_way.ranges) {
        std::copy(range.old_bytes.begin(), range.old_bytes.end(), before.begin() + static_cast<std::ptrdiff_t>(range.offset));
    }
    VoiceImage as_it_was;
    if (!as_it_was.assign(before)) return;
    std::vector<int> options;
    for (const SaveRecord::Option& option : half_way.options) {
        if (option.number >= 1 && option.number <= kOptionCount) options.push_back(option.number);
    }
    // Older journals kept no options: every one is looked at.
    if (options.empty()) {
        for (int k = 1; k <= kOptionCount; ++k) options.push_back(k);
    }
    const ByteView now = image.file_buf();
    for (const int k : options) {
        EditLog edits(as_it_was);
        MessageList ignored;
        apply_option(as_it_was, ignored, patch_catalogue()[static_cast<std::size_t>(k - 1)], survey.layout.dllimg_start);
        bool any_new = false;
        bool any_old = false;
        for (const ChangedRange& range : edits.changed_ranges()) {
            for (std::size_t i = 0; i < range.new_bytes.size(); ++i) {
                const std::uint8_t there = now[static_cast<std::size_t>(range.offset) + i];
                if (range.old_bytes[i] == range.new_bytes[i]) continue;
                any_new = any_new || there == range.new_bytes[i];
                any_old = any_old || there != range.new_bytes[i];
            }
        }
        edits.undo();
        if (any_new && any_old) survey.states[static_cast<std::size_t>(k - 1)] = OptionState::half_changed;
    }
}

}  // namespace

VoiceSurvey survey_voice(const VoiceImage& image, const SaveRecord* half_way) {
    VoiceSurvey survey;
    survey.kind = detect_container(image);
    if (survey.kind == ContainerKind::none) return survey;
    survey.layout = probe_layout(image, survey.kind);
    if (!survey.layout.located()) return survey;
    IndexedSearch search(image, survey.layout.dllimg_start, catalogue_search());
    for (const PatchOption& option : patch_catalogue()) {
        survey.states[static_cast<std::size_t>(option.number - 1)] = option_state(search, image, option);
    }
    if (half_way != nullptr) mark_half_changed(image, *half_way, survey);
    return survey;
}

SurveyText survey_text(std::string_view file_name, std::int64_t size, const VoiceSurvey& survey,
                       const std::optional<SaveRecord>& last_save) {
    SurveyText text = survey_text(file_name, size, survey);
    if (!last_save) return text;
    for (const SaveRecord::Option& option : last_save->options) {
        const int k = option.number;
        if (k < 1 || k > kOptionCount || !survey.located() || survey.state(k) != OptionState::already_changed) continue;
        text.states[static_cast<std::size_t>(k - 1)] = messages::undo::changed_on(last_save->time_ns);
    }
    return text;
}

SurveyText survey_text(std::string_view file_name, std::int64_t size, const VoiceSurvey& survey) {
    SurveyText text{voice_description(file_name, size, survey), readiness_sentence(survey), {}};
    if (survey.located()) {
        for (int k = 1; k <= kOptionCount; ++k) text.states[static_cast<std::size_t>(k - 1)] = state_text(survey.state(k));
    }
    return text;
}

VoiceView voice_view(const VoiceImage& image, const VoiceSurvey& survey, const std::optional<SaveRecord>& last_save,
                     const std::optional<SaveRecord>& half_way, bool downloaded_copy) {
    const std::string name = messages::path_for_people(image.file_path().filename());
    VoiceView view{survey_text(name, image.file_len(), survey, last_save), {}, {}};
    if (downloaded_copy) view.text.description = messages::page::downloaded_copy(view.text.description);
    if (half_way) {
        view.last_patch = messages::undo::half_way_line(half_way->time_ns, half_way->options.size());
        view.undo_question.text = std::string(messages::kPutBackHalfWay);
    } else if (last_save) {
        view.last_patch = messages::undo::last_patch_line(last_save->time_ns, last_save->options.size());
        view.undo_question.text = messages::undo::undo_question(last_save->time_ns, last_save->options.size());
    }
    return view;
}

}  // namespace tarnwick
