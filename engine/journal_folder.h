// The journal folder of saves in place, and what a journal finds in a file: shared by the save and the read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/byte_string.h"
#include "engine/file_calls.h"
#include "engine/journal_format.h"
#include "engine/outcomes.h"
#include "engine/recovery_rules.h"

namespace tarnwick {

using Handle = FileSystemCalls::Handle;
using Folder = FileSystemCalls::Folder;
using FileInfo = FileSystemCalls::FileInfo;

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

// Why a folder of this program's own may not be used, if it may not: it must
// be a real folder, owned by the user, that nobody else may write to (the
// rule ssh applies to ~/.ssh).
enum class FolderTrust { trusted, link, not_folder, foreign, open_to_others };
inline FolderTrust trust_of(const FileInfo& info) {
    if (info.is_link) return FolderTrust::link;
    if (!info.is_directory) return FolderTrust::not_folder;
    if (!info.owned_by_user) return FolderTrust::foreign;
    if (info.others_may_write) return FolderTrust::open_to_others;
    return FolderTrust::trusted;
}

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
        switch (trust_of(info)) {
            case FolderTrust::trusted: break;
            case FolderTrust::link: untrusted = Problem::at(FileProblem::journal_folder_is_link, path); break;
            case FolderTrust::not_folder: untrusted = Problem::at(FileProblem::journal_folder_not_folder, path); break;
            case FolderTrust::foreign: untrusted = Problem::at(FileProblem::journal_folder_foreign, path); break;
            case FolderTrust::open_to_others:
                untrusted = Problem::at(FileProblem::journal_folder_open_to_others, path);
                break;
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

std::string utf8(const std::filesystem::path& path);

// How a journal's save is related to a file: by its path, its identity or its content.
JournalMatch match_of(const SaveJournal& journal, const std::string& key, const FileIdentity& identity);

// What the journal's ranges hold in `bytes`, the whole file as it is now.
RangeState ranges_in(const SaveJournal& journal, ByteView bytes);

// What a journal finds in `bytes`, the whole file as it is now.
JournalReading reading_of(const JournalEntry& entry, JournalMatch match, ByteView bytes, std::int64_t modified_ns,
                          const JournalFolder& journals);

// Which bytes of a change a range is to hold.
enum class RangeSide { old_bytes, new_bytes };

// Reads what the device holds at every range and compares it with that side.
Problem read_back(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges, RangeSide side);

// Writes one side of every range, lowest offset first (a FUSE FAT driver has
// been seen to misplace a write below one it took just before in the same
// cluster), flushes, and reads them back past the cache.
Problem write_verified(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges, RangeSide side);

}  // namespace tarnwick
