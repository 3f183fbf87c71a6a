#include "engine/undo_patch.h"

#include <algorithm>

#include "engine/recovery_rules.h"
#include "engine/save_history.h"

namespace tarnwick {
namespace {

std::string resolved_text(const VoiceImage& image, FileSystemCalls& calls) {
    const std::u8string text = calls.resolved(image.file_path()).u8string();
    return std::string(text.begin(), text.end());
}

// Whether the record's ranges hold its new bytes in `bytes` and its old ones
// give the bytes it began with: a record that names these bytes but says
// otherwise is not used.
bool fits(const SaveRecord& record, ByteView bytes) {
    return ranges_in(record.ranges, record.file_size, bytes) == RangeState::all_new &&
           digest_with_old_bytes(bytes, record.ranges) == record.before;
}

SavesOfVoice look_up(SaveHistory& history, const VoiceImage& image) {
    SavesOfVoice saves;
    const FileDigest digest = image.digest();
    const std::int64_t size = image.file_len();
    if ((saves.problem = history.leading_to(digest, size, saves.chain))) return saves;
    const bool made_by_a_save = !history.made(digest, size).empty();
    for (SaveRecord& record : history.interrupted_of_size(size)) {
        RecordReading reading;
        reading.ranges = ranges_in(record.ranges, record.file_size, image.file_buf());
        if (reading.ranges == RangeState::torn) {
            reading.digest_ok = digest_with_old_bytes(image.file_buf(), record.ranges) == record.before;
        }
        reading.finished_made = made_by_a_save;
        if (decide_record(reading).meaning == RecordMeaning::looks_half_way) {
            saves.half_way = std::move(record);
            break;
        }
    }
    return saves;
}

UndoReport refusal(std::string text) {
    UndoReport report;
    report.messages.push_back({MessageKind::refusal, std::move(text)});
    return report;
}

}  // namespace

SavesOfVoice saves_of_voice(const VoiceImage& image, const std::filesystem::path& journal_folder,
                            FileSystemCalls& calls, std::span<const SaveRecord> pending) {
    SaveHistory history(calls, history_folder_beside(journal_folder));
    history.consider_too({pending.begin(), pending.end()});
    return look_up(history, image);
}

HistoryListing history_listing(const SavesOfVoice& found) {
    HistoryListing listing;
    if (found.problem) {
        listing.messages.push_back(
            {MessageKind::refusal, messages::undo::history_unreadable(messages::reason_text(found.problem))});
        return listing;
    }
    if (found.chain.empty() && !found.half_way) {
        listing.verdict = Verdict::nothing_to_do;
        listing.lines.emplace_back(messages::cli::kNoHistory);
        return listing;
    }
    const auto list = [&](const SaveRecord& record, std::string heading) {
        listing.lines.push_back(std::move(heading));
        for (const SaveRecord::Option& option : record.options) {
            listing.lines.push_back(messages::cli::history_option_line(option.number, option.label));
        }
    };
    if (found.half_way) {
        const SaveRecord& record = *found.half_way;
        list(record, messages::cli::half_way_line(record.time_ns, record.options.size(), record.bytes_changed()));
    }
    bool undo_takes_it = !found.half_way;
    for (const SaveRecord& record : found.chain) {
        list(record, messages::cli::history_line(record.time_ns, record.options.size(), record.bytes_changed(), undo_takes_it));
        undo_takes_it = false;
    }
    listing.verdict = Verdict::done;
    return listing;
}

UndoReport undo_last_patch(VoiceImage& image, const std::filesystem::path& journal_folder, FileSystemCalls& calls,
                           bool rehearse, UndoScope scope, std::span<const SaveRecord> pending) {
    SaveHistory history(calls, history_folder_beside(journal_folder));
    history.consider_too({pending.begin(), pending.end()});
    // One digest of the file as opened serves the lookup, the reasons and the undo's own record.
    const FileDigest now = image.digest();
    const SavesOfVoice saves = look_up(history, image);
    const std::string shown = messages::path_for_people(image.file_path());
    if (saves.problem) return refusal(messages::undo::history_unreadable(messages::reason_text(saves.problem)));

    const SaveRecord* taken = nullptr;
    SaveIntent intent;
    if (saves.half_way) {
        taken = &*saves.half_way;
        intent.kind = SaveRecord::Kind::put_back;
    } else if (scope == UndoScope::last_save && !saves.chain.empty()) {
        taken = &saves.chain.front();
        intent.kind = SaveRecord::Kind::undo;
        if (!fits(*taken, image.file_buf())) return refusal(messages::undo::record_does_not_fit(shown));
    }
    UndoReport report;
    if (taken == nullptr) {
        report.outcome = UndoOutcome::nothing_to_undo;
        std::string why;
        if (scope == UndoScope::half_way) {
            why = std::string(messages::cli::kNoInterruptedSave);
        } else {
            // Every recorded patch is taken back only where an undo led back
            // to the bytes its chain began with; where a record between has
            // gone missing, no record tells what left the file as it is.
            const std::vector<SaveRecord> made = history.made(now, image.file_len());
            const bool all_undone = std::any_of(made.begin(), made.end(), [&](const SaveRecord& record) {
                return !record.origin_known() || record.origin == now;
            });
            why = all_undone                                                    ? messages::undo::all_undone(shown)
                  : made.empty() && history.knows_file(resolved_text(image, calls)) ? messages::undo::changed_since(shown)
                                                                                     : messages::undo::never_saved(shown);
        }
        report.messages.push_back({MessageKind::information, std::move(why)});
        return report;
    }
    const bool putting_back = intent.kind == SaveRecord::Kind::put_back;
    report.taken_back = *taken;
    if (rehearse) {
        report.outcome = UndoOutcome::rehearsed;
        report.messages.push_back(
            {MessageKind::information, putting_back ? messages::undo::would_put_back(shown, taken->time_ns, taken->options.size())
                                                    : messages::undo::would_undo(shown, taken->time_ns, taken->options.size())});
        return report;
    }

    EditLog edits(image);
    for (const ChangedRange& range : taken->ranges) image.put_str(static_cast<std::int32_t>(range.offset), range.old_bytes);
    const std::vector<ChangedRange> changes = edits.changed_ranges();
    intent.options = taken->options;
    intent.before = now;
    if (taken->origin_known()) intent.origin = taken->origin;
    const SaveResult saved = image.save_image(changes, journal_folder, calls, intent);
    if (!saved.ok()) {
        edits.undo();
        report.outcome = UndoOutcome::refused;
        report.messages.push_back({MessageKind::failure, messages::save_failure_text(shown, saved.status, saved.problem)});
        return report;
    }
    report.outcome = UndoOutcome::undone;
    report.download = calls.writes_a_download();
    const std::string name = messages::path_for_people(image.file_path().filename());
    report.messages.push_back(
        {MessageKind::information,
         report.download ? messages::page::undo_downloaded(name, taken->time_ns, taken->options.size())
         : putting_back  ? messages::undo::put_back(shown, taken->time_ns, taken->options.size())
                         : messages::undo::undone(shown, taken->time_ns, taken->options.size())});
    if (saved.not_recorded) {
        report.messages.push_back({MessageKind::information, messages::undo::not_recorded(messages::reason_text(saved.not_recorded))});
    }
    // The file as it now is, and the recorded save that left it so.
    SaveHistory after(calls, history_folder_beside(journal_folder));
    const SavesOfVoice now_saved = look_up(after, image);
    report.last_save = now_saved.last_save();
    report.survey = survey_voice(image, now_saved.half_way ? &*now_saved.half_way : nullptr);
    report.view = voice_view(image, *report.survey, report.last_save, now_saved.half_way, report.download);
    return report;
}

Verdict UndoReport::verdict() const {
    switch (outcome) {
        case UndoOutcome::undone:
        case UndoOutcome::rehearsed: return Verdict::done;
        case UndoOutcome::nothing_to_undo: return Verdict::nothing_to_do;
        case UndoOutcome::refused: break;
    }
    return Verdict::refused;
}

Verdict ForgetReport::verdict() const {
    switch (outcome) {
        case Outcome::forgotten: return Verdict::done;
        case Outcome::nothing_recorded: return Verdict::nothing_to_do;
        case Outcome::refused: break;
    }
    return Verdict::refused;
}

ForgetReport forget_history(const VoiceImage& image, const std::filesystem::path& journal_folder,
                            FileSystemCalls& calls) {
    ForgetReport report;
    SaveHistory history(calls, history_folder_beside(journal_folder));
    if (const Problem problem = history.forget(image.digest(), image.file_len(), report.removed)) {
        report.messages.push_back(
            {MessageKind::failure, messages::undo::history_unreadable(messages::reason_text(problem))});
        return report;
    }
    report.outcome = report.removed > 0 ? ForgetReport::Outcome::forgotten : ForgetReport::Outcome::nothing_recorded;
    report.messages.push_back({MessageKind::information, messages::undo::forgot(report.removed)});
    return report;
}

}  // namespace tarnwick
