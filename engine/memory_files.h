// A whole file system in memory behind the file-call seam, for tests, fuzzers and the browser.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/file_calls.h"

namespace tarnwick {

// A whole file system in memory behind the file-call seam: files, folders,
// hard links and symbolic links, handles, locks, identities and times, with
// the same rules as the system's own calls. Fuzzers and tests run the whole
// save and its recovery on it without touching a disk. Paths are taken
// lexically: "/a/b/../c" is "/a/c"; a relative path stands under "/".
class MemoryFiles final : public FileSystemCalls {
public:
    // Every write that reached a file, in order, for checks of what a run wrote.
    struct Write {
        std::filesystem::path path;  // the first path the file had
        std::int64_t offset = 0;
        ByteString bytes;
    };
    std::vector<Write> writes;

    // Creates or replaces a file with `bytes`, and any missing folders above it.
    void put_file(const std::filesystem::path& path, ByteView bytes);
    // The same, taking the bytes over without a copy.
    void put_file(const std::filesystem::path& path, ByteString&& bytes);
    // Creates a folder and any missing folders above it.
    void put_folder(const std::filesystem::path& path);
    void put_link(const std::filesystem::path& path, const std::filesystem::path& target);
    void put_hard_link(const std::filesystem::path& existing, const std::filesystem::path& path);
    // What a folder looks like to the trust checks of a journal folder.
    void set_foreign(const std::filesystem::path& path, bool foreign);
    void set_open_to_others(const std::filesystem::path& path, bool open);
    void set_read_only(const std::filesystem::path& path, bool read_only);
    void remove_entry(const std::filesystem::path& path);
    // Moves a file to another path as a new file (another identity) with the
    // same bytes and time: a device mounted again elsewhere.
    void remount(const std::filesystem::path& from, const std::filesystem::path& to);
    // Moves the clock on, as time passes between runs.
    void advance_clock(std::int64_t ns) { clock_ += ns; }
    // What another program does to files, at once and durable.
    // Gives the file at `from` the name `to` instead (the same file).
    void rename_entry(const std::filesystem::path& from, const std::filesystem::path& to);
    // Overwrites bytes of the file at `path` in place, its time moved or
    // kept (as some programs and a FUSE FAT driver keep it).
    void overwrite(const std::filesystem::path& path, std::int64_t offset, ByteView bytes, bool keep_time);
    // Deletes the file at `gone` (every name it has) and creates a new file
    // with `bytes` at `path` that gets the number the deleted one had, as
    // file systems reuse inode numbers.
    void reuse_identity(const std::filesystem::path& gone, const std::filesystem::path& path, ByteView bytes);
    // The identity of the file at `path` (links followed), or none.
    std::optional<FileIdentity> identity_of(const std::filesystem::path& path) const;
    // The bytes of the file numbered `index`, whether or not a name is left to it.
    std::optional<ByteString> file_numbered(std::uint64_t index) const;

    // From here on keeps apart what has reached the device (a flushed file,
    // a flushed folder) from what a power loss may still take away. What the
    // put_ and remove_ calls above do counts as on the device at once.
    void track_durability();
    // A power loss: every handle closes and every lock goes; of each file,
    // each page written since its last flush keeps its new bytes or loses
    // them as `choose(2)` says, and of each folder's changes since its last
    // flush a first part survives, as long as `choose(count + 1)` says.
    void lose_power(const std::function<std::uint64_t(std::uint64_t)>& choose);
    // Closes every handle of `handles` that is still open, as the system
    // does for a process that dies.
    void close_all(const std::vector<Handle>& handles);

    // The bytes of the file at `path` (links followed), or none.
    std::optional<ByteString> file(const std::filesystem::path& path) const;
    // The names in a folder, sorted.
    std::vector<std::string> entries(const std::filesystem::path& folder) const;

    std::filesystem::path resolved(const std::filesystem::path& path) override;
    std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle, FileInfo& info) override;
    std::error_code open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) override;
    std::error_code describe(Handle handle, FileInfo& info) override;
    std::error_code read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                            std::size_t& got) override;
    std::error_code write_at(Handle handle, std::int64_t offset, const std::uint8_t* data, std::size_t size,
                             std::size_t& written) override;
    std::error_code flush(Handle handle) override;
    std::error_code read_uncached(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                                  std::size_t& got) override;
    std::error_code try_lock(Handle handle) override;
    std::error_code lock_held(Handle handle, bool& held) override;
    std::error_code close(Handle handle) override;
    std::error_code make_private_folder(const std::filesystem::path& folder) override;
    std::error_code open_folder(const std::filesystem::path& path, Folder& folder, FileInfo& info) override;
    std::error_code list_folder(const Folder& folder, std::vector<std::string>& names) override;
    std::error_code open_in_folder(const Folder& folder, const std::string& name, Handle& handle,
                                   FileInfo& info) override;
    std::error_code create_in_folder(const Folder& folder, const std::string& name, Handle& handle) override;
    std::error_code rename_in_folder(const Folder& folder, const std::string& from, const std::string& to) override;
    std::error_code remove_in_folder(const Folder& folder, const std::string& name) override;
    std::error_code flush_folder(const Folder& folder) override;
    // The simulated clock, which advance_clock moves on.
    std::int64_t now_ns() override { return clock_; }

private:
    enum class Kind { file, folder, link };
    struct Node {
        Kind kind = Kind::file;
        ByteString bytes;
        std::filesystem::path target;  // of a link
        std::filesystem::path first_path;
        std::int64_t modified = 0;
        bool read_only = false;
        bool foreign = false;
        bool open_to_others = false;
        ByteString durable;  // what the device holds, while durability is tracked
    };
    // Names a folder gains (a node) or loses (0) together, not yet flushed.
    struct NameChange {
        std::string folder;
        std::vector<std::pair<std::string, std::uint64_t>> entries;
    };
    struct Open {
        std::uint64_t node = 0;
        bool writable = false;
    };

    static std::string key(const std::filesystem::path& path);
    // The node at `path`, following links in every step but (unless
    // `follow_last`) the last; 0 when there is none.
    std::uint64_t find(const std::filesystem::path& path, bool follow_last, std::error_code& ec) const;
    std::uint64_t add(const std::filesystem::path& path, Node node);
    void ensure_root();
    std::error_code open_node(std::uint64_t node, bool writable, Handle& handle, FileInfo& info);
    FileInfo info_of(std::uint64_t node) const;
    const Open* open_handle(Handle handle) const;

    std::map<std::uint64_t, Node> nodes_;
    std::map<std::string, std::uint64_t> names_;  // every path, by key
    std::map<Handle, Open> handles_;
    std::map<std::uint64_t, Handle> locks_;  // node, the handle that holds its lock
    std::uint64_t next_node_ = 1;
    Handle next_handle_ = 3;
    std::int64_t clock_ = 1'000'000'000;
    bool tracking_ = false;
    std::map<std::string, std::uint64_t> durable_names_;
    std::vector<NameChange> unflushed_names_;
    void name_changed(const std::filesystem::path& folder, std::vector<std::pair<std::string, std::uint64_t>> entries);
    void settle(std::uint64_t node);
    void make_durable(const NameChange& change);
};

}  // namespace tarnwick
