#include "engine/patch_run.h"

#include "engine/layout_probe.h"

namespace tarnwick {
namespace {

// The run up to its write-back: the checks, then every enabled and ticked
// option in catalogue order. Returns the outcome when the run ends here.
std::optional<RunOutcome> apply_selected(VoiceImage& image, WindowOps& window, RunDetails& details) {
    const ContainerKind kind = detect_container(image);
    if (kind == ContainerKind::none) {
        window.disable_patch();
        window.show_message({MessageKind::refusal, std::string(messages::kNotVoiceFile)});
        return RunOutcome::not_a_voice_file;
    }
    const Layout layout = probe_layout(image, kind);
    if (!layout.located()) {
        window.disable_patch();
        window.show_message({MessageKind::refusal, std::string(messages::kAreaNotLocated)});
        return RunOutcome::area_not_located;
    }

    // Every search the options may make, answered from one pass.
    IndexedSearch search(image, layout.dllimg_start, catalogue_search());

    bool patched_any = false;
    for (const PatchOption& option : patch_catalogue()) {
        if (!window.box_enabled(option.number) || !window.box_ticked(option.number)) continue;
        const OptionOutcome outcome = apply_option(image, window, option, search);
        details.options[static_cast<std::size_t>(option.number - 1)] = outcome.state;
        if (outcome.patched) patched_any = true;
        if (outcome.lead_failed) window.disable_box(option.number);
    }
    if (!patched_any) {
        window.disable_patch();
        window.show_message({MessageKind::information, std::string(messages::kNothingToPatch)});
        return RunOutcome::nothing_patched;
    }
    return std::nullopt;
}

}  // namespace

RunOutcome run_patch(VoiceImage& image, WindowOps& window, const std::filesystem::path& journal_folder,
                     FileSystemCalls& calls, RunDetails* details) {
    RunDetails ignored;
    RunDetails& told = details != nullptr ? *details : ignored;
    told = {};
    EditLog edits(image);
    if (const std::optional<RunOutcome> ended = apply_selected(image, window, told)) return *ended;

    told.changes = edits.changed_ranges();
    const SaveResult saved = image.save_image(told.changes, journal_folder, calls);
    told.save = saved.status;
    if (!saved.ok()) {
        // The file holds its old bytes (or will, at its next open), so the
        // image must too: a later run would otherwise call patches "already
        // patched" that never reached the file.
        edits.undo();
        const std::string shown = messages::path_for_people(image.file_path());
        window.show_message({MessageKind::failure, messages::save_failure_text(shown, saved.status, saved.problem)});
        return RunOutcome::save_failed;
    }
    window.show_message({MessageKind::information, std::string(messages::kPatchedSuccessfully)});
    window.close_main_window();
    return RunOutcome::saved;
}

RunOutcome rehearse_patch(VoiceImage& image, WindowOps& window, RunDetails& details) {
    details = {};
    EditLog edits(image);
    if (const std::optional<RunOutcome> ended = apply_selected(image, window, details)) return *ended;
    details.changes = edits.changed_ranges();
    edits.undo();
    return RunOutcome::rehearsed;
}

}  // namespace tarnwick
