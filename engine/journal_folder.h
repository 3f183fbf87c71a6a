// The journal folder of saves in place, and the writes a save checks by reading them back: shared by the save and the read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
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
    ~Closer() {
        if (handle_ != -1) calls_.close(handle_);
    }
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;
    // Closes it now; the destructor then does nothing.
    void close() {
        if (handle_ != -1) calls_.close(std::exchange(handle_, -1));
    }

private:
    FileSystemCalls& calls_;
    Handle handle_;
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

// How opening a folder of this program's own went.
struct OwnFolderOpened {
    std::error_code error;  // it could not be made or opened
    bool missing = false;   // it is not there, and was not to be made
    FolderTrust trust = FolderTrust::trusted;
};

// Opens `path` into `folder` (making it first when `create`), as a folder of
// this program's own: one that may not be trusted is closed again, and
// `folder.handle` is -1 unless it is open and trusted.
OwnFolderOpened open_own_folder(FileSystemCalls& calls, const std::filesystem::path& path, bool create,
                                FileSystemCalls::Folder& folder);

// A journal, or a journal being written, found in the folder.
struct JournalEntry {
    std::string name;
    JournalFound found;
    std::optional<SaveJournal> journal;  // when whole
    Problem problem;                     // why it is not, where it is not
    std::int64_t written_ns = 0;         // the journal file's time: when its save began
};

// The journal folder, used only when it is the user's own: a real folder,
// owned by the user, that nobody else may write to. It is opened once and
// then used by the names inside it.
class JournalFolder {
public:
    explicit JournalFolder(FileSystemCalls& calls) : calls_(calls) {}
    ~JournalFolder();
    JournalFolder(const JournalFolder&) = delete;
    JournalFolder& operator=(const JournalFolder&) = delete;

    // With `create`, a missing folder is made, private to the user. Without,
    // a missing folder is no problem and leaves the folder closed.
    Problem open(const std::filesystem::path& path, bool create);
    bool is_open() const { return folder_.handle != -1; }
    std::filesystem::path path_of(const std::string& name) const { return folder_.path / utf8_path(name); }

    // Lists the folder and reads every journal, and every journal still
    // being written, in it; a journal whose save holds its lock is live and
    // is not read.
    std::vector<JournalEntry> scan();

    // Writes a whole journal under a name that no reader takes for one, then
    // gives it its real name, so that a journal file is always whole. It is
    // locked from its creation on: `held` stays open (and locked) until the
    // save is over, so that nobody takes it for a journal whose save died.
    std::error_code write_journal(const std::string& stem, ByteView bytes, Handle& held);

    // Removes a journal, and makes the removal durable.
    std::error_code remove(const std::string& name);

private:
    bool live(const std::string& name, Handle& handle, FileInfo& info, Problem& problem);

    FileSystemCalls& calls_;
    Folder folder_;
};

std::string utf8(const std::filesystem::path& path);

// Which bytes of a change a range is to hold.
enum class RangeSide { old_bytes, new_bytes };

// Reads what the device holds at every range and compares it with that side.
Problem read_back(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges, RangeSide side);

// Writes one side of every range, lowest offset first (a FUSE FAT driver has
// been seen to misplace a write below one it took just before in the same
// cluster), flushes, and reads them back past the cache.
Problem write_verified(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges, RangeSide side);

}  // namespace tarnwick
