#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "engine/file_calls.h"

namespace tarnwick::testing {

// Passes every call through to another implementation (the operating
// system's by default), except that it can make the Nth call fail with EIO
// (later calls pass again), or "crash" at the Nth call (it and every later
// call fail, as if the process had died there), can flip one byte of the Nth
// write on its way to the file, and can make reads stop early as if the file
// had shrunk. It records the calls made.
class FaultyCalls : public FileSystemCalls {
public:
    explicit FaultyCalls(FileSystemCalls& inner = system_file_calls()) : real_(inner) {}

    // 1-based; 0 fails nothing.
    int fail_call = 0;
    int crash_at = 0;
    // 1-based among the writes; 0 corrupts nothing.
    int corrupt_write = 0;
    // Reads stop once this many bytes have been delivered; -1 never.
    long long read_budget = -1;
    // Largest size handed to one write; small values force short writes.
    std::size_t max_write = static_cast<std::size_t>(-1);
    // Called with each call's name before the call is made.
    std::function<void(const std::string&)> before_call;
    std::vector<std::string> calls;
    std::string failed;  // the name of the first call that was made to fail

    std::filesystem::path resolved(const std::filesystem::path& path) override { return real_.resolved(path); }
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
    std::int64_t now_ns() override { return real_.now_ns(); }

    std::ptrdiff_t count(const std::string& name) const;

private:
    bool should_fail(const char* name);
    FileSystemCalls& real_;
    int count_ = 0;
    int writes_ = 0;
};

}  // namespace tarnwick::testing
