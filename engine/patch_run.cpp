#include "engine/patch_run.h"

#include "engine/layout_probe.h"
#include "engine/patch_catalogue.h"

namespace tarnwick {

RunOutcome run_patch(VoiceImage& image, WindowOps& window) {
    return run_patch(image, window, system_file_calls());
}

RunOutcome run_patch(VoiceImage& image, WindowOps& window, FileSystemCalls& calls) {
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
    image.open_undo_log();
    for (const PatchOption& option : patch_catalogue()) {
        if (!window.box_enabled(option.number) || !window.box_ticked(option.number)) continue;
        const OptionOutcome outcome = apply_option(image, window, option, start);
        if (outcome.patched) patched_any = true;
        if (outcome.lead_failed) window.disable_box(option.number);
    }

    if (!patched_any) {
        image.close_undo_log();
        window.disable_patch();
        window.show_message(std::string(messages::kNothingToPatch));
        return RunOutcome::nothing_patched;
    }
    const FileResult saved = image.save_image(calls);
    if (!saved.ok) {
        // The file keeps its old bytes, so the image must too: a later run
        // would otherwise call patches "already patched" that never reached it.
        image.undo_logged_writes();
        image.close_undo_log();
        window.show_message(messages::cannot_save(image.file_path().string(), saved.reason));
        return RunOutcome::save_failed;
    }
    image.close_undo_log();
    window.show_message(std::string(messages::kPatchedSuccessfully));
    window.close_main_window();
    return RunOutcome::saved;
}

}  // namespace tarnwick
