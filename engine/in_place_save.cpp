#include "engine/in_place_save.h"

#include <algorithm>
#include <optional>
#include <string>

#include "engine/journal_format.h"
#include "engine/recovery_rules.h"

namespace tarnwick {
namespace {

using Handle = FileSystemCalls::Handle;
using Folder = FileSystemCalls::Folder;
using FileInfo = FileSystemCalls::FileInfo;
using What = RecoveryEvent::What;
using tarnwick::RecoveryAction;

// Closes a handle when it goes out of scope; for a voice file, that also
// ends this run's lock on it.
class Closer {
public:
    Closer(FileSystemCalls& calls, Handle handle) : calls_(calls), handle_(handle) {}
    ~Closer() { calls_.close(handle_); }
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;

private:
    FileSystemCalls& calls_;
    Handle handle_;
};

struct JournalEntry {
    std::string name;
    std::string stem;
    SaveJournal journal;
    std::int64_t written_ns = 0;  // the journal file's time: when its save began
};

// The journal folder, used only when it is the user's own: a real folder,
// owned by the user, that nobody else may write to (the rule ssh applies to
// ~/.ssh). It is opened once and then used by the names inside it.
class JournalFolder {
public:
    explicit JournalFolder(FileSystemCalls& calls) : calls_(calls) {}
    ~JournalFolder() {
        if (folder_.handle != -1) calls_.close(folder_.handle);
    }
    JournalFolder(const JournalFolder&) = delete;
    JournalFolder& operator=(const JournalFolder&) = delete;

    // With `create`, a missing folder is made, private to the user. Without,
    // a missing folder is no problem and leaves the folder closed.
    Problem open(const std::filesystem::path& path, bool create) {
        if (create) {
            if (const std::error_code ec = calls_.make_private_folder(path)) {
                return {FileProblem::journal_failed, system_words(ec), path, 0, 0};
            }
        }
        FileInfo info;
        if (const std::error_code ec = calls_.open_folder(path, folder_, info)) {
            if (!create && ec == std::errc::no_such_file_or_directory) return {};
            return {FileProblem::journal_failed, system_words(ec), path, 0, 0};
        }
        Problem untrusted;
        if (info.is_link) {
            untrusted = Problem::at(FileProblem::journal_folder_is_link, path);
        } else if (!info.is_directory) {
            untrusted = Problem::at(FileProblem::journal_folder_not_folder, path);
        } else if (!info.owned_by_user) {
            untrusted = Problem::at(FileProblem::journal_folder_foreign, path);
        } else if (info.others_may_write) {
            untrusted = Problem::at(FileProblem::journal_folder_open_to_others, path);
        }
        if (untrusted && folder_.handle != -1) {
            calls_.close(folder_.handle);
            folder_.handle = -1;
        }
        return untrusted;
    }
    bool is_open() const { return folder_.handle != -1; }
    const Folder& folder() const { return folder_; }
    std::filesystem::path path_of(const std::string& name) const { return folder_.path / utf8_path(name); }

    // Lists the folder and reads every journal in it; what is not a journal
    // of ours goes to `strangers`, left where it is.
    void scan(std::vector<std::pair<std::string, Problem>>* strangers) {
        journals_.clear();
        names_.clear();
        if (!is_open() || calls_.list_folder(folder_, names_)) return;
        std::sort(names_.begin(), names_.end());
        for (const std::string& name : names_) {
            const std::string_view stem = journal_stem(name);
            if (stem.empty()) continue;
            SaveJournal journal;
            std::int64_t written_ns = 0;
            if (const Problem problem = read_journal(name, journal, written_ns)) {
                if (strangers != nullptr) strangers->emplace_back(name, problem);
                continue;
            }
            journals_.push_back({name, std::string(stem), std::move(journal), written_ns});
        }
    }
    const std::vector<JournalEntry>& journals() const { return journals_; }
    bool has(const std::string& name) const { return std::binary_search(names_.begin(), names_.end(), name); }

    struct Removal {
        std::error_code unlinked;  // the journal is still there
        std::error_code flushed;   // its removal may not have reached the device
        explicit operator bool() const { return unlinked || flushed; }
    };
    // Removes a journal this run wrote or has just dealt with, and the marks of
    // file contents it was to leave alone.
    Removal remove_journal(const std::string& name) {
        const std::string stem(journal_stem(name));
        const std::string marks = stem + std::string(kSettledInfix);
        Removal removal;
        removal.unlinked = calls_.remove_in_folder(folder_, name);
        for (const std::string& other : names_) {
            if (other.starts_with(marks)) calls_.remove_in_folder(folder_, other);
        }
        removal.flushed = calls_.flush_folder(folder_);
        return removal;
    }

