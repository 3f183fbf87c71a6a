#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/voice_image.h"

namespace tarnwick {

// The few operating-system calls that reading and durably replacing the voice
// file need, behind one seam so that tests can make any one of them fail.
// Every call reports failure as an error code and never throws.
class FileSystemCalls {
public:
    using Handle = std::intptr_t;

    struct FileInfo {
        bool exists = false;
        bool is_regular = false;
        bool is_directory = false;
        std::int64_t size = 0;
        unsigned permissions = 0;  // the permission bits, 07777 at most
    };

    virtual ~FileSystemCalls() = default;

    // Opens an existing file for reading without ever blocking (a FIFO opens
    // at once) and describes what was opened.
    virtual std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle,
                                             FileInfo& info) = 0;
    virtual std::error_code read_some(Handle handle, std::uint8_t* data, std::size_t size,
                                      std::size_t& got) = 0;

    // Where the symbolic link `link` points; std::errc::invalid_argument when
    // `link` is not a link, no_such_file_or_directory when nothing is there.
    virtual std::error_code read_link(const std::filesystem::path& link,
                                      std::filesystem::path& target) = 0;
    // Describes the file at `path`, following links; a missing file is no error.
    virtual std::error_code query(const std::filesystem::path& path, FileInfo& info) = 0;
    // The permission bits a newly made file gets by default.
    virtual unsigned default_permissions() = 0;

    // Creates a new file that must not exist yet, readable and writable by its owner only.
    virtual std::error_code create_exclusive(const std::filesystem::path& path, Handle& handle) = 0;
    virtual std::error_code write_some(Handle handle, const std::uint8_t* data, std::size_t size,
                                       std::size_t& written) = 0;
    virtual std::error_code set_permissions(Handle handle, unsigned permissions) = 0;
    virtual std::error_code flush(Handle handle) = 0;
    virtual std::error_code close(Handle handle) = 0;
    // Atomically puts `from` in the place of `to`; never copies and deletes.
    virtual std::error_code rename_over(const std::filesystem::path& from,
                                        const std::filesystem::path& to) = 0;
    virtual std::error_code remove(const std::filesystem::path& path) = 0;
    virtual std::error_code flush_folder(const std::filesystem::path& folder) = 0;
};

// The calls of the operating system itself. Stateless, shared by everyone.
FileSystemCalls& system_file_calls();

// Reads the whole regular file at `path` into `out`; refuses folders, devices,
// FIFOs, files longer than `max_length` and short reads. `out` is touched only
// on success.
FileResult read_whole_file(const std::filesystem::path& path, std::int64_t max_length,
                           ByteString& out, FileSystemCalls& calls);

// Replaces the file at `path` (or the file a symbolic link there points to)
// with exactly `bytes`: a new file beside it, written whole, flushed, given
// the old file's permission bits and renamed over it. On failure the old file
// keeps every byte and the new one is removed.
FileResult replace_file(const std::filesystem::path& path, ByteView bytes, FileSystemCalls& calls);

}  // namespace tarnwick
