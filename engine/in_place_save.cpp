#include "engine/in_place_save.h"

#include <algorithm>
#include <optional>
#include <string>

#include "engine/journal_format.h"

namespace tarnwick {
namespace {

using Handle = FileSystemCalls::Handle;
using Folder = FileSystemCalls::Folder;
using FileInfo = FileSystemCalls::FileInfo;
using What = RecoveryEvent::What;

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

// How a journal came to be taken for this file's.
enum class Found { by_path, by_identity, by_content, not_at_all };

struct JournalEntry {
    std::string name;
    std::string stem;
    SaveJournal journal;
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
            if (const Problem problem = read_journal(name, journal)) {
                if (strangers != nullptr) strangers->emplace_back(name, problem);
                continue;
            }
            journals_.push_back({name, std::string(stem), std::move(journal)});
        }
    }
    const std::vector<JournalEntry>& journals() const { return journals_; }
    bool has(const std::string& name) const { return std::binary_search(names_.begin(), names_.end(), name); }

    // Removes a journal this run wrote or has just dealt with, and the marks of
    // file contents it was to leave alone.
    std::error_code remove_journal(const std::string& name) {
        const std::string stem(journal_stem(name));
        const std::string marks = stem + std::string(kSettledInfix);
        std::error_code ec = calls_.remove_in_folder(folder_, name);
        for (const std::string& other : names_) {
            if (other.starts_with(marks)) calls_.remove_in_folder(folder_, other);
        }
        calls_.flush_folder(folder_);
        return ec;
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
    Problem read_journal(const std::string& name, SaveJournal& journal) {
        Handle handle{};
        FileInfo info;
        if (const std::error_code ec = calls_.open_in_folder(folder_, name, handle, info)) {
            if (ec == std::errc::too_many_symbolic_link_levels) return Problem::of_kind(FileProblem::link);
            return Problem::from_system(ec);
        }
        Closer closer(calls_, handle);
        if (info.is_link) return Problem::of_kind(FileProblem::link);
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

Found how_found(const SaveJournal& journal, const std::string& key, const FileIdentity& identity) {
    if (journal.file_path == key) return Found::by_path;
    if (journal.identity.same_file(identity)) return Found::by_identity;
    // Journals of 0.49 carry no digest, so nothing proves them this file's.
    if (journal.version >= 2 && journal.identity.size == identity.size) return Found::by_content;
    return Found::not_at_all;
}

// What a journal finds in the bytes of a file.
struct Fit {
    bool ranges_fit = false;  // every range holds its old bytes, its new ones, or a byte-wise mix of both
    bool any_new = false;     // some range does not hold its old bytes
    bool digest_ok = false;   // the file with the old bytes put back is the one the journal saved
    bool applies() const { return ranges_fit && digest_ok; }
};

Fit fit_of(const SaveJournal& journal, ByteView bytes) {
    Fit fit;
    if (journal.identity.size != static_cast<std::int64_t>(bytes.size())) return fit;
    for (const ChangedRange& range : journal.ranges) {
        const ByteView there = bytes.subspan(static_cast<std::size_t>(range.offset), range.old_bytes.size());
        if (std::equal(there.begin(), there.end(), range.old_bytes.begin())) continue;
        fit.any_new = true;
        for (std::size_t i = 0; i < there.size(); ++i) {
            if (there[i] != range.old_bytes[i] && there[i] != range.new_bytes[i]) return fit;
        }
    }
    fit.ranges_fit = true;
    fit.digest_ok = journal.version < 2 || digest_with_old_bytes(bytes, journal.ranges) == journal.digest;
    return fit;
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
    // Identity and time catch most changes; the bytes catch the rest, such as
    // a copy made within the two seconds a FAT time stamp cannot tell apart.
    if (info.identity != expected) return refused(Problem::of_kind(FileProblem::changed_since_opened));
    JournalFolder journals(calls);
    if (Problem problem = journals.open(journal_folder, true)) return refused(std::move(problem));
    if (const std::error_code ec = calls.try_lock(file)) {
        if (ec == std::errc::resource_unavailable_try_again) return refused(Problem::of_kind(FileProblem::another_run_saving));
        return refused(Problem::from_system(ec));
    }

    // From here until the journal is gone, no other run saves or recovers this file.
    const std::filesystem::path key = calls.resolved(path);
    const std::string key_text = utf8(key);
    journals.scan(nullptr);
    journals.remove_partials(key);
    std::vector<std::string> marks;
    for (const JournalEntry& entry : journals.journals()) {
        const Found found = how_found(entry.journal, key_text, info.identity);
        if (found == Found::by_path || found == Found::by_identity) {
            return refused(Problem::at(FileProblem::journal_in_the_way, journals.path_of(entry.name)));
        }
        // A journal kept for other copies of this file, which after this save
        // would look like one of its own interrupted saves: mark the content
        // this save leaves as settled, so that it is never put back.
        if (found == Found::by_content && fit_of(entry.journal, image).applies()) {
            marks.push_back(settled_marker(entry.stem, digest_of(image)));
        }
    }
    if (const Problem problem = read_back(calls, file, changes, old_of)) {
        return refused(problem.what == FileProblem::read_back_mismatch ? Problem::of_kind(FileProblem::changed_since_opened)
                                                                       : problem);
    }

    const SaveJournal record{2, key_text, expected, digest_with_old_bytes(image, changes), {changes.begin(), changes.end()}};
    const std::string stem = new_journal_stem(key);
    const std::string journal_name = stem + std::string(kJournalSuffix);
    if (const std::error_code ec = journals.write_journal(stem, encode_journal(record))) {
        return refused({FileProblem::journal_failed, system_words(ec), journal_folder, 0, 0});
    }

    // From here on the journal can put the file back, whatever happens.
    Problem failure = write_verified(calls, file, changes, new_of);
    for (const std::string& mark : marks) {
        if (!failure) {
            if (const std::error_code ec = journals.write_mark(mark)) failure = Problem::from_system(ec);
        }
    }
    if (!failure) {
        // Removing the journal commits the save: until then a crash puts it back.
        if (const std::error_code ec = journals.remove_journal(journal_name)) failure = Problem::from_system(ec);
    }
    SaveResult result{SaveStatus::saved, {}, {}, false};
    if (failure) {
        result.problem = failure;
        if (write_verified(calls, file, changes, old_of)) {
            result.status = SaveStatus::recovery_pending;  // the journal stays
        } else {
            result.status = SaveStatus::rolled_back;
            // A journal that cannot be removed now names a file that already
            // holds its old bytes: the next open only tells of it.
            journals.remove_journal(journal_name);
        }
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
            out.events.push_back({What::folder_untrusted, {}, std::move(problem)});
        }
    }
    std::vector<std::pair<std::string, Problem>> strangers;
    journals.scan(&strangers);
    for (auto& [name, problem] : strangers) {
        out.events.push_back({What::not_a_journal, journals.path_of(name), std::move(problem)});
    }

    const auto read_plainly = [&] {
        out.problem = read_whole_file(path, max_length, out.bytes, out.identity, calls);
        return std::move(out);
    };
    const std::filesystem::path key = calls.resolved(path);
    if (journals.journals().empty() && !journals.has_partials(key)) return read_plainly();

    Handle file{};
    FileInfo info;
    std::error_code cannot_update = calls.open_for_update(path, file, info);
    if (cannot_update && calls.open_for_reading(path, file, info)) return read_plainly();
    Closer closer(calls, file);

    const std::string key_text = utf8(key);
    const auto related = [&] {
        return journals.has_partials(key) || std::any_of(journals.journals().begin(), journals.journals().end(), [&](const JournalEntry& entry) {
            return how_found(entry.journal, key_text, info.identity) != Found::not_at_all;
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
    // Windows refuses a second writer while a save has the file open.
    if (cannot_update == std::errc::device_or_resource_busy) {
        out.events.push_back({What::another_run_saving, {}, {}});
        read_open_file();
        return out;
    }
    if (!cannot_update) {
        if (const std::error_code ec = calls.try_lock(file); ec == std::errc::resource_unavailable_try_again) {
            out.events.push_back({What::another_run_saving, {}, {}});
            read_open_file();
            return out;
        }
        // Under the lock: the run that held it may have finished its journal.
        journals.scan(nullptr);
        if (mode == RecoveryMode::repair) journals.remove_partials(key);
    }
    if (!read_open_file()) return out;

    // Journals of this very file first, then those that know it by content.
    bool wrote = false;
    for (const Found pass : {Found::by_path, Found::by_identity, Found::by_content}) {
        for (const JournalEntry& entry : journals.journals()) {
            if (how_found(entry.journal, key_text, info.identity) != pass) continue;
            const std::filesystem::path journal_path = journals.path_of(entry.name);
            const Fit fit = fit_of(entry.journal, out.bytes);
            const bool own = pass != Found::by_content;
            if (!own) {
                // Another copy's journal: only a file it left half-written is
                // put back, and never a content that a later save settled.
                if (!fit.ranges_fit || !fit.any_new) continue;
                if (fit.digest_ok && journals.has(settled_marker(entry.stem, digest_of(out.bytes)))) continue;
            }
            if (!fit.applies()) {
                out.events.push_back({What::changed_since, journal_path, {}});
                continue;
            }
            if (mode == RecoveryMode::look_only) {
                out.events.push_back({What::would_roll_back, journal_path, {}});
                continue;
            }
            if (cannot_update) {
                out.events.push_back({What::failed, journal_path, Problem::opening_to_write(cannot_update)});
                continue;
            }
            if (fit.any_new) {
                wrote = true;
                if (Problem problem = write_verified(calls, file, entry.journal.ranges, old_of)) {
                    out.events.push_back({What::failed, journal_path, std::move(problem)});
                    continue;
                }
                for (const ChangedRange& range : entry.journal.ranges) {
                    std::copy(range.old_bytes.begin(), range.old_bytes.end(),
                              out.bytes.begin() + static_cast<std::ptrdiff_t>(range.offset));
                }
            }
            if (own) journals.remove_journal(entry.name);
            out.events.push_back({own ? What::rolled_back : What::rolled_back_by_content, journal_path, {}});
        }
    }
    if (wrote) {
        // What the file holds now, after every write that was tried.
        if (calls.describe(file, info) || !read_open_file()) out.bytes.clear();
    }
    return out;
}

}  // namespace tarnwick
