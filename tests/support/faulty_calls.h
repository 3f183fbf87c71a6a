#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/file_access.h"

namespace tarnwick::testing {

// Passes every call through to the operating system, except that it can make
// the Nth call fail with EIO (later calls, the clean-up, pass again) and can
// make reads stop early as if the file had shrunk. It records the calls made.
class FaultyCalls : public FileSystemCalls {
public:
    // 1-based; 0 fails nothing.
    int fail_call = 0;
    // Reads stop once this many bytes have been delivered; -1 never.
    long long read_budget = -1;
    std::vector<std::string> calls;
    std::string failed;  // the name of the call that was made to fail

    std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle,
                                     FileInfo& info) override;
    std::error_code read_some(Handle handle, std::uint8_t* data, std::size_t size,
                              std::size_t& got) override;
    std::error_code read_link(const std::filesystem::path& link, std::filesystem::path& target) override;
    std::error_code query(const std::filesystem::path& path, FileInfo& info) override;
    unsigned default_permissions() override;
    std::error_code create_exclusive(const std::filesystem::path& path, Handle& handle) override;
    std::error_code write_some(Handle handle, const std::uint8_t* data, std::size_t size,
                               std::size_t& written) override;
    std::error_code set_permissions(Handle handle, unsigned permissions) override;
    std::error_code flush(Handle handle) override;
    std::error_code close(Handle handle) override;
    std::error_code rename_over(const std::filesystem::path& from, const std::filesystem::path& to) override;
    std::error_code remove(const std::filesystem::path& path) override;
    std::error_code flush_folder(const std::filesystem::path& folder) override;

    // Largest size handed to one write; small values force short writes.
    std::size_t max_write = static_cast<std::size_t>(-1);

private:
    bool should_fail(const char* name);
    FileSystemCalls& real_ = system_file_calls();
    int count_ = 0;
};

}  // namespace tarnwick::testing
