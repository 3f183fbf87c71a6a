#include "engine/patch_run.h"

#include "engine/layout_probe.h"
#include "engine/undo_patch.h"

namespace tarnwick {
namespace {

// The run up to its write-back: the checks, then every enabled and ticked
// option in catalogue order. Returns true when the run ends here.
bool ended_before_saving(VoiceImage& image, RunReport& report) {
    const auto refuse = [&](RunOutcome outcome, MessageKind kind, std::string_view text) {
        report.outcome = outcome;
        report.controls.patch_enabled = false;
        report.messages.push_back({kind, std::string(text)});
        return true;
    };
    const ContainerKind kind = detect_container(image);
    if (kind == ContainerKind::none) return refuse(RunOutcome::not_a_voice_file, MessageKind::refusal, messages::kNotVoiceFile);
    const Layout layout = probe_layout(image, kind);
    if (!layout.located()) return refuse(RunOutcome::area_not_located, MessageKind::refusal, messages::kAreaNotLocated);

    // Every search the options may make, answered from one pass.
    IndexedSearch search(image, layout.dllimg_start, catalogue_search());
    MessageList told;
    bool patched_any = false;
    for (const PatchOption& option : patch_catalogue()) {
        if (!report.controls.box_enabled(option.number) || !report.controls.box_ticked(option.number)) continue;
        const OptionOutcome outcome = apply_option(image, told, option, search);
        report.details.options[static_cast<std::size_t>(option.number - 1)] = outcome.state;
        if (outcome.patched) patched_any = true;
        // An option whose lead is missing stays missing: its box is of no more use.
        if (outcome.lead_failed) report.controls.enabled[static_cast<std::size_t>(option.number - 1)] = false;
    }
    report.messages = std::move(told.messages);
    if (!patched_any) return refuse(RunOutcome::nothing_patched, MessageKind::information, messages::kNothingToPatch);
    return false;
}

}  // namespace

std::vector<int> RunDetails::patched_options() const {
    std::vector<int> patched;
    for (int k = 1; k <= kOptionCount; ++k) {
        if (options[static_cast<std::size_t>(k - 1)] == OptionState::ready) patched.push_back(k);
    }
    return patched;
}

Verdict RunReport::verdict() const {
    switch (outcome) {
        case RunOutcome::saved:
        case RunOutcome::rehearsed: return Verdict::done;
        case RunOutcome::nothing_patched: return Verdict::nothing_to_do;
        case RunOutcome::not_a_voice_file:
        case RunOutcome::area_not_located:
        case RunOutcome::save_failed: break;
    }
    return Verdict::refused;
}

RunListing run_listing(const RunReport& run, bool verbose) {
    RunListing listing;
    const bool rehearsed = run.outcome == RunOutcome::rehearsed;
    int changing = 0;
    for (const PatchOption& option : patch_catalogue()) {
        const std::optional<OptionState>& state = run.details.options[static_cast<std::size_t>(option.number - 1)];
        if (!state) continue;
        std::string_view word = state_text(*state);
        if (*state == OptionState::ready) {
            ++changing;
            word = messages::cli::ready_option_word(rehearsed, run.outcome == RunOutcome::saved);
        }
        listing.lines.push_back(messages::cli::apply_row(option.number, word, option.label));
    }
    std::int64_t bytes = 0;
    for (const ChangedRange& range : run.details.changes) {
        bytes += static_cast<std::int64_t>(range.new_bytes.size());
        if (!verbose) continue;
        for (std::string& line : messages::cli::change_lines(range.offset, range.old_bytes, range.new_bytes)) {
            listing.lines.push_back(std::move(line));
        }
    }
    if (rehearsed) {
        listing.closing =
            messages::cli::dry_run_summary(changing, bytes, static_cast<std::int64_t>(run.details.changes.size()));
    }
    return listing;
}

namespace {

RunOffer offer_after(const SaveResult& saved) {
    switch (saved.status) {
        case SaveStatus::saved:
        case SaveStatus::not_put_back: return RunOffer::none;
        case SaveStatus::rolled_back: return RunOffer::patched_copy;
        case SaveStatus::refused: break;
    }
    switch (saved.problem.what) {
        case FileProblem::changed_since_opened:
        case FileProblem::unreadable:
        case FileProblem::another_run_saving:
        case FileProblem::in_use: return RunOffer::open_again;
        default: return RunOffer::patched_copy;
    }
}

}  // namespace

RunReport run_patch(VoiceImage& image, const WindowControls& shown, const std::filesystem::path& journal_folder,
                    FileSystemCalls& calls) {
    RunReport report;
    report.controls = shown;
    EditLog edits(image);
    if (ended_before_saving(image, report)) return report;

    report.details.changes = edits.changed_ranges();
    // The save carries what it is, so that its journal and its record can
    // tell it and it can be taken back.
    SaveIntent intent;
    intent.before = edits.digest_before();
    for (const int k : report.details.patched_options()) {
        intent.options.push_back({k, std::string(patch_catalogue()[static_cast<std::size_t>(k - 1)].label)});
    }
    const SaveResult saved = image.save_image(report.details.changes, journal_folder, calls, intent);
    report.details.save = saved.status;
    const std::string name = messages::path_for_people(image.file_path().filename());
    if (!saved.ok()) {
        // The file holds its old bytes (or, not put back, is recorded as an
        // interrupted save), so the image must hold them too: a later run
        // would otherwise call patches "already patched" that never reached
        // the file. The window shows it anew.
        edits.undo();
        report.outcome = RunOutcome::save_failed;
        report.offer = offer_after(saved);
        if (report.offer == RunOffer::patched_copy) report.offer_line = messages::page::download_offered(name);
        if (report.offer == RunOffer::open_again) report.offer_line = messages::page::open_again_offered(name);
        report.survey = survey_voice(image);
        const SavesOfVoice saves = saves_of_voice(image, journal_folder, calls);
        report.view = voice_view(image, *report.survey, saves.last_save(), saves.half_way);
        const std::string shown_path = messages::path_for_people(image.file_path());
        report.messages.push_back(
            {MessageKind::failure, messages::save_failure_text(shown_path, saved.status, saved.problem)});
        return report;
    }
    report.outcome = RunOutcome::saved;
    report.saved_line = messages::page::saved(name, intent.options.size());
    report.download = calls.writes_a_download();
    if (report.download) report.download_line = messages::page::downloaded(name);
    report.messages.push_back({MessageKind::information, std::string(messages::kPatchedSuccessfully)});
    // The save stands either way; its kept journal becomes its record later.
    if (saved.not_recorded) {
        report.messages.push_back(
            {MessageKind::information, messages::undo::not_recorded(messages::reason_text(saved.not_recorded))});
    }
    report.close_window = true;
    return report;
}

RunReport rehearse_patch(VoiceImage& image, const WindowControls& shown) {
    RunReport report;
    report.controls = shown;
    EditLog edits(image);
    if (ended_before_saving(image, report)) return report;
    report.details.changes = edits.changed_ranges();
    edits.undo();
    report.outcome = RunOutcome::rehearsed;
    return report;
}

}  // namespace tarnwick