    // Journals of saves of `key` that died before they were whole: they never
    // touched the file. Removed only under the file's lock, so their writer is gone.
    bool has_partials(const std::filesystem::path& key) const {
        const std::string prefix = path_hash(key) + '-';
        return std::any_of(names_.begin(), names_.end(), [&](const std::string& name) {
            return name.starts_with(prefix) && name.ends_with(kPartialSuffix);
        });
    }
    void remove_partials(const std::filesystem::path& key) {
        const std::string prefix = path_hash(key) + '-';
        for (const std::string& name : names_) {
            if (name.starts_with(prefix) && name.ends_with(kPartialSuffix)) calls_.remove_in_folder(folder_, name);
        }
    }

    // Writes a whole journal under a name that no reader takes for one, then
    // gives it its real name, so that a journal file is always whole.
    std::error_code write_journal(const std::string& stem, ByteView bytes) {
        const std::string partial = stem + std::string(kPartialSuffix);
        Handle handle{};
        if (const std::error_code ec = calls_.create_in_folder(folder_, partial, handle)) return ec;
        std::error_code ec = write_all_at(calls_, handle, 0, bytes);
        if (!ec) ec = calls_.flush(handle);
        const std::error_code closed = calls_.close(handle);
        if (!ec) ec = closed;
        if (!ec) ec = calls_.rename_in_folder(folder_, partial, stem + std::string(kJournalSuffix));
        if (!ec) ec = calls_.flush_folder(folder_);
        if (ec) {
            calls_.remove_in_folder(folder_, partial);
            calls_.remove_in_folder(folder_, stem + std::string(kJournalSuffix));
        }
        return ec;
    }

    std::error_code flush() { return calls_.flush_folder(folder_); }

    // Writes the journal again under a new name, with its marks, and
    // removes the old one; returns the name it has now (the old one when
    // that failed, which only makes the journal look older than it is).
    std::string renew(const JournalEntry& entry) {
        const std::string stem = new_journal_stem(utf8_path(entry.journal.file_path));
        const std::string marks = entry.stem + std::string(kSettledInfix);
        for (const std::string& name : names_) {
            if (name.starts_with(marks) && write_mark(stem + name.substr(entry.stem.size()))) return entry.name;
        }
        if (write_journal(stem, encode_journal(entry.journal))) {
            for (const std::string& name : names_) {
                if (name.starts_with(marks)) calls_.remove_in_folder(folder_, stem + name.substr(entry.stem.size()));
            }
            return entry.name;
        }
        remove_journal(entry.name);
        return stem + std::string(kJournalSuffix);
    }

    std::error_code write_mark(const std::string& name) {
        Handle handle{};
        if (const std::error_code ec = calls_.create_in_folder(folder_, name, handle)) {
            return ec == std::errc::file_exists ? std::error_code{} : ec;
        }
        std::error_code ec = calls_.flush(handle);
        const std::error_code closed = calls_.close(handle);
        return ec ? ec : closed;
    }

private:
    Problem read_journal(const std::string& name, SaveJournal& journal, std::int64_t& written_ns) {
        Handle handle{};
        FileInfo info;
        if (const std::error_code ec = calls_.open_in_folder(folder_, name, handle, info)) {
            if (ec == std::errc::too_many_symbolic_link_levels) return Problem::of_kind(FileProblem::link);
            return Problem::from_system(ec);
        }
        Closer closer(calls_, handle);
        if (info.is_link) return Problem::of_kind(FileProblem::link);
        written_ns = info.identity.modified_ns;
        if (info.identity.size > static_cast<std::int64_t>(kMaxJournalBytes)) {
            return Problem::of_kind(FileProblem::journal_too_long);
        }
        ByteString bytes;
        if (const Problem problem =
                read_whole_open_file(calls_, handle, info, static_cast<std::int64_t>(kMaxJournalBytes), bytes)) {
            return problem;
        }
        std::optional<SaveJournal> decoded = decode_journal(bytes);
        if (!decoded) return Problem::of_kind(FileProblem::not_a_journal);
        journal = std::move(*decoded);
        return {};
    }

