// The file-system calls of Windows. Paths go to the wide-character calls
// as they are, and long ones get the \\?\ prefix, so names in any script and
// of any length work.
#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <cstdlib>
#include <malloc.h>

#include "engine/file_calls.h"

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
        case ERROR_SHARING_VIOLATION:
            return std::make_error_code(std::errc::device_or_resource_busy);
        case ERROR_LOCK_VIOLATION:
            return std::make_error_code(std::errc::resource_unavailable_try_again);
        default:
            return {static_cast<int>(code), std::system_category()};
    }
}

std::error_code last_error() { return to_error(GetLastError()); }

// A well-known account or group, such as the system's own.
struct WellKnownSid {
    explicit WellKnownSid(WELL_KNOWN_SID_TYPE type) {
        DWORD size = sizeof bytes;
        ok = CreateWellKnownSid(type, nullptr, bytes, &size) != FALSE;
    }
    PSID sid() { return ok ? static_cast<PSID>(bytes) : nullptr; }
    BYTE bytes[SECURITY_MAX_SID_SIZE]{};
    bool ok = false;
};

// The account this process runs as.
class ProcessUser {
public:
    ProcessUser() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        buffer_.resize(size);
        if (size > 0 && GetTokenInformation(token, TokenUser, buffer_.data(), size, &size)) {
            sid_ = reinterpret_cast<TOKEN_USER*>(buffer_.data())->User.Sid;
        }
        CloseHandle(token);
    }
    PSID sid() const { return sid_; }

private:
    std::vector<BYTE> buffer_;
    PSID sid_ = nullptr;
};

// Whether `sid` is one that may hold a folder of the user's own: the user,
// the system, or the administrators (who own what an elevated user makes).
bool trusted(PSID sid, PSID user) {
    if (user != nullptr && EqualSid(sid, user)) return true;
    for (const WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid}) {
        WellKnownSid known(type);
        if (known.ok && EqualSid(sid, known.sid())) return true;
    }
    return false;
}

// The owner and the write access of the folder behind `h`, from its security
// descriptor: the same rule as a folder's owner and mode bits elsewhere.
// What cannot be read counts against the folder.
void describe_access(HANDLE h, FileSystemCalls::FileInfo& info) {
    info.owned_by_user = false;
    info.others_may_write = true;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return;
    }
    const ProcessUser user;
    bool owner_is_user = user.sid() != nullptr && owner != nullptr && EqualSid(owner, user.sid());
    if (!owner_is_user && owner != nullptr) {
        // Administrators own what an elevated member makes.
        WellKnownSid administrators(WinBuiltinAdministratorsSid);
        BOOL member = FALSE;
        owner_is_user = administrators.ok && EqualSid(owner, administrators.sid()) &&
                        CheckTokenMembership(nullptr, administrators.sid(), &member) && member;
    }
    info.owned_by_user = owner_is_user;
    // Adding, replacing or removing a journal, or taking the folder over.
    constexpr ACCESS_MASK kWrites = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | WRITE_DAC |
                                    WRITE_OWNER | DELETE | GENERIC_WRITE | GENERIC_ALL;
    bool open_to_others = dacl == nullptr;  // no list at all lets everyone in
    for (DWORD k = 0; dacl != nullptr && k < dacl->AceCount && !open_to_others; ++k) {
        void* entry = nullptr;
        if (!GetAce(dacl, k, &entry)) {
            open_to_others = true;
            break;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kWrites) == 0) continue;
        open_to_others = !trusted(reinterpret_cast<PSID>(&allowed->SidStart), user.sid());
    }
    info.others_may_write = open_to_others;
    LocalFree(descriptor);
}

HANDLE to_native(FileSystemCalls::Handle handle) { return reinterpret_cast<HANDLE>(handle); }

// One call moves at most this much: a DWORD count, kept well inside it.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Runs of this program lock one byte far past any voice's end: Windows locks
// keep other handles from reading what they cover, and the read-back of a
// save goes through a second handle.
constexpr std::int64_t kLockedByte = std::int64_t{1} << 62;

// Reads past the cache must start, end and land on sector boundaries; 4096
// is a multiple of every sector size in use.
constexpr std::size_t kSector = 4096;

