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
        opened.result = OpenedVoice::Result::not_a_voice;
        opened.messages.push_back({MessageKind::refusal, std::string(messages::kNotVoiceFile)});
        return opened;
    }
    const SavesOfVoice saves = saves_of_voice(image, journal_folder, calls, opened.pending);
    if (const SaveRecord* last = saves.last_save()) opened.last_save = *last;
    opened.half_way = saves.half_way;
    if (opened.half_way) {
        opened.messages.push_back(
            {MessageKind::refusal, messages::looks_half_way(shown, opened.half_way->file_path, opened.half_way->time_ns)});
        opened.question = messages::kPutBackHalfWay;
    }
    opened.survey = survey_voice(image, opened.half_way ? &*opened.half_way : nullptr);
    opened.result = OpenedVoice::Result::voice;
    opened.controls = opened.controls.after_open();
    return opened;
}

}  // namespace tarnwick
