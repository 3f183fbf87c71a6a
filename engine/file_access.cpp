#include "engine/file_access.h"

#include <algorithm>
#include <limits>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "engine/user_messages.h"

namespace tarnwick {
namespace {

std::error_code errc(std::errc code) { return std::make_error_code(code); }

#ifdef _WIN32

std::error_code last_error() {
    return {static_cast<int>(GetLastError()), std::system_category()};
}

HANDLE to_native(FileSystemCalls::Handle handle) { return reinterpret_cast<HANDLE>(handle); }

class OperatingSystemCalls final : public FileSystemCalls {
public:
    std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle,
                                     FileInfo& info) override {
        std::error_code ec = query(path, info);
        if (ec) return ec;
        if (!info.exists) return errc(std::errc::no_such_file_or_directory);
        if (!info.is_regular) return {};
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        handle = reinterpret_cast<Handle>(h);
        return {};
    }
    std::error_code read_some(Handle handle, std::uint8_t* data, std::size_t size,
                              std::size_t& got) override {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!ReadFile(to_native(handle), data, want, &n, nullptr)) return last_error();
        got = n;
        return {};
    }
    std::error_code read_link(const std::filesystem::path& link,
                              std::filesystem::path& target) override {
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(link, ec)))
            return ec ? ec : errc(std::errc::invalid_argument);
        target = std::filesystem::read_symlink(link, ec);
        return ec;
    }
    std::error_code query(const std::filesystem::path& path, FileInfo& info) override {
        std::error_code ec;
        const auto status = std::filesystem::status(path, ec);
        info = {};
        if (status.type() == std::filesystem::file_type::not_found) return {};
        if (ec) return ec;
        info.exists = true;
        info.is_regular = std::filesystem::is_regular_file(status);
        info.is_directory = std::filesystem::is_directory(status);
        info.permissions = static_cast<unsigned>(status.permissions()) & 07777u;
        if (info.is_regular) info.size = static_cast<std::int64_t>(std::filesystem::file_size(path, ec));
        return ec;
    }
    unsigned default_permissions() override { return 0666; }
    std::error_code create_exclusive(const std::filesystem::path& path, Handle& handle) override {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        handle = reinterpret_cast<Handle>(h);
        return {};
    }
    std::error_code write_some(Handle handle, const std::uint8_t* data, std::size_t size,
                               std::size_t& written) override {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!WriteFile(to_native(handle), data, want, &n, nullptr)) return last_error();
        written = n;
        return {};
    }
    std::error_code set_permissions(Handle, unsigned) override { return {}; }
    std::error_code flush(Handle handle) override {
        return FlushFileBuffers(to_native(handle)) ? std::error_code{} : last_error();
    }
    std::error_code close(Handle handle) override {
        if (handle == 0) return {};  // nothing was opened for a folder or device
        return CloseHandle(to_native(handle)) ? std::error_code{} : last_error();
    }
    std::error_code rename_over(const std::filesystem::path& from,
                                const std::filesystem::path& to) override {
        // Without MOVEFILE_COPY_ALLOWED the replace is a rename or nothing.
        return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                   ? std::error_code{}
                   : last_error();
    }
    std::error_code remove(const std::filesystem::path& path) override {
        return DeleteFileW(path.c_str()) ? std::error_code{} : last_error();
    }
    std::error_code flush_folder(const std::filesystem::path&) override { return {}; }
};

#else

std::error_code last_error() { return {errno, std::generic_category()}; }

int to_native(FileSystemCalls::Handle handle) { return static_cast<int>(handle); }

void describe(const struct stat& st, FileSystemCalls::FileInfo& info) {
    info.exists = true;
    info.is_regular = S_ISREG(st.st_mode);
    info.is_directory = S_ISDIR(st.st_mode);
    info.size = static_cast<std::int64_t>(st.st_size);
    info.permissions = static_cast<unsigned>(st.st_mode) & 07777u;
}