    FileSystemCalls& calls_;
    Folder folder_;
    std::vector<std::string> names_;
    std::vector<JournalEntry> journals_;
};

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

JournalMatch match_of(const SaveJournal& journal, const std::string& key, const FileIdentity& identity) {
    if (journal.file_path == key) return JournalMatch::by_path;
    if (journal.identity.same_file(identity)) return JournalMatch::by_identity;
    // Journals written before the digest was kept prove nothing by content.
    if (journal.version >= 2 && journal.identity.size == identity.size) return JournalMatch::by_content;
    return JournalMatch::none;
}

RangeState ranges_in(const SaveJournal& journal, ByteView bytes) {
    if (journal.identity.size != static_cast<std::int64_t>(bytes.size())) return RangeState::foreign;
    bool any_old = false;
    bool any_new = false;
    for (const ChangedRange& range : journal.ranges) {
        const ByteView there = bytes.subspan(static_cast<std::size_t>(range.offset), range.old_bytes.size());
        if (std::equal(there.begin(), there.end(), range.old_bytes.begin())) {
            any_old = true;
            continue;
        }
        if (std::equal(there.begin(), there.end(), range.new_bytes.begin())) {
            any_new = true;
            continue;
        }
        for (std::size_t i = 0; i < there.size(); ++i) {
            if (there[i] != range.old_bytes[i] && there[i] != range.new_bytes[i]) return RangeState::foreign;
        }
        any_old = any_new = true;  // a range written in part
    }
    if (any_new && any_old) return RangeState::torn;
    return any_new ? RangeState::all_new : RangeState::all_old;
}

// What a journal finds in `bytes`, the whole file as it is now.
JournalReading reading_of(const JournalEntry& entry, JournalMatch match, ByteView bytes, std::int64_t modified_ns,
                          const JournalFolder& journals) {
    JournalReading reading;
    reading.match = match;
    reading.ranges = ranges_in(entry.journal, bytes);
    if (reading.ranges != RangeState::torn) return reading;
    reading.digest_ok =
        entry.journal.version < 2 || digest_with_old_bytes(bytes, entry.journal.ranges) == entry.journal.digest;
    if (reading.digest_ok) reading.settled = journals.has(settled_marker(entry.stem, digest_of(bytes)));
    reading.modified_after = modified_ns > entry.written_ns + kLongestWriteNs;
    return reading;
}

// Reads what the device holds at every range and compares it with what
// `bytes_of` says the range should hold.
template <typename BytesOf>
Problem read_back(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges, BytesOf bytes_of) {
    ByteString there;
    for (const ChangedRange& range : ranges) {
        const ByteString& wanted = bytes_of(range);
        there.assign(wanted.size(), 0);
        std::size_t got = 0;
        if (read_all_uncached(calls, handle, range.offset, there.data(), there.size(), got) || got < there.size()) {
            return Problem::of_kind(FileProblem::unreadable);
        }
        if (there != wanted) return Problem::of_kind(FileProblem::read_back_mismatch);
    }
    return {};
}

const ByteString& old_of(const ChangedRange& range) { return range.old_bytes; }
const ByteString& new_of(const ChangedRange& range) { return range.new_bytes; }

// Writes one side of every range, lowest offset first (a FUSE FAT driver has
// been seen to misplace a write below one it took just before in the same
// cluster), flushes, and reads them back past the cache.
template <typename BytesOf>
Problem write_verified(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges, BytesOf bytes_of) {
    for (const ChangedRange& range : ranges) {
        if (const std::error_code ec = write_all_at(calls, handle, range.offset, bytes_of(range))) {
            return Problem::from_system(ec);
        }
    }
    if (const std::error_code ec = calls.flush(handle)) return Problem::from_system(ec);
    return read_back(calls, handle, ranges, bytes_of);
}

// Copies the old bytes of every range that meets [at, at + chunk.size()) into `chunk`.
void overlay_old_bytes(std::span<std::uint8_t> chunk, std::int64_t at, std::span<const ChangedRange> ranges) {
    const std::int64_t end = at + static_cast<std::int64_t>(chunk.size());
    for (const ChangedRange& range : ranges) {
        const std::int64_t range_end = range.offset + static_cast<std::int64_t>(range.old_bytes.size());
        const std::int64_t from = std::max(at, range.offset);
        const std::int64_t to = std::min(end, range_end);
        if (from >= to) continue;
        std::copy(range.old_bytes.begin() + static_cast<std::ptrdiff_t>(from - range.offset),
                  range.old_bytes.begin() + static_cast<std::ptrdiff_t>(to - range.offset),
                  chunk.begin() + static_cast<std::ptrdiff_t>(from - at));
    }
}

// Whether the whole file holds exactly `image` with every change's old bytes
// in place: what was opened. Read under the lock, since neither a FAT file's
// time nor its identity changes with every write.
Problem holds_what_was_opened(FileSystemCalls& calls, Handle handle, ByteView image,
                              std::span<const ChangedRange> changes) {
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    ByteString there(std::min(kChunk, image.size()), 0);
    ByteString wanted(there.size(), 0);
    for (std::size_t at = 0; at < image.size(); at += kChunk) {
        const std::size_t size = std::min(kChunk, image.size() - at);
        std::size_t got = 0;
        if (read_all_at(calls, handle, static_cast<std::int64_t>(at), there.data(), size, got) || got < size) {
            return Problem::of_kind(FileProblem::unreadable);
        }
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), size, wanted.begin());
        overlay_old_bytes({wanted.data(), size}, static_cast<std::int64_t>(at), changes);
        if (!std::equal(there.begin(), there.begin() + static_cast<std::ptrdiff_t>(size), wanted.begin())) {
            return Problem::of_kind(FileProblem::changed_since_opened);
        }
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

}  // namespace

SaveResult write_in_place(const std::filesystem::path& path, const FileIdentity& expected, ByteView image,
                          std::span<const ChangedRange> changes, const std::filesystem::path& journal_folder,
                          FileSystemCalls& calls) {
    if (changes.empty()) return {SaveStatus::saved, {}, expected, true};
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

    const SaveJournal record{2, key_text, expected, digest_with_old_bytes(image, changes), {changes.begin(), changes.end()}};
    const std::string stem = new_journal_stem(key);
    const std::string journal_name = stem + std::string(kJournalSuffix);
    if (const std::error_code ec = journals.write_journal(stem, encode_journal(record))) {
        return refused({FileProblem::journal_failed, system_words(ec), journal_folder, 0, 0});
    }

    // From here on the journal can put the file back, whatever happens.
    Problem failure = write_verified(calls, file, changes, new_of);
    for (const std::string& mark : beside.marks) {
        if (!failure) {
            if (const std::error_code ec = journals.write_mark(mark)) failure = Problem::from_system(ec);
        }
    }
    if (!failure) {
        // Removing the journal commits the save: until then a crash puts it
        // back. A removal that may not have reached the device is flushed
        // once more; should the journal come back after a power loss, it
        // finds every range new and is retired, never applied.
        const JournalFolder::Removal removal = journals.remove_journal(journal_name);
        if (removal.unlinked) {
            failure = Problem::from_system(removal.unlinked);
        } else if (removal.flushed) {
            journals.flush();
        }
    }
    SaveResult result{SaveStatus::saved, {}, {}, false};
    if (failure) {
        result.problem = failure;
        if (write_verified(calls, file, changes, old_of)) {
            result.status = SaveStatus::recovery_pending;  // the journal stays
        } else {
            result.status = SaveStatus::rolled_back;
            // A journal that cannot be removed now names a file that already
            // holds its old bytes: the next open retires it.
            journals.remove_journal(journal_name);
        }
    } else {
        for (const std::string& name : beside.retire) journals.remove_journal(name);
    }
    // What the file is now, so that the next save compares with that.
    FileInfo after;
    result.identity_known = !calls.describe(file, after);
    result.identity = after.identity;
    return result;
}

VoiceFileRead read_voice_file(const std::filesystem::path& path, const std::filesystem::path& journal_folder,
                              RecoveryMode mode, std::int64_t max_length, FileSystemCalls& calls) {
    VoiceFileRead out;
    JournalFolder journals(calls);
    if (!journal_folder.empty()) {
        if (Problem problem = journals.open(journal_folder, false)) {
            out.events.push_back({What::folder_untrusted, {}, std::move(problem), {}, 0});
        }
    }
    std::vector<std::pair<std::string, Problem>> strangers;
    journals.scan(&strangers);
    for (auto& [name, problem] : strangers) {
        out.events.push_back({What::not_a_journal, journals.path_of(name), std::move(problem), {}, 0});
    }

    const auto read_plainly = [&] {
        out.problem = read_whole_file(path, max_length, out.bytes, out.identity, calls);
        return std::move(out);
    };
    const std::filesystem::path key = calls.resolved(path);
    if (journals.journals().empty() && !journals.has_partials(key)) return read_plainly();

    // Looking opens the file for reading and takes no lock, so that it never
    // stands in a save's way.
    const bool looking = mode == RecoveryMode::look_only;
    Handle file{};
    FileInfo info;
    std::error_code cannot_update = std::make_error_code(std::errc::permission_denied);
    if (!looking) cannot_update = calls.open_for_update(path, file, info);
    if (cannot_update && calls.open_for_reading(path, file, info)) return read_plainly();
    Closer closer(calls, file);

    const std::string key_text = utf8(key);
    const auto related = [&] {
        return journals.has_partials(key) || std::any_of(journals.journals().begin(), journals.journals().end(), [&](const JournalEntry& entry) {
            return match_of(entry.journal, key_text, info.identity) != JournalMatch::none;
        });
    };
    const auto read_open_file = [&] {
        out.problem = read_whole_open_file(calls, file, info, max_length, out.bytes);
        if (!out.problem) out.identity = info.identity;
        if (out.problem) out.bytes.clear();
        return !out.problem;
    };
    if (!info.is_regular || !related()) {
        read_open_file();
        return out;
    }
    const auto saving_now = [&] {
        out.events.push_back({What::another_run_saving, {}, {}, {}, 0});
        read_open_file();
        return std::move(out);
    };
    // Windows refuses a second writer while a save has the file open.
    if (cannot_update == std::errc::device_or_resource_busy) return saving_now();
    if (looking) {
        bool held = false;
        if (!calls.lock_held(file, held) && held) return saving_now();
    } else if (!cannot_update) {
        if (calls.try_lock(file) == std::errc::resource_unavailable_try_again) return saving_now();
        // Under the lock: the run that held it may have finished its journal.
        journals.scan(nullptr);
        journals.remove_partials(key);
    }
    if (!read_open_file()) return out;

    // Journals of this very file first, then those that know it by content.
    bool wrote = false;
    for (const JournalMatch pass : {JournalMatch::by_path, JournalMatch::by_identity, JournalMatch::by_content}) {
        for (const JournalEntry& entry : journals.journals()) {
            if (match_of(entry.journal, key_text, info.identity) != pass) continue;
            const std::filesystem::path journal_path = journals.path_of(entry.name);
            const JournalReading reading = reading_of(entry, pass, out.bytes, info.identity.modified_ns, journals);
            const RecoveryAction action = decide_recovery(reading).action;
            const bool asked = action == RecoveryAction::tell_torn_copy && mode == RecoveryMode::repair_copies;
            RecoveryEvent told{What::torn_copy, journal_path, {}, entry.journal.file_path, entry.written_ns};
            if (action == RecoveryAction::ignore) continue;
            if (action == RecoveryAction::leave_alone) {
                told.what = What::changed_since;
                out.events.push_back(std::move(told));
                continue;
            }
            if (action == RecoveryAction::tell_torn_copy && !asked) {
                out.events.push_back(std::move(told));
                continue;
            }
            if (looking) {
                if (action == RecoveryAction::put_back) {
                    told.what = What::would_roll_back;
                    out.events.push_back(std::move(told));
                }
                continue;
            }
            if (cannot_update) {
                if (action == RecoveryAction::retire) continue;  // told of by the next open that can
                told.what = What::failed;
                told.problem = Problem::opening_to_write(cannot_update);
                out.events.push_back(std::move(told));
                continue;
            }
            if (action == RecoveryAction::retire) {
                // A save killed after its writes left them in the system's
                // cache: they reach the device before the journal goes.
                if (!calls.flush(file)) journals.remove_journal(entry.name);
                continue;
            }
            wrote = true;
            // A journal as new as these writes, so that the file's time
            // after them never reads as a change made since. The old one
            // goes once the new one is whole; either puts the file back.
            // Not for a copy's: renewed, it would look newer than a later
            // change of the file it was written for.
            const std::string journal_name = asked ? entry.name : journals.renew(entry);
            told.journal = journals.path_of(journal_name);
            if (Problem problem = write_verified(calls, file, entry.journal.ranges, old_of)) {
                told.what = What::failed;
                told.problem = std::move(problem);
                out.events.push_back(std::move(told));
                continue;
            }
            for (const ChangedRange& range : entry.journal.ranges) {
                std::copy(range.old_bytes.begin(), range.old_bytes.end(),
                          out.bytes.begin() + static_cast<std::ptrdiff_t>(range.offset));
            }
            // A copy's journal stays for the file it was written for.
            if (!asked) journals.remove_journal(journal_name);
            told.what = asked ? What::copy_put_back : What::rolled_back;
            out.events.push_back(std::move(told));
        }
    }
    if (wrote) {
        // What the file holds now, after every write that was tried.
        if (calls.describe(file, info) || !read_open_file()) out.bytes.clear();
    }
    return out;
}

}  // namespace tarnwick
