#include "engine/undo_patch.h"

#include <chrono>

#include "engine/patch_catalogue.h"
#include "engine/save_history.h"

namespace tarnwick {
namespace {

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string resolved_text(const VoiceImage& image, FileSystemCalls& calls) {
    const std::u8string text = calls.resolved(image.file_path()).u8string();
    return std::string(text.begin(), text.end());
}

// Whether the record's ranges hold its new bytes in `bytes` and its old ones
// give the bytes it began with: a record that names these bytes but says
// otherwise is not used.
bool fits(const SaveRecord& record, ByteView bytes) {
    if (record.file_size != static_cast<std::int64_t>(bytes.size())) return false;
    for (const ChangedRange& range : record.ranges) {
        const ByteView there = bytes.subspan(static_cast<std::size_t>(range.offset), range.new_bytes.size());
        if (!std::equal(there.begin(), there.end(), range.new_bytes.begin(), range.new_bytes.end())) return false;
    }
    return digest_with_old_bytes(bytes, record.ranges) == record.before;
}

}  // namespace

Problem record_patch(const VoiceImage& image, const FileDigest& before, std::span<const ChangedRange> changes,
                     const std::vector<int>& options, const std::filesystem::path& journal_folder,
                     FileSystemCalls& calls) {
    SaveRecord record;
    record.kind = SaveRecord::Kind::patch;
    record.file_path = resolved_text(image, calls);
    record.time_ns = now_ns();
    for (const int k : options) {
        record.options.push_back({k, std::string(patch_catalogue()[static_cast<std::size_t>(k - 1)].label)});
    }
    record.before = before;
    record.after = image.digest();
    record.file_size = image.file_len();
    record.ranges.assign(changes.begin(), changes.end());
    SaveHistory history(calls, history_folder_beside(journal_folder));
    return history.add(record);
}

namespace {

// The saves that lead to bytes with `digest`, from `history`.
UndoReport saves_leading_to(SaveHistory& history, const FileDigest& digest) {
    UndoReport report;
    if (const Problem problem = history.leading_to(digest, report.history)) {
        report.messages.push_back({MessageKind::refusal, messages::undo::history_unreadable(messages::reason_text(problem))});
        return report;
    }
    report.outcome = report.history.empty() ? UndoOutcome::nothing_to_undo : UndoOutcome::rehearsed;
    return report;
}

}  // namespace

UndoReport saves_leading_to(const VoiceImage& image, const std::filesystem::path& journal_folder,
                            FileSystemCalls& calls) {
    SaveHistory history(calls, history_folder_beside(journal_folder));
    return saves_leading_to(history, image.digest());
}

UndoReport undo_last_patch(VoiceImage& image, const std::filesystem::path& journal_folder, FileSystemCalls& calls,
                           bool rehearse) {
    // One digest of the file as opened serves the lookup, the reasons and the undo's own record.
    const FileDigest before_undo = image.digest();
    SaveHistory history(calls, history_folder_beside(journal_folder));
    UndoReport report = saves_leading_to(history, before_undo);
    const std::string shown = messages::path_for_people(image.file_path());
    if (report.outcome == UndoOutcome::refused) return report;
    if (report.history.empty()) {
        std::string why = history.undone_to(before_undo)                          ? messages::undo::all_undone(shown)
                          : history.knows_file(resolved_text(image, calls)) ? messages::undo::changed_since(shown)
                                                                             : messages::undo::never_saved(shown);
        report.messages.push_back({MessageKind::information, std::move(why)});
        return report;
    }
    const SaveRecord& last = report.history.front();
    if (!fits(last, image.file_buf())) {
        report.outcome = UndoOutcome::refused;
        report.messages.push_back({MessageKind::refusal, messages::undo::record_does_not_fit(shown)});
        return report;
    }
    if (rehearse) {
        report.outcome = UndoOutcome::rehearsed;
        report.messages.push_back(
            {MessageKind::information, messages::undo::would_undo(shown, last.time_ns, last.options.size())});
        return report;
    }

    EditLog edits(image);
    for (const ChangedRange& range : last.ranges) image.put_str(static_cast<std::int32_t>(range.offset), range.old_bytes);
    const std::vector<ChangedRange> changes = edits.changed_ranges();
    const SaveResult saved = image.save_image(changes, journal_folder, calls, before_undo);
    if (!saved.ok()) {
        edits.undo();
        report.outcome = UndoOutcome::refused;
        report.messages.push_back({MessageKind::failure, messages::save_failure_text(shown, saved.status, saved.problem)});
        return report;
    }
    report.outcome = UndoOutcome::undone;
    report.survey = survey_voice(image);
    if (report.history.size() > 1) report.last_save = report.history[1];
    report.messages.push_back(
        {MessageKind::information, messages::undo::undone(shown, last.time_ns, last.options.size())});

    // The undo is a save of its own: recorded, but never itself taken back.
    SaveRecord undo{SaveRecord::Kind::undo, resolved_text(image, calls), now_ns(), last.options, before_undo,
                    last.before, image.file_len(), changes};
    if (const Problem problem = history.add(undo)) {
        report.messages.push_back({MessageKind::information, messages::undo::not_recorded(messages::reason_text(problem))});
    }
    return report;
}

Problem forget_history(const VoiceImage& image, const std::filesystem::path& journal_folder, FileSystemCalls& calls,
                       int& removed) {
    SaveHistory history(calls, history_folder_beside(journal_folder));
    return history.forget(image.digest(), removed);
}

}  // namespace tarnwick