class OperatingSystemCalls final : public FileSystemCalls {
public:
    std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle,
                                     FileInfo& info) override {
        // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return last_error();
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const std::error_code ec = last_error();
            ::close(fd);
            return ec;
        }
        info = {};
        describe(st, info);
        handle = fd;
        return {};
    }
    std::error_code read_some(Handle handle, std::uint8_t* data, std::size_t size,
                              std::size_t& got) override {
        const ssize_t n = ::read(to_native(handle), data, std::min<std::size_t>(size, 1u << 30));
        if (n < 0) return last_error();
        got = static_cast<std::size_t>(n);
        return {};
    }
    std::error_code read_link(const std::filesystem::path& link,
                              std::filesystem::path& target) override {
        std::string buffer(256, '\0');
        for (;;) {
            const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
            if (n < 0) return last_error();
            if (static_cast<std::size_t>(n) < buffer.size()) {
                buffer.resize(static_cast<std::size_t>(n));
                target = buffer;
                return {};
            }
            buffer.resize(buffer.size() * 2);
        }
    }
    std::error_code query(const std::filesystem::path& path, FileInfo& info) override {
        info = {};
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return errno == ENOENT ? std::error_code{} : last_error();
        }
        describe(st, info);
        return {};
    }
    unsigned default_permissions() override {
        // umask can only be read by setting it; this program is single-threaded.
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return 0666u & ~static_cast<unsigned>(mask);
    }
    std::error_code create_exclusive(const std::filesystem::path& path, Handle& handle) override {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return last_error();
        handle = fd;
        return {};
    }
    std::error_code write_some(Handle handle, const std::uint8_t* data, std::size_t size,
                               std::size_t& written) override {
        const ssize_t n = ::write(to_native(handle), data, std::min<std::size_t>(size, 1u << 30));
        if (n < 0) return last_error();
        written = static_cast<std::size_t>(n);
        return {};
    }
    std::error_code set_permissions(Handle handle, unsigned permissions) override {
        return ::fchmod(to_native(handle), static_cast<mode_t>(permissions)) == 0 ? std::error_code{}
                                                                                  : last_error();
    }
    std::error_code flush(Handle handle) override {
        return ::fsync(to_native(handle)) == 0 ? std::error_code{} : last_error();
    }
    std::error_code close(Handle handle) override {
        return ::close(to_native(handle)) == 0 ? std::error_code{} : last_error();
    }
    std::error_code rename_over(const std::filesystem::path& from,
                                const std::filesystem::path& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code{} : last_error();
    }
    std::error_code remove(const std::filesystem::path& path) override {
        return ::unlink(path.c_str()) == 0 ? std::error_code{} : last_error();
    }
    std::error_code flush_folder(const std::filesystem::path& folder) override {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return last_error();
        std::error_code ec = ::fsync(fd) == 0 ? std::error_code{} : last_error();
        ::close(fd);
        return ec;
    }
};

#endif

std::string describe_error(std::error_code ec) {
    std::string text = ec.message();
    if (text.empty()) text = "unknown error " + std::to_string(ec.value());
    return text;
}

// Follows symbolic links at `path` to the file they finally name, which need
// not exist. Relative targets are taken from the link's own folder.
std::error_code resolve_links(std::filesystem::path path, std::filesystem::path& resolved,
                              FileSystemCalls& calls) {
    constexpr int kMaxLinks = 40;  // the limit POSIX systems apply themselves
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        std::filesystem::path target;
        const std::error_code ec = calls.read_link(path, target);
        if (ec == std::errc::invalid_argument || ec == std::errc::no_such_file_or_directory) {
            resolved = path;
            return {};
        }
        if (ec) return ec;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return errc(std::errc::too_many_symbolic_link_levels);
}

