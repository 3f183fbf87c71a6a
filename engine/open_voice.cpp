#include "engine/open_voice.h"

#include "engine/layout_probe.h"
#include "engine/undo_patch.h"

namespace tarnwick {

OpenedVoice open_voice(VoiceImage& image, const std::filesystem::path& path,
                       const std::filesystem::path& journal_folder, FileSystemCalls& calls, RecoveryMode mode,
                       const WindowControls& shown_before) {
    OpenedVoice opened;
    opened.controls = shown_before;
    const std::string shown = messages::path_for_people(path);
    LoadResult loaded = image.load_image(path, journal_folder, calls, mode);
    for (const RecoveryEvent& event : loaded.events) {
        opened.messages.push_back(messages::recovery_message(event, shown));
        opened.recovery_unknown = opened.recovery_unknown || event.what == RecoveryEvent::What::folder_untrusted;
    }
    opened.pending = std::move(loaded.pending);
    if (!loaded.ok()) {
        opened.messages.push_back({MessageKind::refusal, messages::cannot_open(shown, messages::reason_text(loaded.problem))});
        return opened;
    }
    if (detect_container(image) == ContainerKind::none) {
        opened.survey = survey_voice(image);
        opened.view = voice_view(image, opened.survey, std::nullopt, std::nullopt);
        opened.result = OpenedVoice::Result::not_a_voice;
        opened.messages.push_back({MessageKind::refusal, std::string(messages::kNotVoiceFile)});
        return opened;
    }
    const SavesOfVoice saves = saves_of_voice(image, journal_folder, calls, opened.pending);
    opened.last_save = saves.last_save();
    opened.half_way = saves.half_way;
    if (opened.half_way) {
        opened.half_way_told = opened.messages.size();
        opened.messages.push_back(
            {MessageKind::refusal, messages::looks_half_way(shown, opened.half_way->file_path, opened.half_way->time_ns)});
        opened.question = Question{std::string(messages::kPutBackHalfWay), false};
    }
    opened.survey = survey_voice(image, opened.half_way ? &*opened.half_way : nullptr);
    opened.view = voice_view(image, opened.survey, opened.last_save, opened.half_way);
    opened.result = OpenedVoice::Result::voice;
    opened.controls = opened.controls.after_open();
    return opened;
}

VoiceStatus voice_status(const OpenedVoice& opened, std::string_view file) {
    VoiceStatus status;
    if (opened.half_way) status.messages.push_back({MessageKind::refusal, messages::cli::recover_hint(file)});
    if (opened.verdict() != Verdict::done) return status;
    if (!opened.survey.located()) {
        status.messages.push_back({MessageKind::refusal, std::string(messages::kAreaNotLocated)});
        return status;
    }
    status.lines.push_back(messages::cli::data_start_line(opened.survey.layout.dllimg_start));
    if (opened.last_save) {
        status.lines.push_back(messages::cli::last_save_line(opened.last_save->time_ns, opened.last_save->options.size()));
    }
    status.lines.push_back(messages::cli::status_header());
    for (const PatchOption& option : patch_catalogue()) {
        const OptionTab& tab = option_tabs()[static_cast<std::size_t>(tab_of(option.number).value_or(0))];
        status.lines.push_back(messages::cli::status_row(option.number, displayed_caption(tab.caption),
                                                         state_text(opened.survey.state(option.number)), option.label));
    }
    // A file that looks half-way through a save is not one to build on.
    status.verdict = opened.half_way ? Verdict::refused : Verdict::done;
    return status;
}

}  // namespace tarnwick
