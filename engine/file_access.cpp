#include "engine/file_access.h"

#include <algorithm>
#include <new>

#include "engine/save_journal.h"
#include "engine/user_messages.h"

namespace tarnwick {
namespace {

using Handle = FileSystemCalls::Handle;

// A journal holds a few hundred bytes; anything near this size is not one of ours.
constexpr std::int64_t kMaxJournalLength = std::int64_t{1} << 30;

std::string describe_error(std::error_code ec) {
    std::string text = ec.message();
    if (text.empty()) text = "unknown error " + std::to_string(ec.value());
    return text;
}

// Why the file could not be opened for writing, in words a driver follows.
std::string reason_not_writable(std::error_code ec) {
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) {
        return std::string(messages::kReasonGone);
    }
    if (ec == std::errc::read_only_file_system) return std::string(messages::kReasonReadOnlyMedium);
    if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted) {
        return std::string(messages::kReasonNotWritable);
    }
    if (ec == std::errc::is_a_directory) return std::string(messages::kReasonFolder);
    return describe_error(ec);
}

std::error_code read_all_at(FileSystemCalls& calls, Handle handle, std::int64_t offset, std::uint8_t* data,
                            std::size_t size, std::size_t& done) {
    done = 0;
    while (done < size) {
        std::size_t got = 0;
        const std::error_code ec =
            calls.read_at(handle, offset + static_cast<std::int64_t>(done), data + done, size - done, got);
        if (ec == std::errc::interrupted) continue;
        if (ec) return ec;
        if (got == 0) break;  // the end of the file
        done += got;
    }
    return {};
}

std::error_code write_all_at(FileSystemCalls& calls, Handle handle, std::int64_t offset, ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t written = 0;
        const std::error_code ec = calls.write_at(handle, offset + static_cast<std::int64_t>(done),
                                                  bytes.data() + done, bytes.size() - done, written);
        if (ec == std::errc::interrupted) continue;
        if (ec) return ec;
        if (written == 0) return std::make_error_code(std::errc::io_error);  // no progress and no reason
        done += written;
    }
    return {};
}

enum class RangeState { holds_old, holds_new, holds_mix, holds_other, unreadable };

// What the file holds where `range` lies. A byte-by-byte mix of old and new
// is what an interrupted write of that range leaves.
RangeState state_of(FileSystemCalls& calls, Handle handle, const ChangedRange& range) {
    ByteString on_disk(range.old_bytes.size());
    std::size_t got = 0;
    if (read_all_at(calls, handle, range.offset, on_disk.data(), on_disk.size(), got)) return RangeState::unreadable;
    if (got < on_disk.size()) return RangeState::holds_other;
    if (on_disk == range.old_bytes) return RangeState::holds_old;
    if (on_disk == range.new_bytes) return RangeState::holds_new;
    for (std::size_t i = 0; i < on_disk.size(); ++i) {
        if (on_disk[i] != range.old_bytes[i] && on_disk[i] != range.new_bytes[i]) return RangeState::holds_other;
    }
    return RangeState::holds_mix;
}

// Puts the old bytes of every range back, last range first, and flushes.
std::error_code put_back(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges) {
    for (auto range = ranges.rbegin(); range != ranges.rend(); ++range) {
        if (const std::error_code ec = write_all_at(calls, handle, range->offset, range->old_bytes)) return ec;
    }
    return calls.flush(handle);
}

std::error_code write_journal(FileSystemCalls& calls, const std::filesystem::path& folder,
                              const std::filesystem::path& journal, ByteView bytes) {
    if (const std::error_code ec = calls.make_folders(folder)) return ec;
    Handle handle{};
    if (const std::error_code ec = calls.create_new(journal, handle)) return ec;
    std::error_code ec = write_all_at(calls, handle, 0, bytes);
    if (!ec) ec = calls.flush(handle);
    const std::error_code closed = calls.close(handle);
    if (!ec) ec = closed;
    if (!ec) ec = calls.flush_folder(folder);
    if (ec) calls.remove(journal);
    return ec;
}

SaveResult refused(std::string reason) { return {SaveStatus::refused, std::move(reason), {}, false}; }

}  // namespace

FileResult read_whole_file(const std::filesystem::path& path, std::int64_t max_length, ByteString& out,
                           FileIdentity& identity, FileSystemCalls& calls) {
    Handle handle{};
    FileSystemCalls::FileInfo info;
    if (const std::error_code ec = calls.open_for_reading(path, handle, info)) {
        return FileResult::failure(describe_error(ec));
    }
    const auto refuse = [&](std::string why) {
        calls.close(handle);
        return FileResult::failure(std::move(why));
    };
    if (info.is_directory) return refuse(std::string(messages::kReasonFolder));
    if (!info.is_regular) return refuse(std::string(messages::kReasonNotRegularFile));
    if (info.identity.size > max_length) return refuse(std::string(messages::kReasonTooLarge));

    ByteString bytes;
    try {
        bytes.resize(static_cast<std::size_t>(info.identity.size));
    } catch (const std::bad_alloc&) {
        return refuse(messages::reason_out_of_memory(info.identity.size));
    }
    std::size_t done = 0;
    if (const std::error_code ec = read_all_at(calls, handle, 0, bytes.data(), bytes.size(), done)) {
        return refuse(describe_error(ec));
    }
    calls.close(handle);
    if (done < bytes.size()) return FileResult::failure(messages::reason_short_read(done, bytes.size()));
    out = std::move(bytes);
    identity = info.identity;
    return FileResult::success();
}