std::filesystem::path unique_sibling(const std::filesystem::path& target, unsigned attempt) {
    std::random_device entropy;
    const std::uint64_t token = ((std::uint64_t{entropy()} << 32) | entropy()) ^ attempt;
    char suffix[17];
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) suffix[i] = kDigits[(token >> (4 * i)) & 0xF];
    suffix[16] = '\0';
    std::filesystem::path name = "." + target.filename().string() + ".save-" + suffix;
    return target.parent_path() / name;
}

std::error_code write_all(FileSystemCalls& calls, FileSystemCalls::Handle handle, ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t written = 0;
        const std::error_code ec = calls.write_some(handle, bytes.data() + done, bytes.size() - done, written);
        if (ec == std::errc::interrupted) continue;
        if (ec) return ec;
        if (written == 0) return errc(std::errc::io_error);  // no progress and no reason
        done += written;
    }
    return {};
}

// Writes the new file whole, gives it its permission bits, flushes it to the
// disk and closes it, checking each step; the handle is closed in every case.
std::error_code finish_new_file(FileSystemCalls& calls, FileSystemCalls::Handle handle, ByteView bytes,
                                unsigned permissions) {
    std::error_code ec = write_all(calls, handle, bytes);
    if (!ec) ec = calls.set_permissions(handle, permissions);
    if (!ec) ec = calls.flush(handle);
    if (ec) {
        calls.close(handle);
        return ec;
    }
    return calls.close(handle);
}

}  // namespace

FileSystemCalls& system_file_calls() {
    static OperatingSystemCalls calls;
    return calls;
}

FileResult read_whole_file(const std::filesystem::path& path, std::int64_t max_length,
                           ByteString& out, FileSystemCalls& calls) {
    FileSystemCalls::Handle handle{};
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
    if (info.size > max_length) return refuse(std::string(messages::kReasonTooLarge));

    ByteString bytes(static_cast<std::size_t>(info.size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t got = 0;
        const std::error_code ec = calls.read_some(handle, bytes.data() + done, bytes.size() - done, got);
        if (ec == std::errc::interrupted) continue;
        if (ec) return refuse(describe_error(ec));
        if (got == 0) break;
        done += got;
    }
    calls.close(handle);
    if (done < bytes.size()) {
        return FileResult::failure(messages::reason_short_read(done, bytes.size()));
    }
    out = std::move(bytes);
    return FileResult::success();
}

FileResult replace_file(const std::filesystem::path& path, ByteView bytes, FileSystemCalls& calls) {
    std::filesystem::path target;
    if (const std::error_code ec = resolve_links(path, target, calls)) {
        return FileResult::failure(describe_error(ec));
    }
    FileSystemCalls::FileInfo existing;
    if (const std::error_code ec = calls.query(target, existing)) {
        return FileResult::failure(describe_error(ec));
    }
    if (existing.exists && existing.is_directory) return FileResult::failure(std::string(messages::kReasonFolder));
    if (existing.exists && !existing.is_regular) {
        return FileResult::failure(std::string(messages::kReasonNotRegularFile));
    }
    const unsigned permissions = existing.exists ? existing.permissions : calls.default_permissions();

    FileSystemCalls::Handle handle{};
    std::filesystem::path fresh;
    constexpr unsigned kNameAttempts = 16;  // only a name clash is tried again
    std::error_code ec;
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
        fresh = unique_sibling(target, attempt);
        ec = calls.create_exclusive(fresh, handle);
        if (ec != std::errc::file_exists) break;
    }
    if (ec) return FileResult::failure(describe_error(ec));

    ec = finish_new_file(calls, handle, bytes, permissions);
    if (!ec) ec = calls.rename_over(fresh, target);
    if (ec) {
        calls.remove(fresh);
        return FileResult::failure(describe_error(ec));
    }
    // The file already holds the image; a folder that cannot be flushed (some
    // file systems refuse) only weakens durability after a power cut.
    calls.flush_folder(target.has_parent_path() ? target.parent_path() : std::filesystem::path("."));
    return FileResult::success();
}

}  // namespace tarnwick
