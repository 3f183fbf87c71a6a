#include "engine/in_place_save.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/journal_folder.h"
#include "engine/journal_records.h"
#include "engine/save_history.h"
#include "engine/worker_threads.h"

namespace tarnwick {
namespace {

// Whether `there`, the file's bytes from `at`, are what was opened: the
// image's, with the old bytes of each change (sorted, apart) in their place.
bool as_opened(ByteView there, std::int64_t at, ByteView image, std::span<const ChangedRange> changes) {
    const std::int64_t end = at + static_cast<std::int64_t>(there.size());
    const auto same = [&](std::int64_t from, std::int64_t to, const std::uint8_t* wanted) {
        return std::equal(there.begin() + (from - at), there.begin() + (to - at), wanted);
    };
    std::int64_t next = at;  // bytes before it are checked
    auto range = std::lower_bound(changes.begin(), changes.end(), at, [](const ChangedRange& r, std::int64_t offset) {
        return r.offset + static_cast<std::int64_t>(r.old_bytes.size()) <= offset;
    });
    for (; range != changes.end() && range->offset < end; ++range) {
        const std::int64_t from = std::max(range->offset, at);
        const std::int64_t to = std::min(range->offset + static_cast<std::int64_t>(range->old_bytes.size()), end);
        if (!same(next, from, image.data() + next) || !same(from, to, range->old_bytes.data() + (from - range->offset))) {
            return false;
        }
        next = to;
    }
    return same(next, end, image.data() + next);
}

// Whether the whole file holds exactly `image` with every change's old bytes
// in place: what was opened. Read under the lock, since neither a FAT file's
// time nor its identity changes with every write. A large file is read by
// several threads at once where the calls allow it; what it finds is what a
// read from the start would find first.
Problem holds_what_was_opened(FileSystemCalls& calls, Handle handle, ByteView image,
                              std::span<const ChangedRange> changes) {
    // Large enough that a file reached through a browser, where each read
    // costs a round trip, takes few; small enough to stay beside the image.
    constexpr std::size_t kChunk = std::size_t{4} << 20;
    const std::size_t blocks = (image.size() + kChunk - 1) / kChunk;
    const int workers = calls.reads_may_overlap() ? worker_count() : 1;
    std::vector<VoiceBytes> buffers(static_cast<std::size_t>(workers));  // read into, never cleared first
    std::vector<FileProblem> found(blocks, FileProblem::none);
    for_each_block(static_cast<std::int64_t>(blocks), workers, [&](std::int64_t b, int worker) {
        const std::size_t at = static_cast<std::size_t>(b) * kChunk;
        const std::size_t size = std::min(kChunk, image.size() - at);
        VoiceBytes& there = buffers[static_cast<std::size_t>(worker)];
        there.resize(size);
        std::size_t got = 0;
        FileProblem& verdict = found[static_cast<std::size_t>(b)];
        if (read_all_at(calls, handle, static_cast<std::int64_t>(at), there.data(), size, got) || got < size) {
            verdict = FileProblem::unreadable;
        } else if (!as_opened(there, static_cast<std::int64_t>(at), image, changes)) {
            verdict = FileProblem::changed_since_opened;
        }
        return verdict == FileProblem::none;
    });
    for (const FileProblem verdict : found) {
        if (verdict != FileProblem::none) return Problem::of_kind(verdict);
    }
    return {};
}

SaveResult refused(Problem problem) { return {SaveStatus::refused, std::move(problem), {}, false, {}, {}, {}}; }

bool ranges_are_sound(std::span<const ChangedRange> changes, const FileIdentity& expected, ByteView image) {
    std::int64_t end_of_last = 0;
    for (const ChangedRange& range : changes) {
        const auto length = static_cast<std::int64_t>(range.old_bytes.size());
        if (range.offset < end_of_last || length == 0 || range.new_bytes.size() != range.old_bytes.size() ||
            range.offset > expected.size - length ||
            !std::equal(range.new_bytes.begin(), range.new_bytes.end(), image.begin() + range.offset)) {
            return false;
        }
        end_of_last = range.offset + length;
    }
    return expected.size == static_cast<std::int64_t>(image.size());
}

// The save as its journal and its record tell it.
SaveRecord record_for(const SaveIntent& intent, const std::string& key_text, ByteView image,
                      std::span<const ChangedRange> changes, const FileDigest& before, const FileDigest& after,
                      SaveHistory& history, std::int64_t now) {
    SaveRecord record;
    record.kind = intent.kind;
    record.file_path = key_text;
    record.time_ns = now;
    record.options = intent.options;
    record.before = before;
    record.after = after;
    record.file_size = static_cast<std::int64_t>(image.size());
    record.ranges.assign(changes.begin(), changes.end());
    record.state = SaveRecord::State::finished;
    record.token = new_save_token();
    if (intent.origin) {
        record.origin = *intent.origin;
    } else {
        // A patch continues the chain of recorded patches that made the bytes
        // it starts from, or begins one there.
        std::vector<SaveRecord> chain;
        history.leading_to(before, record.file_size, chain);
        record.origin = chain.empty()                  ? before
                        : chain.front().origin_known() ? chain.front().origin
                                                       : chain.back().before;
    }
    return record;
}

}  // namespace

SaveResult write_in_place(const std::filesystem::path& path, const FileIdentity& expected, ByteView image,
                          std::span<const ChangedRange> changes, const FileDigest& before, const FileDigest& after,
                          const SaveIntent& intent, const std::filesystem::path& journal_folder,
                          FileSystemCalls& calls) {
    if (changes.empty()) return {SaveStatus::saved, {}, expected, true, before, {}, {}};
    if (journal_folder.empty()) return refused(Problem::of_kind(FileProblem::no_journal_folder));
    if (!ranges_are_sound(changes, expected, image)) return refused(Problem::of_kind(FileProblem::changed_since_opened));
    Handle file{};
    FileInfo info;
    if (const std::error_code ec = calls.open_for_update(path, file, info)) {
        return refused(Problem::opening_to_write(ec));
    }
    Closer closer(calls, file);
    if (info.is_directory) return refused(Problem::of_kind(FileProblem::folder));
    if (!info.is_regular) return refused(Problem::of_kind(FileProblem::not_regular_file));
    // Both folders are checked before anything is written: a save that could
    // not be recorded could not be taken back.
    JournalFolder journals(calls);
    if (Problem problem = journals.open(journal_folder, true)) return refused(std::move(problem));
    SaveHistory history(calls, history_folder_beside(journal_folder));
    if (Problem problem = history.open(true)) return refused(std::move(problem));
    if (const std::error_code ec = calls.try_lock(file)) {
        if (ec == std::errc::resource_unavailable_try_again) return refused(Problem::of_kind(FileProblem::another_run_saving));
        return refused(Problem::from_system(ec));
    }

    // From here until the journal is gone, no other run saves this file;
    // every check is made now, since a run that held the lock before may
    // have changed it. The identity tells a file replaced at its path; the
    // bytes tell a change that kept the time (as a FUSE FAT driver does).
    if (const std::error_code ec = calls.describe(file, info)) return refused(Problem::from_system(ec));
    if (info.identity != expected) return refused(Problem::of_kind(FileProblem::changed_since_opened));
    if (const Problem problem = holds_what_was_opened(calls, file, image, changes)) return refused(problem);
    const std::filesystem::path key = calls.resolved(path);
    retire_journals(journals, history, false, {}, key);

    const std::string key_text = utf8(key);
    const SaveRecord record = record_for(intent, key_text, image, changes, before, after, history, calls.now_ns());
    const std::string stem = journal_stem_for(key, record.token);
    const std::string journal_name = stem + std::string(kJournalSuffix);
    Handle held{};
    if (const std::error_code ec = journals.write_journal(stem, encode_journal(journal_of(record, expected)), held)) {
        return refused({FileProblem::journal_failed, system_words(ec), journal_folder, 0, 0});
    }
    Closer journal_held(calls, held);

    // From here on the journal is the save's record, whatever happens.
    SaveResult result{SaveStatus::saved, {}, {}, false, before, record, {}};
    if (Problem failure = write_verified(calls, file, changes, RangeSide::new_bytes)) {
        result.problem = std::move(failure);
        // Put back, and the whole file as it was opened: a device that
        // misplaces a write may have changed bytes outside the ranges.
        const bool put_back = !write_verified(calls, file, changes, RangeSide::old_bytes) &&
                              !holds_what_was_opened(calls, file, image, changes);
        if (put_back) {
            result.status = SaveStatus::rolled_back;
            result.record.reset();
            journals.remove(journal_name);  // proven all old: nothing to record
        } else {
            result.status = SaveStatus::not_put_back;
            result.record->state = SaveRecord::State::interrupted;
            if (Problem problem = history.add(*result.record)) {
                result.not_recorded = std::move(problem);  // the journal stays for the next open
            } else {
                journals.remove(journal_name);
            }
        }
    } else if (Problem problem = history.add(record)) {
        result.not_recorded = std::move(problem);  // the journal stays for the next open
    } else {
        journals.remove(journal_name);
    }
    journal_held.close();
    // What the file is now, so that the next save compares with that.
    FileInfo after_save;
    result.identity_known = !calls.describe(file, after_save);
    result.identity = after_save.identity;
    return result;
}

}  // namespace tarnwick
