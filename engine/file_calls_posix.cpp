// The file-system calls of POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "engine/file_calls.h"

namespace tarnwick {
namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

int to_native(FileSystemCalls::Handle handle) { return static_cast<int>(handle); }

// One call moves at most this much, well inside what every kernel accepts.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Runs of this program lock one byte far past any voice's end, so that the
// lock never stands in the way of reading or writing the file itself.
constexpr off_t kLockedByte = off_t{1} << 62;

void describe_stat(const struct stat& st, FileSystemCalls::FileInfo& info) {
    info = {};
    info.is_regular = S_ISREG(st.st_mode);
    info.is_directory = S_ISDIR(st.st_mode);
    info.is_link = S_ISLNK(st.st_mode);
    info.owned_by_user = st.st_uid == ::geteuid();
    info.others_may_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    info.identity.device = static_cast<std::uint64_t>(st.st_dev);
    info.identity.file_index = static_cast<std::uint64_t>(st.st_ino);
    info.identity.size = static_cast<std::int64_t>(st.st_size);
    info.identity.modified_ns =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + static_cast<std::int64_t>(st.st_mtim.tv_nsec);
}

std::error_code described(int fd, FileSystemCalls::Handle& handle, FileSystemCalls::FileInfo& info) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const std::error_code ec = last_error();
        ::close(fd);
        return ec;
    }
    describe_stat(st, info);
    handle = fd;
    return {};
}

