#include "engine/in_place_save.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/journal_folder.h"
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

SaveResult refused(Problem problem) { return {SaveStatus::refused, std::move(problem), {}, false}; }

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

// What a save does about the journals beside it, decided under the file's
// lock once the file is known to hold what was opened.
struct JournalsAtSave {
    Problem refusal;                  // a torn save of this file waits to be put back
    std::vector<std::string> retire;  // this file's journals, dealt with once the save is whole
    std::vector<std::string> marks;   // other files' journals that must never take the result for theirs
};

JournalsAtSave journals_at_save(const JournalFolder& journals, const std::string& key_text, const FileInfo& info,
                                ByteView image, std::span<const ChangedRange> changes) {
    JournalsAtSave out;
    std::optional<ByteString> opened;  // the file as it is before this save, made only when needed
    for (const JournalEntry& entry : journals.journals()) {
        const JournalMatch match = match_of(entry.journal, key_text, info.identity);
        if (match == JournalMatch::none) continue;
        if (match == JournalMatch::by_content) {
            // A journal of another file that would find this save's result
            // torn must never put it back, should the two files turn out to be one.
            const JournalReading after = reading_of(entry, match, image, info.identity.modified_ns, journals);
            if (after.ranges == RangeState::torn && after.digest_ok && !after.settled) {
                out.marks.push_back(settled_marker(entry.stem, digest_of(image)));
            }
            continue;
        }
        if (!opened) {
            opened.emplace(image.begin(), image.end());
            for (const ChangedRange& range : changes) {
                std::copy(range.old_bytes.begin(), range.old_bytes.end(),
                          opened->begin() + static_cast<std::ptrdiff_t>(range.offset));
            }
        }
        const JournalReading now = reading_of(entry, match, *opened, info.identity.modified_ns, journals);
        if (decide_recovery(now).action == RecoveryAction::put_back) {
            out.refusal = Problem::at(FileProblem::journal_in_the_way, journals.path_of(entry.name));
            return out;
        }
        // Retired, or left alone and told of when the file was opened: this
        // save builds on what the person saw, so the journal has had its say.
        out.retire.push_back(entry.name);
    }
    return out;
}

// Writes the new bytes and the marks of settled saves, then removes the
// journal, which commits the save: until then a crash puts it back. What
// stopped it, if anything did.
Problem write_and_commit(FileSystemCalls& calls, Handle file, JournalFolder& journals,
                         std::span<const ChangedRange> changes, const std::vector<std::string>& marks,
                         const std::string& journal_name) {
    if (Problem failure = write_verified(calls, file, changes, RangeSide::new_bytes)) return failure;
    for (const std::string& mark : marks) {
        if (const std::error_code ec = journals.write_mark(mark)) return Problem::from_system(ec);
    }
    // A removal that may not have reached the device is flushed once more;
    // should the journal come back after a power loss, it finds every range
    // new and is retired, never applied.
    const JournalFolder::Removal removal = journals.remove_journal(journal_name);
    if (removal.unlinked) return Problem::from_system(removal.unlinked);
    if (removal.flushed) journals.flush();
    return {};
}

// After a save failed half-way: the old bytes put back and read back, or,
// where that fails too, the journal kept for the next open.
SaveStatus put_back_after_failure(FileSystemCalls& calls, Handle file, JournalFolder& journals,
                                  std::span<const ChangedRange> changes, const std::string& journal_name) {
    if (write_verified(calls, file, changes, RangeSide::old_bytes)) return SaveStatus::recovery_pending;
    // A journal that cannot be removed now names a file that already holds
    // its old bytes: the next open retires it.
    journals.remove_journal(journal_name);
    return SaveStatus::rolled_back;
}

}  // namespace

SaveResult write_in_place(const std::filesystem::path& path, const FileIdentity& expected, ByteView image,
                          std::span<const ChangedRange> changes, const FileDigest& before,
                          const std::filesystem::path& journal_folder, FileSystemCalls& calls) {
    if (changes.empty()) return {SaveStatus::saved, {}, expected, true, before};
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
    JournalFolder journals(calls);
    if (Problem problem = journals.open(journal_folder, true)) return refused(std::move(problem));
    if (const std::error_code ec = calls.try_lock(file)) {
        if (ec == std::errc::resource_unavailable_try_again) return refused(Problem::of_kind(FileProblem::another_run_saving));
        return refused(Problem::from_system(ec));
    }

    // From here until the journal is gone, no other run saves or recovers
    // this file; every check is made now, since a run that held the lock
    // before may have changed it.
    if (const std::error_code ec = calls.describe(file, info)) return refused(Problem::from_system(ec));
    if (info.identity != expected) return refused(Problem::of_kind(FileProblem::changed_since_opened));
    if (const Problem problem = holds_what_was_opened(calls, file, image, changes)) return refused(problem);
    const std::filesystem::path key = calls.resolved(path);
    const std::string key_text = utf8(key);
    journals.scan(nullptr);
    journals.remove_partials(key);
    const JournalsAtSave beside = journals_at_save(journals, key_text, info, image, changes);
    if (beside.refusal) return refused(beside.refusal);

    const SaveJournal record{2, key_text, expected, before, {changes.begin(), changes.end()}};
    const std::string stem = new_journal_stem(key);
    const std::string journal_name = stem + std::string(kJournalSuffix);
    if (const std::error_code ec = journals.write_journal(stem, encode_journal(record))) {
        return refused({FileProblem::journal_failed, system_words(ec), journal_folder, 0, 0});
    }

    // From here on the journal can put the file back, whatever happens.
    SaveResult result{SaveStatus::saved, {}, {}, false, before};
    if (Problem failure = write_and_commit(calls, file, journals, changes, beside.marks, journal_name)) {
        result.status = put_back_after_failure(calls, file, journals, changes, journal_name);
        result.problem = std::move(failure);
    } else {
        for (const std::string& name : beside.retire) journals.remove_journal(name);
    }
    // What the file is now, so that the next save compares with that.
    FileInfo after;
    result.identity_known = !calls.describe(file, after);
    result.identity = after.identity;
    return result;
}

}  // namespace tarnwick
