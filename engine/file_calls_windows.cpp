// The file-system calls of Windows. Paths go to the wide-character calls
// as they are, and long ones get the \\?\ prefix, so names in any script and
// of any length work.
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "engine/file_access.h"

namespace tarnwick {
namespace {

// The common errors as portable codes, so that callers and messages treat
// them alike on every system; the rest keep Windows' own text.
std::error_code to_error(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return std::make_error_code(std::errc::no_such_file_or_directory);
        case ERROR_ACCESS_DENIED:
            return std::make_error_code(std::errc::permission_denied);
        case ERROR_WRITE_PROTECT:
            return std::make_error_code(std::errc::read_only_file_system);
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return std::make_error_code(std::errc::file_exists);
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return std::make_error_code(std::errc::no_space_on_device);
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return std::make_error_code(std::errc::not_enough_memory);
        default:
            return {static_cast<int>(code), std::system_category()};
    }
}

std::error_code last_error() { return to_error(GetLastError()); }

HANDLE to_native(FileSystemCalls::Handle handle) { return reinterpret_cast<HANDLE>(handle); }

// One call moves at most this much: a DWORD count, kept well inside it.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

std::wstring native_path(const std::filesystem::path& path) {
    std::wstring text = path.native();
    if (text.size() < MAX_PATH - 12 || text.starts_with(L"\\\\?\\")) return text;
    std::error_code ec;
    text = std::filesystem::absolute(path, ec).lexically_normal().make_preferred().native();
    if (ec) return path.native();
    if (text.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + text.substr(2);
    return L"\\\\?\\" + text;
}

OVERLAPPED at_offset(std::int64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return where;
}

class WindowsCalls final : public FileSystemCalls {
public:
    std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle, FileInfo& info) override {
        // Backup semantics let a folder open too, so that it is refused by name.
        HANDLE h = CreateFileW(native_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        return described(h, handle, info);
    }
    std::error_code open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) override {
        const DWORD attributes = GetFileAttributesW(native_path(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return std::make_error_code(std::errc::is_a_directory);
        if (attributes & FILE_ATTRIBUTE_READONLY) return std::make_error_code(std::errc::permission_denied);
        // OPEN_EXISTING never creates or truncates; others may read meanwhile, not write.
        HANDLE h = CreateFileW(native_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        return described(h, handle, info);
    }
    std::error_code create_new(const std::filesystem::path& path, Handle& handle) override {
        HANDLE h = CreateFileW(native_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        handle = reinterpret_cast<Handle>(h);
        return {};
    }
    std::error_code describe(Handle handle, FileInfo& info) override {
        BY_HANDLE_FILE_INFORMATION data{};
        if (!GetFileInformationByHandle(to_native(handle), &data)) return last_error();
        info = {};
        info.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        info.is_regular = !info.is_directory && GetFileType(to_native(handle)) == FILE_TYPE_DISK;
        info.identity.device = data.dwVolumeSerialNumber;
        info.identity.file_index = (std::uint64_t{data.nFileIndexHigh} << 32) | data.nFileIndexLow;
        info.identity.size =
            static_cast<std::int64_t>((std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
        const std::uint64_t ticks =
            (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
        info.identity.modified_ns = static_cast<std::int64_t>(ticks) * 100;  // 100 ns ticks
        return {};
    }
    std::error_code read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                            std::size_t& got) override {
        OVERLAPPED where = at_offset(offset);
        DWORD n = 0;
        if (!ReadFile(to_native(handle), data, static_cast<DWORD>(std::min(size, kMaxTransfer)), &n, &where)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                got = 0;
                return {};
            }
            return last_error();
        }
        got = n;
        return {};
    }
    std::error_code write_at(Handle handle, std::int64_t offset, const std::uint8_t* data, std::size_t size,
                             std::size_t& written) override {
        OVERLAPPED where = at_offset(offset);
        DWORD n = 0;
        if (!WriteFile(to_native(handle), data, static_cast<DWORD>(std::min(size, kMaxTransfer)), &n, &where)) {
            return last_error();
        }
        written = n;
        return {};
    }
    std::error_code flush(Handle handle) override {
        return FlushFileBuffers(to_native(handle)) ? std::error_code{} : last_error();
    }
    std::error_code close(Handle handle) override {
        return CloseHandle(to_native(handle)) ? std::error_code{} : last_error();
    }
    std::error_code remove(const std::filesystem::path& path) override {
        return DeleteFileW(native_path(path).c_str()) ? std::error_code{} : last_error();
    }
    std::error_code make_folders(const std::filesystem::path& folder) override {
        std::error_code ec;
        std::filesystem::create_directories(native_path(folder), ec);
        return ec;
    }
    // Windows flushes a folder's entries with the files themselves.
    std::error_code flush_folder(const std::filesystem::path&) override { return {}; }

private:
    std::error_code described(HANDLE h, Handle& handle, FileInfo& info) {
        handle = reinterpret_cast<Handle>(h);
        if (const std::error_code ec = describe(handle, info)) {
            CloseHandle(h);
            return ec;
        }
        return {};
    }
};

}  // namespace

FileSystemCalls& system_file_calls() {
    static WindowsCalls calls;
    return calls;
}

std::filesystem::path default_journal_folder() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || local[0] == L'\0') return {};
    return std::filesystem::path(local) / L"TTS_Tarnwick" / L"journals";
}

}  // namespace tarnwick
