#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "engine/byte_string.h"

namespace tarnwick {

// What tells one file apart from another and from its own earlier state:
// device and inode (volume serial and file index on Windows), size and
// modification time.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file_index = 0;
    std::int64_t size = 0;
    std::int64_t modified_ns = 0;

    bool operator==(const FileIdentity&) const = default;
};

// The few operating-system calls that reading the voice file and updating it
// in place need, behind one seam so that tests can make any of them fail.
// Every call reports failure as an error code and never throws.
class FileSystemCalls {
public:
    using Handle = std::intptr_t;

    struct FileInfo {
        bool is_regular = false;
        bool is_directory = false;
        FileIdentity identity;
    };

    virtual ~FileSystemCalls() = default;

    // Opens an existing file for reading without ever blocking (a FIFO opens
    // at once) and describes what was opened.
    virtual std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle,
                                             FileInfo& info) = 0;
    // Opens an existing file for reading and writing; never creates, truncates
    // or replaces it, so links, owner and attributes stay as they are.
    virtual std::error_code open_for_update(const std::filesystem::path& path, Handle& handle,
                                            FileInfo& info) = 0;
    // Creates a new file that must not exist yet, readable and writable by its owner only.
    virtual std::error_code create_new(const std::filesystem::path& path, Handle& handle) = 0;
    virtual std::error_code describe(Handle handle, FileInfo& info) = 0;
    virtual std::error_code read_at(Handle handle, std::int64_t offset, std::uint8_t* data,
                                    std::size_t size, std::size_t& got) = 0;
    virtual std::error_code write_at(Handle handle, std::int64_t offset, const std::uint8_t* data,
                                     std::size_t size, std::size_t& written) = 0;
    // Returns once everything written through `handle` is on the device.
    virtual std::error_code flush(Handle handle) = 0;
    virtual std::error_code close(Handle handle) = 0;
    virtual std::error_code remove(const std::filesystem::path& path) = 0;
    // Creates the folder and any missing parents, private to the user.
    virtual std::error_code make_folders(const std::filesystem::path& folder) = 0;
    // Makes the folder's entries (a file created or removed in it) durable.
    virtual std::error_code flush_folder(const std::filesystem::path& folder) = 0;
};

// The calls of the operating system itself. Stateless, shared by everyone.
FileSystemCalls& system_file_calls();

// Where this user's save journals are kept: under XDG_DATA_HOME (or
// ~/.local/share) on Linux, under %LOCALAPPDATA% on Windows. Empty when the
// environment names no such place.
std::filesystem::path default_journal_folder();

// Reads the whole regular file at `path` into `out` and tells its identity;
// refuses folders, devices, FIFOs, files longer than `max_length`, files that
// do not fit in memory and short reads. `out` is touched only on success.
FileResult read_whole_file(const std::filesystem::path& path, std::int64_t max_length, ByteString& out,
                           FileIdentity& identity, FileSystemCalls& calls);

// One run of bytes a patch run changed: what the file held there when it was
// opened, and what it is to hold.
struct ChangedRange {
    std::int64_t offset = 0;
    ByteString old_bytes;
    ByteString new_bytes;  // as long as old_bytes

    bool operator==(const ChangedRange&) const = default;
};

enum class SaveStatus {
    saved,
    refused,           // nothing was written to the file
    rolled_back,       // a write failed and the file was put back as it was
    recovery_pending,  // the file could not be put back; its journal is kept for the next open
};

struct SaveResult {
    SaveStatus status = SaveStatus::saved;
    std::string reason;             // why it was not saved, for a person
    FileIdentity identity;          // the file's identity afterwards, when it could be read
    bool identity_known = false;

    bool ok() const { return status == SaveStatus::saved; }
};

// Writes `changes` into the file at `path` in place, as one transaction made
// safe by a rollback journal in `journal_folder`: the file is refused when its
// identity differs from `expected` or any range no longer holds its old bytes;
// a failed write puts the old bytes back; a journal left by a crash is rolled
// back by recover_interrupted_save at the next open.
SaveResult write_in_place(const std::filesystem::path& path, const FileIdentity& expected,
                          std::span<const ChangedRange> changes, const std::filesystem::path& journal_folder,
                          FileSystemCalls& calls);

enum class RecoveryStatus {
    nothing_to_do,  // no journal, or one cut short before the file was touched (removed)
    rolled_back,    // the file holds what it held before the interrupted save
    left_alone,     // the file changed since; file and journal are kept as they are
    failed,         // the file could not be put back; the journal is kept for next time
};

struct RecoveryReport {
    RecoveryStatus status = RecoveryStatus::nothing_to_do;
    std::string notice;  // what to tell the person; empty for nothing_to_do
};

// Rolls back a save of `path` that was interrupted, if its journal is in
// `journal_folder`. Runs before every load of a voice file.
RecoveryReport recover_interrupted_save(const std::filesystem::path& path,
                                        const std::filesystem::path& journal_folder, FileSystemCalls& calls);

}  // namespace tarnwick
