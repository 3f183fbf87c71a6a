#include "tests/support/faulty_calls.h"

#include <algorithm>

namespace tarnwick::testing {
namespace {
std::error_code injected() { return std::make_error_code(std::errc::io_error); }
}  // namespace

bool FaultyCalls::should_fail(const char* name) {
    if (before_call) before_call(name);
    calls.emplace_back(name);
    ++count_;
    const bool fails = count_ == fail_call || (crash_at > 0 && count_ >= crash_at);
    if (fails && failed.empty()) failed = name;
    return fails;
}

std::ptrdiff_t FaultyCalls::count(const std::string& name) const { return std::count(calls.begin(), calls.end(), name); }

std::error_code FaultyCalls::open_for_reading(const std::filesystem::path& path, Handle& handle, FileInfo& info) {
    if (should_fail("open_for_reading")) return injected();
    return real_.open_for_reading(path, handle, info);
}

std::error_code FaultyCalls::open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) {
    if (should_fail("open_for_update")) return injected();
    return real_.open_for_update(path, handle, info);
}

std::error_code FaultyCalls::describe(Handle handle, FileInfo& info) {
    if (should_fail("describe")) return injected();
    return real_.describe(handle, info);
}

std::error_code FaultyCalls::read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                                     std::size_t& got) {
    if (should_fail("read")) return injected();
    if (read_budget >= 0) {
        size = std::min(size, static_cast<std::size_t>(read_budget));
        if (size == 0) {
            got = 0;
            return {};
        }
    }
    const std::error_code ec = real_.read_at(handle, offset, data, size, got);
    if (!ec && read_budget >= 0) read_budget -= static_cast<long long>(got);
    return ec;
}

std::error_code FaultyCalls::write_at(Handle handle, std::int64_t offset, const std::uint8_t* data, std::size_t size,
                                      std::size_t& written) {
    if (should_fail("write")) return injected();
    size = std::min(size, max_write);
    if (++writes_ == corrupt_write && size > 0) {
        std::vector<std::uint8_t> bent(data, data + size);
        bent[size / 2] ^= 0x01;
        return real_.write_at(handle, offset, bent.data(), size, written);
    }
    return real_.write_at(handle, offset, data, size, written);
}

std::error_code FaultyCalls::flush(Handle handle) {
    if (should_fail("flush")) return injected();
    return real_.flush(handle);
}

std::error_code FaultyCalls::read_uncached(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                                           std::size_t& got) {
    if (should_fail("read_uncached")) return injected();
    return real_.read_uncached(handle, offset, data, size, got);
}

std::error_code FaultyCalls::try_lock(Handle handle) {
    if (should_fail("try_lock")) return injected();
    return real_.try_lock(handle);
}

std::error_code FaultyCalls::lock_held(Handle handle, bool& held) {
    if (should_fail("lock_held")) return injected();
    return real_.lock_held(handle, held);
}

std::error_code FaultyCalls::close(Handle handle) {
    // A failed close still releases the handle, and a dead process's handles are gone too.
    const bool fails = should_fail("close");
    const std::error_code ec = real_.close(handle);
    return fails ? injected() : ec;
}

std::error_code FaultyCalls::make_private_folder(const std::filesystem::path& folder) {
    if (should_fail("make_private_folder")) return injected();
    return real_.make_private_folder(folder);
}

std::error_code FaultyCalls::open_folder(const std::filesystem::path& path, Folder& folder, FileInfo& info) {
    if (should_fail("open_folder")) return injected();
    return real_.open_folder(path, folder, info);
}

std::error_code FaultyCalls::list_folder(const Folder& folder, std::vector<std::string>& names) {
    if (should_fail("list_folder")) return injected();
    return real_.list_folder(folder, names);
}

std::error_code FaultyCalls::open_in_folder(const Folder& folder, const std::string& name, Handle& handle,
                                            FileInfo& info) {
    if (should_fail("open_in_folder")) return injected();
    return real_.open_in_folder(folder, name, handle, info);
}

std::error_code FaultyCalls::create_in_folder(const Folder& folder, const std::string& name, Handle& handle) {
    if (should_fail("create_in_folder")) return injected();
    return real_.create_in_folder(folder, name, handle);
}

std::error_code FaultyCalls::rename_in_folder(const Folder& folder, const std::string& from, const std::string& to) {
    if (should_fail("rename_in_folder")) return injected();
    return real_.rename_in_folder(folder, from, to);
}

std::error_code FaultyCalls::remove_in_folder(const Folder& folder, const std::string& name) {
    if (should_fail("remove_in_folder")) return injected();
    return real_.remove_in_folder(folder, name);
}

std::error_code FaultyCalls::flush_folder(const Folder& folder) {
    if (should_fail("flush_folder")) return injected();
    return real_.flush_folder(folder);
}

}  // namespace tarnwick::testing
