// The file-system calls of POSIX systems.
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engine/file_access.h"

namespace tarnwick {
namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

int to_native(FileSystemCalls::Handle handle) { return static_cast<int>(handle); }

// One call moves at most this much, well inside what every kernel accepts.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

void describe_stat(const struct stat& st, FileSystemCalls::FileInfo& info) {
    info = {};
    info.is_regular = S_ISREG(st.st_mode);
    info.is_directory = S_ISDIR(st.st_mode);
    info.identity.device = static_cast<std::uint64_t>(st.st_dev);
    info.identity.file_index = static_cast<std::uint64_t>(st.st_ino);
    info.identity.size = static_cast<std::int64_t>(st.st_size);
    info.identity.modified_ns =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + static_cast<std::int64_t>(st.st_mtim.tv_nsec);
}

class PosixCalls final : public FileSystemCalls {
public:
    std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle, FileInfo& info) override {
        // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused later.
        return open_described(path, O_RDONLY | O_NONBLOCK, handle, info);
    }
    std::error_code open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) override {
        if (const std::error_code ec = open_described(path, O_RDWR | O_NONBLOCK, handle, info)) return ec;
        // A file marked read-only stays so, even for a user whose rights would
        // let the write through, as on Windows.
        struct stat st {};
        if (info.is_regular && ::fstat(to_native(handle), &st) == 0 && (st.st_mode & 0222) == 0) {
            ::close(to_native(handle));
            return std::make_error_code(std::errc::permission_denied);
        }
        return {};
    }
    std::error_code create_new(const std::filesystem::path& path, Handle& handle) override {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return last_error();
        handle = fd;
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
    std::error_code close(Handle handle) override {
        return ::close(to_native(handle)) == 0 ? std::error_code{} : last_error();
    }
    std::error_code remove(const std::filesystem::path& path) override {
        return ::unlink(path.c_str()) == 0 ? std::error_code{} : last_error();
    }
    std::error_code make_folders(const std::filesystem::path& folder) override {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec) return ec;
        // Journals hold bytes of the user's files: keep them to the user.
        return ::chmod(folder.c_str(), 0700) == 0 || errno == EPERM ? std::error_code{} : last_error();
    }
    std::error_code flush_folder(const std::filesystem::path& folder) override {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return last_error();
        const std::error_code ec = ::fsync(fd) == 0 ? std::error_code{} : last_error();
        ::close(fd);
        return ec;
    }

private:
    static std::error_code open_described(const std::filesystem::path& path, int flags, Handle& handle,
                                          FileInfo& info) {
        const int fd = ::open(path.c_str(), flags | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return last_error();
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
