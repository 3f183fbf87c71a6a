#include "engine/open_voice.h"

#include "engine/undo_patch.h"

namespace tarnwick {
namespace {

// What a front end shows of the file now in the image.
void survey_opened(const VoiceImage& image, OpenedVoice& opened) {
    opened.survey = survey_voice(image);
    if (opened.survey.kind == ContainerKind::none) {
        opened.result = OpenedVoice::Result::not_a_voice;
        opened.messages.push_back({MessageKind::refusal, std::string(messages::kNotVoiceFile)});
        return;
    }
    opened.result = OpenedVoice::Result::voice;
    opened.controls = opened.controls.after_open();
}

}  // namespace

OpenedVoice open_voice(VoiceImage& image, const std::filesystem::path& path,
                       const std::filesystem::path& journal_folder, FileSystemCalls& calls, RecoveryMode mode,
                       const WindowControls& shown_before) {
    OpenedVoice opened;
    opened.controls = shown_before;
    const std::string shown = messages::path_for_people(path);
    const LoadResult loaded = image.load_image(path, journal_folder, calls, mode);
    for (const RecoveryEvent& event : loaded.events) {
        opened.messages.push_back(messages::recovery_message(event, shown));
        using What = RecoveryEvent::What;
        opened.save_pending = opened.save_pending || event.what == What::would_roll_back;
        opened.recovery_unknown = opened.recovery_unknown || event.what == What::folder_untrusted;
        opened.torn_copy = opened.torn_copy || event.what == What::torn_copy;
        opened.put_back = opened.put_back || event.what == What::rolled_back || event.what == What::copy_put_back;
        opened.recovery_failed = opened.recovery_failed || event.what == What::failed;
    }
    // A half-written copy is put back only when the person says so.
    if (opened.torn_copy && mode == RecoveryMode::repair) opened.question = messages::kPutBackTornCopy;
    if (!loaded.ok()) {
        opened.messages.push_back({MessageKind::refusal, messages::cannot_open(shown, messages::reason_text(loaded.problem))});
        return opened;
    }
    survey_opened(image, opened);
    if (opened.accepted()) {
        const UndoReport recorded = saves_leading_to(image, journal_folder, calls);
        if (!recorded.history.empty()) opened.last_save = recorded.history.front();
    }
    return opened;
}

}  // namespace tarnwick
