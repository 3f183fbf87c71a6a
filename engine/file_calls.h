// The seam every file operation goes through: the calls, file identities, and whole-file reads built on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "engine/byte_string.h"
#include "engine/outcomes.h"

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
    // The same file, whatever it holds now.
    bool same_file(const FileIdentity& other) const {
        return device == other.device && file_index == other.file_index;
    }
};

// The few operating-system calls that reading the voice file, updating it in
// place and keeping save journals need, behind one seam: the system's own,
// an in-memory file system for tests and fuzzers, and fault injection over
// either. Every call reports failure as an error code and never throws.
class FileSystemCalls {
public:
    using Handle = std::intptr_t;

    struct FileInfo {
        bool is_regular = false;
        bool is_directory = false;
        bool is_link = false;           // only the calls that never follow a link report one
        bool owned_by_user = true;      // by the user this process runs as
        bool others_may_write = false;  // the group or anyone else may write to it
        FileIdentity identity;
    };

    // A folder opened once and then used by the names inside it, so that
    // swapping the folder's path for another afterwards changes nothing.
    struct Folder {
        Handle handle = -1;
        std::filesystem::path path;
    };

    virtual ~FileSystemCalls() = default;

    // The path absolute, with links resolved as far as they exist: what
    // names a file the same way whichever path it was opened by.
    virtual std::filesystem::path resolved(const std::filesystem::path& path) = 0;

    // Opens an existing file for reading without ever blocking (a FIFO opens
    // at once) and describes what was opened.
    virtual std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle,
                                             FileInfo& info) = 0;
    // Opens an existing file for reading and writing; never creates, truncates
    // or replaces it, so links, owner and attributes stay as they are.
    virtual std::error_code open_for_update(const std::filesystem::path& path, Handle& handle,
                                            FileInfo& info) = 0;
    virtual std::error_code describe(Handle handle, FileInfo& info) = 0;
    virtual std::error_code read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                                    std::size_t& got) = 0;
    // Whether read_at may be called from several threads at once, so that a
    // large file is read by several at a time.
    virtual bool reads_may_overlap() const { return false; }
    // Whether what is written reaches the person as a download to copy over
    // the file themselves (a browser that may not write into it), not the file.
    virtual bool writes_a_download() const { return false; }
    virtual std::error_code write_at(Handle handle, std::int64_t offset, const std::uint8_t* data,
                                     std::size_t size, std::size_t& written) = 0;
    // Returns once everything written through `handle` is on the device.
    virtual std::error_code flush(Handle handle) = 0;
    // Reads what the device itself holds, past the system's cache where the
    // system allows it. Meant for after a flush, to check what was written.
    virtual std::error_code read_uncached(Handle handle, std::int64_t offset, std::uint8_t* data,
                                          std::size_t size, std::size_t& got) = 0;
    // Takes this program's exclusive lock on the file behind `handle` without
    // waiting; errc::resource_unavailable_try_again when another handle, in
    // this process or another, holds it. Hard links share the lock. It ends
    // when the handle is closed. It binds only runs of this program.
    virtual std::error_code try_lock(Handle handle) = 0;
    // Whether another handle holds that lock now, without taking it, so that
    // merely looking at a file never stands in a save's way.
    virtual std::error_code lock_held(Handle handle, bool& held) = 0;
    virtual std::error_code close(Handle handle) = 0;

    // Creates `folder`, readable and writable by the user alone, and any
    // missing parents; a folder already there is left exactly as it is.
    virtual std::error_code make_private_folder(const std::filesystem::path& folder) = 0;
    // Opens a folder without following a link in its last step and describes it.
    virtual std::error_code open_folder(const std::filesystem::path& path, Folder& folder, FileInfo& info) = 0;
    // The names in the folder, "." and ".." left out.
    virtual std::error_code list_folder(const Folder& folder, std::vector<std::string>& names) = 0;
    // Opens an entry of the folder for reading; a link is refused, never
    // followed. errc::device_or_resource_busy where the system lets nobody
    // open it while the handle that created it is open (Windows).
    virtual std::error_code open_in_folder(const Folder& folder, const std::string& name, Handle& handle,
                                           FileInfo& info) = 0;
    // Creates a new entry that must not exist yet, readable and writable by
    // the user alone; while the handle is open, it can be renamed and removed.
    virtual std::error_code create_in_folder(const Folder& folder, const std::string& name, Handle& handle) = 0;
    virtual std::error_code rename_in_folder(const Folder& folder, const std::string& from, const std::string& to) = 0;
    virtual std::error_code remove_in_folder(const Folder& folder, const std::string& name) = 0;
    // Makes the folder's entries (a file created, renamed or removed in it) durable.
    virtual std::error_code flush_folder(const Folder& folder) = 0;

    // The time now, in nanoseconds since 1970 (UTC): when a save begins, as
    // its record tells it. The system's clock, or a simulated one.
    virtual std::int64_t now_ns();
};

// The calls of the operating system itself. Stateless, shared by everyone.
FileSystemCalls& system_file_calls();

// Where this user's save journals are kept: under XDG_DATA_HOME (or
// ~/.local/share) on Linux, under %LOCALAPPDATA% on Windows. Empty when the
// environment names no such place.
std::filesystem::path default_journal_folder();

// A path from UTF-8 text, whatever the system's own encoding of paths.
std::filesystem::path utf8_path(std::string_view text);

// FileSystemCalls::resolved for the system's own file systems.
std::filesystem::path resolved_on_disk(const std::filesystem::path& path);

// Reads `size` bytes from `offset` on, going on after short reads; `done` is
// less than `size` only at the end of the file.
std::error_code read_all_at(FileSystemCalls& calls, FileSystemCalls::Handle handle, std::int64_t offset,
                            std::uint8_t* data, std::size_t size, std::size_t& done);
// The same through read_uncached.
std::error_code read_all_uncached(FileSystemCalls& calls, FileSystemCalls::Handle handle, std::int64_t offset,
                                  std::uint8_t* data, std::size_t size, std::size_t& done);
// Writes all of `bytes` at `offset`, going on after short writes.
std::error_code write_all_at(FileSystemCalls& calls, FileSystemCalls::Handle handle, std::int64_t offset,
                             ByteView bytes);

// Reads the whole regular file at `path` into `out` and tells its identity;
// refuses folders, devices, FIFOs, files longer than `max_length`, files that
// do not fit in memory and short reads. `out` is touched only on success.
// `Bytes` is ByteString or VoiceBytes.
template <typename Bytes>
Problem read_whole_file(const std::filesystem::path& path, std::int64_t max_length, Bytes& out,
                        FileIdentity& identity, FileSystemCalls& calls);
// The same for a file already open.
template <typename Bytes>
Problem read_whole_open_file(FileSystemCalls& calls, FileSystemCalls::Handle handle,
                             const FileSystemCalls::FileInfo& info, std::int64_t max_length, Bytes& out);

}  // namespace tarnwick