class PosixCalls final : public FileSystemCalls {
public:
    std::filesystem::path resolved(const std::filesystem::path& path) override { return resolved_on_disk(path); }
    std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle, FileInfo& info) override {
        // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused later.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return last_error();
        return described(fd, handle, info);
    }
    std::error_code open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) override {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return last_error();
        if (const std::error_code ec = described(fd, handle, info)) return ec;
        // A file marked read-only stays so, even for a user whose rights would
        // let the write through, as on Windows.
        struct stat st {};
        if (info.is_regular && ::fstat(fd, &st) == 0 && (st.st_mode & 0222) == 0) {
            ::close(fd);
            return std::make_error_code(std::errc::permission_denied);
        }
        return {};
    }
    std::error_code describe(Handle handle, FileInfo& info) override {
        struct stat st {};
        if (::fstat(to_native(handle), &st) != 0) return last_error();
        describe_stat(st, info);
        return {};
    }
    std::error_code read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                            std::size_t& got) override {
        const ssize_t n = ::pread(to_native(handle), data, std::min(size, kMaxTransfer), static_cast<off_t>(offset));
        if (n < 0) return last_error();
        got = static_cast<std::size_t>(n);
        return {};
    }
    // pread keeps no file position of its own.
    bool reads_may_overlap() const override { return true; }
    std::error_code write_at(Handle handle, std::int64_t offset, const std::uint8_t* data, std::size_t size,
                             std::size_t& written) override {
        const ssize_t n = ::pwrite(to_native(handle), data, std::min(size, kMaxTransfer), static_cast<off_t>(offset));
        if (n < 0) return last_error();
        written = static_cast<std::size_t>(n);
        return {};
    }
    std::error_code flush(Handle handle) override {
        return ::fsync(to_native(handle)) == 0 ? std::error_code{} : last_error();
    }
    std::error_code read_uncached(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                                  std::size_t& got) override {
        // Flushed pages are clean, so the kernel drops them and the read goes
        // to the device (or the FUSE driver) again. It drops only whole pages
        // inside the range given, so the range is widened to the pages that
        // hold the bytes asked for.
        static const off_t page = [] {
            const long system_page = ::sysconf(_SC_PAGESIZE);
            return static_cast<off_t>(system_page > 0 ? system_page : 4096);
        }();
        const off_t first = static_cast<off_t>(offset) / page * page;
        const off_t end = (static_cast<off_t>(offset) + static_cast<off_t>(size) + page - 1) / page * page;
        ::posix_fadvise(to_native(handle), first, end - first, POSIX_FADV_DONTNEED);
        return read_at(handle, offset, data, size, got);
    }
    std::error_code try_lock(Handle handle) override {
        // An open-file-description lock: held by this handle, not by the
        // process, so two opens in one process exclude each other too.
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = kLockedByte;
        lock.l_len = 1;
        if (::fcntl(to_native(handle), F_OFD_SETLK, &lock) == 0) return {};
        if (errno == EAGAIN || errno == EACCES) return std::make_error_code(std::errc::resource_unavailable_try_again);
        if (errno != EINVAL) return last_error();
        // Kernels without such locks have flock, which binds the same way.
        if (::flock(to_native(handle), LOCK_EX | LOCK_NB) == 0) return {};
        if (errno == EWOULDBLOCK) return std::make_error_code(std::errc::resource_unavailable_try_again);
        return last_error();
    }
    std::error_code lock_held(Handle handle, bool& held) override {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = kLockedByte;
        lock.l_len = 1;
        if (::fcntl(to_native(handle), F_OFD_GETLK, &lock) == 0) {
            held = lock.l_type != F_UNLCK;
            return {};
        }
        if (errno != EINVAL) return last_error();
        // Without such locks only trying tells; a shared flock is let go at once.
        if (::flock(to_native(handle), LOCK_SH | LOCK_NB) == 0) {
            ::flock(to_native(handle), LOCK_UN);
            held = false;
            return {};
        }
        if (errno != EWOULDBLOCK) return last_error();
        held = true;
        return {};
    }
    std::error_code close(Handle handle) override {
        return ::close(to_native(handle)) == 0 ? std::error_code{} : last_error();
    }
    std::error_code make_private_folder(const std::filesystem::path& folder) override {
        std::error_code ec;
        if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path(), ec);
        if (ec) return ec;
        if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return {};
        return last_error();
    }
    std::error_code open_folder(const std::filesystem::path& path, Folder& folder, FileInfo& info) override {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return last_error();
        describe_stat(st, info);
        folder = {-1, path};
        if (!info.is_directory) return {};  // a link or a file: described, not opened
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return last_error();
        // What was opened must be what was looked at.
        struct stat opened {};
        if (::fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
            ::close(fd);
            return std::make_error_code(std::errc::device_or_resource_busy);
        }
        describe_stat(opened, info);
        folder.handle = fd;
        return {};
    }
    std::error_code list_folder(const Folder& folder, std::vector<std::string>& names) override {
        names.clear();
        const int fd = ::dup(to_native(folder.handle));
        if (fd < 0) return last_error();
        DIR* dir = ::fdopendir(fd);
        if (dir == nullptr) {
            const std::error_code ec = last_error();
            ::close(fd);
            return ec;
        }
        ::rewinddir(dir);
        errno = 0;
        while (const struct dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        const std::error_code ec = errno != 0 ? last_error() : std::error_code{};
        ::closedir(dir);
        return ec;
    }
    std::error_code open_in_folder(const Folder& folder, const std::string& name, Handle& handle,
                                   FileInfo& info) override {
        const int fd = ::openat(to_native(folder.handle), name.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return last_error();
        return described(fd, handle, info);
    }
    std::error_code create_in_folder(const Folder& folder, const std::string& name, Handle& handle) override {
        const int fd =
            ::openat(to_native(folder.handle), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return last_error();
        handle = fd;
        return {};
    }
    std::error_code rename_in_folder(const Folder& folder, const std::string& from, const std::string& to) override {
        const int dir = to_native(folder.handle);
        return ::renameat(dir, from.c_str(), dir, to.c_str()) == 0 ? std::error_code{} : last_error();
    }
    std::error_code remove_in_folder(const Folder& folder, const std::string& name) override {
        return ::unlinkat(to_native(folder.handle), name.c_str(), 0) == 0 ? std::error_code{} : last_error();
    }
    std::error_code flush_folder(const Folder& folder) override {
        return ::fsync(to_native(folder.handle)) == 0 ? std::error_code{} : last_error();
    }
};

std::filesystem::path home_folder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    if (const struct passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return {};
}

}  // namespace

FileSystemCalls& system_file_calls() {
    static PosixCalls calls;
    return calls;
}

std::filesystem::path default_journal_folder() {
    std::filesystem::path data_home;
    // The XDG rules ignore a relative XDG_DATA_HOME.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        data_home = xdg;
    } else if (const std::filesystem::path home = home_folder(); !home.empty()) {
        data_home = home / ".local" / "share";
    } else {
        return {};
    }
    return data_home / "tts-tarnwick" / "journals";
}

}  // namespace tarnwick
