#include "tests/support/faulty_calls.h"

#include <algorithm>

namespace tarnwick::testing {
namespace {
std::error_code injected() { return std::make_error_code(std::errc::io_error); }
}  // namespace

bool FaultyCalls::should_fail(const char* name) {
    calls.emplace_back(name);
    if (++count_ != fail_call) return false;
    failed = name;
    return true;
}

std::error_code FaultyCalls::open_for_reading(const std::filesystem::path& path, Handle& handle,
                                              FileInfo& info) {
    if (should_fail("open_for_reading")) return injected();
    return real_.open_for_reading(path, handle, info);
}

std::error_code FaultyCalls::read_some(Handle handle, std::uint8_t* data, std::size_t size, std::size_t& got) {
    if (should_fail("read")) return injected();
    if (read_budget >= 0) {
        size = std::min(size, static_cast<std::size_t>(read_budget));
        if (size == 0) {
            got = 0;
            return {};
        }
    }
    const std::error_code ec = real_.read_some(handle, data, size, got);
    if (!ec && read_budget >= 0) read_budget -= static_cast<long long>(got);
    return ec;
}

std::error_code FaultyCalls::read_link(const std::filesystem::path& link, std::filesystem::path& target) {
    if (should_fail("read_link")) return injected();
    return real_.read_link(link, target);
}

std::error_code FaultyCalls::query(const std::filesystem::path& path, FileInfo& info) {
    if (should_fail("query")) return injected();
    return real_.query(path, info);
}

unsigned FaultyCalls::default_permissions() { return real_.default_permissions(); }

std::error_code FaultyCalls::create_exclusive(const std::filesystem::path& path, Handle& handle) {
    if (should_fail("create")) return injected();
    return real_.create_exclusive(path, handle);
}

std::error_code FaultyCalls::write_some(Handle handle, const std::uint8_t* data, std::size_t size,
                                        std::size_t& written) {
    if (should_fail("write")) return injected();
    return real_.write_some(handle, data, std::min(size, max_write), written);
}

std::error_code FaultyCalls::set_permissions(Handle handle, unsigned permissions) {
    if (should_fail("set_permissions")) return injected();
    return real_.set_permissions(handle, permissions);
}

std::error_code FaultyCalls::flush(Handle handle) {
    if (should_fail("flush")) return injected();
    return real_.flush(handle);
}

std::error_code FaultyCalls::close(Handle handle) {
    if (should_fail("close")) {
        real_.close(handle);  // a failed close still releases the handle
        return injected();
    }
    return real_.close(handle);
}

std::error_code FaultyCalls::rename_over(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (should_fail("rename")) return injected();
    return real_.rename_over(from, to);
}

std::error_code FaultyCalls::remove(const std::filesystem::path& path) {
    calls.emplace_back("remove");
    return real_.remove(path);
}

std::error_code FaultyCalls::flush_folder(const std::filesystem::path& folder) {
    if (should_fail("flush_folder")) return injected();
    return real_.flush_folder(folder);
}

}  // namespace tarnwick::testing