SaveResult write_in_place(const std::filesystem::path& path, const FileIdentity& expected,
                          std::span<const ChangedRange> changes, const std::filesystem::path& journal_folder,
                          FileSystemCalls& calls) {
    if (changes.empty()) return {SaveStatus::saved, {}, expected, true};
    if (journal_folder.empty()) return refused(std::string(messages::kReasonNoJournalFolder));

    Handle file{};
    FileSystemCalls::FileInfo info;
    if (const std::error_code ec = calls.open_for_update(path, file, info)) return refused(reason_not_writable(ec));
    const auto refuse = [&](std::string why) {
        calls.close(file);
        return refused(std::move(why));
    };
    if (info.is_directory) return refuse(std::string(messages::kReasonFolder));
    if (!info.is_regular) return refuse(std::string(messages::kReasonNotRegularFile));
    // Identity and time catch most changes; the bytes catch the rest, such as
    // a copy made within the two seconds a FAT time stamp cannot tell apart.
    if (info.identity != expected) return refuse(std::string(messages::kReasonChangedSinceOpened));
    for (const ChangedRange& range : changes) {
        if (range.offset < 0 || range.new_bytes.size() != range.old_bytes.size() ||
            range.offset + static_cast<std::int64_t>(range.old_bytes.size()) > expected.size) {
            return refuse(std::string(messages::kReasonChangedSinceOpened));
        }
        switch (state_of(calls, file, range)) {
            case RangeState::holds_old: break;
            case RangeState::unreadable: return refuse(std::string(messages::kReasonUnreadable));
            default: return refuse(std::string(messages::kReasonChangedSinceOpened));
        }
    }

    const std::filesystem::path key = journal_key(path);
    const std::filesystem::path journal = journal_path(journal_folder, key);
    const SaveJournal record{messages::path_for_people(key), expected, {changes.begin(), changes.end()}};
    if (const std::error_code ec = write_journal(calls, journal_folder, journal, encode_journal(record))) {
        if (ec == std::errc::file_exists) return refuse(messages::reason_journal_in_the_way(journal));
        return refuse(messages::reason_journal_failed(journal_folder, describe_error(ec)));
    }

    // From here on the journal can put the file back, whatever happens.
    std::error_code failure;
    for (const ChangedRange& range : changes) {
        failure = write_all_at(calls, file, range.offset, range.new_bytes);
        if (failure) break;
    }
    if (!failure) failure = calls.flush(file);
    // Removing the journal commits the save: until then a crash rolls it back.
    if (!failure) failure = calls.remove(journal);
    SaveResult result{SaveStatus::saved, {}, {}, false};
    if (!failure) {
        calls.flush_folder(journal_folder);  // a journal that comes back only undoes a finished save
    } else if (put_back(calls, file, changes)) {
        result = {SaveStatus::recovery_pending, describe_error(failure), {}, false};  // the journal stays
    } else {
        result = {SaveStatus::rolled_back, describe_error(failure), {}, false};
        // A journal that cannot be removed now names a file that already holds
        // its old bytes: the next open only tells of it.
        calls.remove(journal);
        calls.flush_folder(journal_folder);
    }
    // What the file is now, so that the next save compares with that.
    FileSystemCalls::FileInfo after;
    result.identity_known = !calls.describe(file, after);
    result.identity = after.identity;
    calls.close(file);
    return result;
}

RecoveryReport recover_interrupted_save(const std::filesystem::path& path, const std::filesystem::path& journal_folder,
                                        FileSystemCalls& calls) {
    if (journal_folder.empty()) return {};
    const std::filesystem::path key = journal_key(path);
    const std::filesystem::path journal = journal_path(journal_folder, key);
    const std::string shown = messages::path_for_people(key);

    ByteString bytes;
    FileIdentity ignored;
    if (!read_whole_file(journal, kMaxJournalLength, bytes, ignored, calls).ok) return {};
    const std::optional<SaveJournal> record = decode_journal(bytes);
    if (!record) {
        // Cut short while it was written, before any byte of the file changed.
        calls.remove(journal);
        return {};
    }
    if (record->file_path != shown) return {};  // another file's, sharing the hash

    Handle file{};
    FileSystemCalls::FileInfo info;
    if (const std::error_code ec = calls.open_for_update(path, file, info)) {
        return {RecoveryStatus::failed, messages::recovery_failed(shown, reason_not_writable(ec))};
    }
    // Device and inode are not compared: a device plugged in again, or a FAT
    // file system mounted again, numbers them anew.
    bool ours = info.is_regular && info.identity.size == record->identity.size;
    bool any_new = false;
    for (const ChangedRange& range : record->ranges) {
        if (!ours) break;
        const RangeState state = state_of(calls, file, range);
        if (state == RangeState::unreadable) {
            calls.close(file);
            return {RecoveryStatus::failed, messages::recovery_failed(shown, std::string(messages::kReasonUnreadable))};
        }
        ours = state != RangeState::holds_other;
        any_new = any_new || state != RangeState::holds_old;
    }
    if (!ours) {
        calls.close(file);
        return {RecoveryStatus::left_alone, messages::recovery_left_alone(shown, journal)};
    }
    if (any_new) {
        if (const std::error_code ec = put_back(calls, file, record->ranges)) {
            calls.close(file);
            return {RecoveryStatus::failed, messages::recovery_failed(shown, describe_error(ec))};
        }
    }
    calls.close(file);
    calls.remove(journal);
    calls.flush_folder(journal_folder);
    return {RecoveryStatus::rolled_back, messages::recovered_interrupted_save(shown)};
}

}  // namespace tarnwick
