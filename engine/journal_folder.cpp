#include "engine/journal_folder.h"

#include <algorithm>

namespace tarnwick {
namespace {

const ByteString& bytes_of(const ChangedRange& range, RangeSide side) {
    return side == RangeSide::old_bytes ? range.old_bytes : range.new_bytes;
}

}  // namespace

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

JournalFolder::~JournalFolder() {
    if (folder_.handle != -1) calls_.close(folder_.handle);
}

OwnFolderOpened open_own_folder(FileSystemCalls& calls, const std::filesystem::path& path, bool create,
                                FileSystemCalls::Folder& folder) {
    OwnFolderOpened opened;
    folder.handle = -1;
    if (create) {
        if ((opened.error = calls.make_private_folder(path))) return opened;
    }
    FileInfo info;
    if (const std::error_code ec = calls.open_folder(path, folder, info)) {
        folder.handle = -1;
        if (!create && ec == std::errc::no_such_file_or_directory) {
            opened.missing = true;
        } else {
            opened.error = ec;
        }
        return opened;
    }
    opened.trust = trust_of(info);
    if (opened.trust != FolderTrust::trusted && folder.handle != -1) {
        calls.close(folder.handle);
        folder.handle = -1;
    }
    return opened;
}

Problem JournalFolder::open(const std::filesystem::path& path, bool create) {
    const OwnFolderOpened opened = open_own_folder(calls_, path, create, folder_);
    if (opened.error) return {FileProblem::journal_failed, system_words(opened.error), path, 0, 0};
    switch (opened.trust) {
        case FolderTrust::trusted: return {};
        case FolderTrust::link: return Problem::at(FileProblem::journal_folder_is_link, path);
        case FolderTrust::not_folder: return Problem::at(FileProblem::journal_folder_not_folder, path);
        case FolderTrust::foreign: return Problem::at(FileProblem::journal_folder_foreign, path);
        case FolderTrust::open_to_others: return Problem::at(FileProblem::journal_folder_open_to_others, path);
    }
    return {};
}

bool JournalFolder::live(const std::string& name, Handle& handle, FileInfo& info, Problem& problem) {
    handle = -1;
    if (const std::error_code ec = calls_.open_in_folder(folder_, name, handle, info)) {
        handle = -1;
        // Windows lets nobody open a journal its save holds, nor one its save
        // is removing; a link is told of, as something that is no journal.
        if (ec == std::errc::too_many_symbolic_link_levels) {
            problem = Problem::of_kind(FileProblem::link);
            return false;
        }
        return true;
    }
    bool held = false;
    if (const std::error_code ec = calls_.lock_held(handle, held)) {
        problem = Problem::from_system(ec);
        return false;
    }
    return held;
}

std::vector<JournalEntry> JournalFolder::scan() {
    std::vector<JournalEntry> found;
    std::vector<std::string> names;
    if (!is_open() || calls_.list_folder(folder_, names)) return found;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const bool partial = name.ends_with(kPartialSuffix);
        if (!partial && journal_stem(name).empty()) continue;
        JournalEntry entry{name, {}, std::nullopt, {}, 0};
        entry.found.partial = partial;
        Handle handle{};
        FileInfo info;
        entry.found.live = live(name, handle, info, entry.problem);
        Closer closer(calls_, handle);
        if (!entry.found.live && !partial && !entry.problem && handle != -1) {
            entry.written_ns = info.identity.modified_ns;
            if (info.is_link) {
                entry.problem = Problem::of_kind(FileProblem::link);
            } else if (info.identity.size > static_cast<std::int64_t>(kMaxJournalBytes)) {
                entry.problem = Problem::of_kind(FileProblem::journal_too_long);
            } else {
                ByteString bytes;
                entry.problem =
                    read_whole_open_file(calls_, handle, info, static_cast<std::int64_t>(kMaxJournalBytes), bytes);
                if (!entry.problem) {
                    entry.journal = decode_journal(bytes);
                    if (!entry.journal) entry.problem = Problem::of_kind(FileProblem::not_a_journal);
                }
            }
            entry.found.whole = entry.journal.has_value();
            if (entry.journal) entry.found.version = entry.journal->version;
        }
        found.push_back(std::move(entry));
    }
    return found;
}

std::error_code JournalFolder::write_journal(const std::string& stem, ByteView bytes, Handle& held) {
    const std::string partial = stem + std::string(kPartialSuffix);
    const std::string name = stem + std::string(kJournalSuffix);
    held = -1;
    Handle handle{};
    if (const std::error_code ec = calls_.create_in_folder(folder_, partial, handle)) return ec;
    std::error_code ec = calls_.try_lock(handle);
    if (!ec) ec = write_all_at(calls_, handle, 0, bytes);
    if (!ec) ec = calls_.flush(handle);
    if (!ec) ec = calls_.rename_in_folder(folder_, partial, name);
    if (!ec) ec = calls_.flush_folder(folder_);
    if (ec) {
        calls_.remove_in_folder(folder_, partial);
        calls_.remove_in_folder(folder_, name);
        calls_.close(handle);
        return ec;
    }
    held = handle;
    return {};
}

std::error_code JournalFolder::remove(const std::string& name) {
    if (const std::error_code ec = calls_.remove_in_folder(folder_, name)) return ec;
    return calls_.flush_folder(folder_);
}

Problem read_back(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges, RangeSide side) {
    ByteString there;
    for (const ChangedRange& range : ranges) {
        const ByteString& wanted = bytes_of(range, side);
        there.assign(wanted.size(), 0);
        std::size_t got = 0;
        if (read_all_uncached(calls, handle, range.offset, there.data(), there.size(), got) || got < there.size()) {
            return Problem::of_kind(FileProblem::unreadable);
        }
        if (there != wanted) return Problem::of_kind(FileProblem::read_back_mismatch);
    }
    return {};
}

Problem write_verified(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges, RangeSide side) {
    for (const ChangedRange& range : ranges) {
        if (const std::error_code ec = write_all_at(calls, handle, range.offset, bytes_of(range, side))) {
            return Problem::from_system(ec);
        }
    }
    if (const std::error_code ec = calls.flush(handle)) return Problem::from_system(ec);
    return read_back(calls, handle, ranges, side);
}

}  // namespace tarnwick
