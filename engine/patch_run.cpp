#include "engine/patch_run.h"

#include "engine/layout_probe.h"
#include "engine/patch_catalogue.h"

namespace tarnwick {

RunOutcome run_patch(VoiceImage& image, WindowOps& window, const std::filesystem::path& journal_folder,
                     FileSystemCalls& calls) {
    const ContainerKind kind = detect_container(image);
    if (kind == ContainerKind::none) {
        window.disable_patch();
        window.show_message(std::string(messages::kNotVoiceFile));
        return RunOutcome::not_a_voice_file;
    }
    if (probe_layout(image, kind) != ProbeResult::located) {
        window.disable_patch();
        window.show_message(std::string(messages::kAreaNotLocated));
        return RunOutcome::area_not_located;
    }

    const std::int32_t start = image.dllimg_start();
    bool patched_any = false;
    EditLog edits(image);
    for (const PatchOption& option : patch_catalogue()) {
        if (!window.box_enabled(option.number) || !window.box_ticked(option.number)) continue;
        const OptionOutcome outcome = apply_option(image, window, option, start);
        if (outcome.patched) patched_any = true;
        if (outcome.lead_failed) window.disable_box(option.number);
    }

    if (!patched_any) {
        window.disable_patch();
        window.show_message(std::string(messages::kNothingToPatch));
        return RunOutcome::nothing_patched;
    }
    const SaveResult saved = image.save_image(edits.changed_ranges(), journal_folder, calls);
    if (!saved.ok()) {
        // The file holds its old bytes (or will, at its next open), so the
        // image must too: a later run would otherwise call patches "already
        // patched" that never reached the file.
        edits.undo();
        const std::string shown = messages::path_for_people(image.file_path());
        window.show_message(saved.status == SaveStatus::recovery_pending
                                ? messages::cannot_save_recovery_pending(shown, saved.reason)
                                : messages::cannot_save(shown, saved.reason));
        return RunOutcome::save_failed;
    }
    window.show_message(std::string(messages::kPatchedSuccessfully));
    window.close_main_window();
    return RunOutcome::saved;
}

}  // namespace tarnwick