std::wstring native_path(const std::filesystem::path& path) {
    std::wstring text = path.native();
    if (text.size() < MAX_PATH - 12 || text.starts_with(L"\\\\?\\")) return text;
    std::error_code ec;
    text = std::filesystem::absolute(path, ec).lexically_normal().make_preferred().native();
    if (ec) return path.native();
    if (text.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + text.substr(2);
    return L"\\\\?\\" + text;
}

std::wstring entry_path(const FileSystemCalls::Folder& folder, const std::string& name) {
    return native_path(folder.path / utf8_path(name));
}

OVERLAPPED at_offset(std::int64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return where;
}

std::error_code read_native(HANDLE handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                            std::size_t& got) {
    OVERLAPPED where = at_offset(offset);
    DWORD n = 0;
    if (!ReadFile(handle, data, static_cast<DWORD>(std::min(size, kMaxTransfer)), &n, &where)) {
        if (GetLastError() == ERROR_HANDLE_EOF) {
            got = 0;
            return {};
        }
        return last_error();
    }
    got = n;
    return {};
}

class WindowsCalls final : public FileSystemCalls {
public:
    std::filesystem::path resolved(const std::filesystem::path& path) override { return resolved_on_disk(path); }
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
    std::error_code describe(Handle handle, FileInfo& info) override {
        BY_HANDLE_FILE_INFORMATION data{};
        if (!GetFileInformationByHandle(to_native(handle), &data)) return last_error();
        info = {};
        info.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        info.is_link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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
        return read_native(to_native(handle), offset, data, size, got);
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
    std::error_code read_uncached(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                                  std::size_t& got) override {
        // A second handle on the same file that bypasses the cache; where the
        // file system refuses one, the read goes through the cache instead.
        HANDLE direct = ReOpenFile(to_native(handle), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   FILE_FLAG_NO_BUFFERING);
        if (direct == INVALID_HANDLE_VALUE) return read_at(handle, offset, data, size, got);
        size = std::min(size, kMaxTransfer);
        const auto first = static_cast<std::int64_t>(static_cast<std::uint64_t>(offset) & ~std::uint64_t{kSector - 1});
        const auto skip = static_cast<std::size_t>(offset - first);
        const std::size_t span = (skip + size + kSector - 1) / kSector * kSector;
        auto* buffer = static_cast<std::uint8_t*>(_aligned_malloc(span, kSector));
        if (buffer == nullptr) {
            CloseHandle(direct);
            return std::make_error_code(std::errc::not_enough_memory);
        }
        std::size_t read = 0;
        const std::error_code ec = read_native(direct, first, buffer, span, read);
        got = 0;
        if (!ec && read > skip) {
            got = std::min(size, read - skip);
            std::copy_n(buffer + skip, got, data);
        }
        _aligned_free(buffer);
        CloseHandle(direct);
        return ec;
    }
    std::error_code try_lock(Handle handle) override {
        OVERLAPPED where = at_offset(kLockedByte);
        if (LockFileEx(to_native(handle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
            return {};
        }
        const DWORD code = GetLastError();
        if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) {
            return std::make_error_code(std::errc::resource_unavailable_try_again);
        }
        return to_error(code);
    }
    std::error_code lock_held(Handle handle, bool& held) override {
        // Windows has no query: a shared lock taken and let go at once tells.
        OVERLAPPED where = at_offset(kLockedByte);
        if (LockFileEx(to_native(handle), LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
            OVERLAPPED again = at_offset(kLockedByte);
            UnlockFileEx(to_native(handle), 0, 1, 0, &again);
            held = false;
            return {};
        }
        const DWORD code = GetLastError();
        if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) return to_error(code);
        held = true;
        return {};
    }
    std::error_code close(Handle handle) override {
        return CloseHandle(to_native(handle)) ? std::error_code{} : last_error();
    }
    std::error_code make_private_folder(const std::filesystem::path& folder) override {
        // Under %LOCALAPPDATA% a new folder inherits the profile's access:
        // the user, the system and administrators only.
        std::error_code ec;
        if (folder.has_parent_path()) std::filesystem::create_directories(native_path(folder.parent_path()), ec);
        if (ec) return ec;
        if (CreateDirectoryW(native_path(folder).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return {};
        return last_error();
    }
    std::error_code open_folder(const std::filesystem::path& path, Folder& folder, FileInfo& info) override {
        folder = {-1, path};
        info = {};
        const DWORD attributes = GetFileAttributesW(native_path(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
        info.is_link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        info.is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (info.is_link || !info.is_directory) return {};  // described, not opened
        // Held open without sharing deletion, so the folder cannot be renamed
        // or removed while it is used.
        HANDLE h = CreateFileW(native_path(path).c_str(), FILE_LIST_DIRECTORY | READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        folder.handle = reinterpret_cast<Handle>(h);
        describe_access(h, info);
        return {};
    }
    std::error_code list_folder(const Folder& folder, std::vector<std::string>& names) override {
        names.clear();
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((native_path(folder.path) + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            return GetLastError() == ERROR_FILE_NOT_FOUND ? std::error_code{} : last_error();
        }
        do {
            const std::u8string name = std::filesystem::path(found.cFileName).u8string();
            if (name != u8"." && name != u8"..") names.emplace_back(name.begin(), name.end());
        } while (FindNextFileW(search, &found));
        const DWORD code = GetLastError();
        FindClose(search);
        return code == ERROR_NO_MORE_FILES ? std::error_code{} : to_error(code);
    }
    std::error_code open_in_folder(const Folder& folder, const std::string& name, Handle& handle,
                                   FileInfo& info) override {
        HANDLE h = CreateFileW(entry_path(folder, name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        if (const std::error_code ec = described(h, handle, info)) return ec;
        if (info.is_link) {
            CloseHandle(h);
            return std::make_error_code(std::errc::too_many_symbolic_link_levels);
        }
        return {};
    }
    std::error_code create_in_folder(const Folder& folder, const std::string& name, Handle& handle) override {
        // Nobody else may open it while it is held, but its writer may give it
        // its real name, or remove it, before letting go: a journal is held
        // from its creation until its save is over.
        HANDLE h = CreateFileW(entry_path(folder, name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        handle = reinterpret_cast<Handle>(h);
        return {};
    }
    std::error_code rename_in_folder(const Folder& folder, const std::string& from, const std::string& to) override {
        return MoveFileExW(entry_path(folder, from).c_str(), entry_path(folder, to).c_str(), MOVEFILE_WRITE_THROUGH)
                   ? std::error_code{}
                   : last_error();
    }
    std::error_code remove_in_folder(const Folder& folder, const std::string& name) override {
        return DeleteFileW(entry_path(folder, name).c_str()) ? std::error_code{} : last_error();
    }
    // Windows makes a folder's entries durable with the files themselves.
    std::error_code flush_folder(const Folder&) override { return {}; }

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
