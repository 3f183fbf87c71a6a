#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/file_access.h"

namespace tarnwick::testing {

// Passes every call through to the operating system, except that it can make
// the Nth call fail with EIO (later calls pass again), or "crash" at the Nth
// call (it and every later call fail, as if the process had died there), and
// can make reads stop early as if the file had shrunk. It records the calls made.
class FaultyCalls : public FileSystemCalls {
public:
    // 1-based; 0 fails nothing.
    int fail_call = 0;
    int crash_at = 0;
    // Reads stop once this many bytes have been delivered; -1 never.
    long long read_budget = -1;
    // Largest size handed to one write; small values force short writes.
    std::size_t max_write = static_cast<std::size_t>(-1);
    std::vector<std::string> calls;
    std::string failed;  // the name of the first call that was made to fail

    std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle, FileInfo& info) override;
    std::error_code open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) override;
    std::error_code create_new(const std::filesystem::path& path, Handle& handle) override;
    std::error_code describe(Handle handle, FileInfo& info) override;
    std::error_code read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                            std::size_t& got) override;
    std::error_code write_at(Handle handle, std::int64_t offset, const std::uint8_t* data, std::size_t size,
                             std::size_t& written) override;
    std::error_code flush(Handle handle) override;
    std::error_code close(Handle handle) override;
    std::error_code remove(const std::filesystem::path& path) override;
    std::error_code make_folders(const std::filesystem::path& folder) override;
    std::error_code flush_folder(const std::filesystem::path& folder) override;

    std::ptrdiff_t count(const std::string& name) const;

private:
    bool should_fail(const char* name);
    FileSystemCalls& real_ = system_file_calls();
    int count_ = 0;
};

}  // namespace tarnwick::testing
