// The file calls of the browser build. The voice the person opened is reached
// through the page (Module.voiceFile, see web/site/app.js; one of
// Module.voiceFiles where several are open), which carries out
// each call with the browser's own file API and answers when it is done; the
// engine waits for it (Asyncify), so the save and its checks are the same code
// as everywhere else. The journal folder lives in memory: a browser writes a
// patched copy beside the file and swaps it in at once when the writing is
// closed, so a crash leaves the original whole and that swap stands in for a
// journal on disk.
#include "engine/file_calls_web.h"

#include "engine/page_protocol.h"

#include <emscripten.h>

#include <algorithm>
#include <optional>
#include <string_view>

namespace tarnwick {
namespace {

using page_protocol::Answer;

std::error_code error_of(int answer) {
    switch (static_cast<Answer>(answer)) {
        case Answer::gone: return std::make_error_code(std::errc::no_such_file_or_directory);
        case Answer::not_allowed: return std::make_error_code(std::errc::permission_denied);
        case Answer::read_only: return std::make_error_code(std::errc::read_only_file_system);
        case Answer::no_space: return std::make_error_code(std::errc::no_space_on_device);
        case Answer::busy: return std::make_error_code(std::errc::resource_unavailable_try_again);
        case Answer::unreadable:
        case Answer::failed: break;
    }
    return std::make_error_code(std::errc::io_error);
}

// Each returns a count or an Answer; sizes stay below 2 GiB, offsets are
// doubles so that JavaScript reads them as numbers.
EM_ASYNC_JS(int, page_describe, (std::int64_t * size, double* modified_ms), {
    const answer = await Module.voiceFile.describe();
    if (typeof answer === 'number') return answer;
    HEAPF64[modified_ms >> 3] = answer.modified;
    HEAP32[size >> 2] = answer.size % 4294967296;
    HEAP32[(size >> 2) + 1] = Math.floor(answer.size / 4294967296);
    return 0;
});
EM_ASYNC_JS(int, page_open_for_update, (), { return await Module.voiceFile.openForUpdate(); });
EM_ASYNC_JS(int, page_read, (double offset, std::uint8_t* data, int size, int uncached), {
    return await Module.voiceFile.read(offset, data >>> 0, size);
});
EM_ASYNC_JS(int, page_write, (double offset, const std::uint8_t* data, int size), {
    return await Module.voiceFile.write(offset, HEAPU8.slice(data >>> 0, (data >>> 0) + size));
});
EM_ASYNC_JS(int, page_flush, (), { return await Module.voiceFile.flush(); });
EM_ASYNC_JS(int, page_lock, (), { return await Module.voiceFile.lock(); });
EM_JS(void, page_unlock, (), { Module.voiceFile.unlock(); });
EM_JS(int, page_downloads, (), { return Module.voiceFile.downloads ? 1 : 0; });
EM_JS(void, page_select, (int index), { Module.voiceFile = Module.voiceFiles[index]; });

// The history's records pass as the entries page_protocol.h describes.
EM_ASYNC_JS(int, page_history_load, (), { return await Module.history.load(); });
EM_JS(void, page_history_take, (std::uint8_t * data), { Module.history.take(HEAPU8, data >>> 0); });
EM_ASYNC_JS(int, page_history_store, (const std::uint8_t* data, int size), {
    return await Module.history.store(HEAPU8.slice(data >>> 0, (data >>> 0) + size));
});

void put_u32(ByteString& out, std::size_t value) {
    for (std::size_t i = 0; i < page_protocol::kLengthBytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void put_entry(ByteString& out, bool put, const std::string& name, ByteView record) {
    out.push_back(put ? page_protocol::kEntryPut : page_protocol::kEntryRemoved);
    put_u32(out, name.size());
    out.insert(out.end(), name.begin(), name.end());
    put_u32(out, record.size());
    out.insert(out.end(), record.begin(), record.end());
}

// One entry of `in` from `at` on; false at the end or at anything malformed.
bool take_entry(ByteView in, std::size_t& at, std::string& name, ByteView& record) {
    const auto u32 = [&](std::size_t& value) {
        if (in.size() - at < page_protocol::kLengthBytes) return false;
        value = 0;
        for (std::size_t i = 0; i < page_protocol::kLengthBytes; ++i) value |= std::size_t{in[at + i]} << (8 * i);
        at += page_protocol::kLengthBytes;
        return true;
    };
    std::size_t length = 0;
    if (in.size() - at < 1 || in[at++] != page_protocol::kEntryPut || !u32(length) ||
        length > page_protocol::kLargestName || in.size() - at < length) {
        return false;
    }
    name.assign(reinterpret_cast<const char*>(in.data() + at), length);
    at += length;
    if (!u32(length) || length > page_protocol::kLargestRecord || in.size() - at < length) return false;
    record = in.subspan(at, length);
    at += length;
    return true;
}

// A name the history may hold: one plain file name in its folder.
bool plain_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos;
}

// The page's handles: one per open of the voice, apart from the memory's.
constexpr FileSystemCalls::Handle kFirstPageHandle = 0x40000000;

constexpr int kLargestCall = 1 << 30;

// Each voice of the page is a file of its own: its place among them stands for its inode.
FileSystemCalls::FileInfo page_info(std::size_t voice, std::int64_t size, double modified_ms) {
    FileSystemCalls::FileInfo info;
    info.is_regular = true;
    info.identity = {1, static_cast<std::uint64_t>(voice) + 1, size, static_cast<std::int64_t>(modified_ms * 1e6)};
    return info;
}

}  // namespace

bool PageFileCalls::is_voice(const std::filesystem::path& path) const {
    return std::find(voices_.begin(), voices_.end(), path) != voices_.end();
}

void PageFileCalls::select(const std::filesystem::path& path) {
    current_ = static_cast<std::size_t>(std::find(voices_.begin(), voices_.end(), path) - voices_.begin());
    if (several_) page_select(static_cast<int>(current_));
}

bool PageFileCalls::is_page_handle(Handle handle) const { return handle >= kFirstPageHandle; }

std::filesystem::path PageFileCalls::resolved(const std::filesystem::path& path) {
    return is_voice(path) ? path : memory_.resolved(path);
}

std::error_code PageFileCalls::open_for_reading(const std::filesystem::path& path, Handle& handle, FileInfo& info) {
    if (!is_voice(path)) return memory_.open_for_reading(path, handle, info);
    select(path);
    if (const std::error_code ec = describe(kFirstPageHandle, info)) return ec;
    handle = kFirstPageHandle + ++opens_;
    return {};
}

std::error_code PageFileCalls::open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) {
    if (!is_voice(path)) return memory_.open_for_update(path, handle, info);
    select(path);
    if (const int answer = page_open_for_update(); answer < 0) return error_of(answer);
    return open_for_reading(path, handle, info);
}

bool PageFileCalls::writes_a_download() const { return page_downloads() != 0; }

std::error_code PageFileCalls::describe(Handle handle, FileInfo& info) {
    if (!is_page_handle(handle)) return memory_.describe(handle, info);
    std::int64_t size = 0;
    double modified_ms = 0;
    if (const int answer = page_describe(&size, &modified_ms); answer < 0) return error_of(answer);
    info = page_info(current_, size, modified_ms);
    return {};
}

std::error_code PageFileCalls::read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                                       std::size_t& got) {
    if (!is_page_handle(handle)) return memory_.read_at(handle, offset, data, size, got);
    const int answer = page_read(static_cast<double>(offset), data, static_cast<int>(std::min<std::size_t>(size, kLargestCall)), 0);
    if (answer < 0) return error_of(answer);
    got = static_cast<std::size_t>(answer);
    return {};
}

std::error_code PageFileCalls::read_uncached(Handle handle, std::int64_t offset, std::uint8_t* data,
                                             std::size_t size, std::size_t& got) {
    if (!is_page_handle(handle)) return memory_.read_uncached(handle, offset, data, size, got);
    const int answer = page_read(static_cast<double>(offset), data, static_cast<int>(std::min<std::size_t>(size, kLargestCall)), 1);
    if (answer < 0) return error_of(answer);
    got = static_cast<std::size_t>(answer);
    return {};
}

std::error_code PageFileCalls::write_at(Handle handle, std::int64_t offset, const std::uint8_t* data,
                                        std::size_t size, std::size_t& written) {
    if (!is_page_handle(handle)) return memory_.write_at(handle, offset, data, size, written);
    const int answer = page_write(static_cast<double>(offset), data, static_cast<int>(std::min<std::size_t>(size, kLargestCall)));
    if (answer < 0) return error_of(answer);
    written = static_cast<std::size_t>(answer);
    return {};
}

std::error_code PageFileCalls::flush(Handle handle) {
    if (!is_page_handle(handle)) return memory_.flush(handle);
    if (const int answer = page_flush(); answer < 0) return error_of(answer);
    return {};
}

std::error_code PageFileCalls::try_lock(Handle handle) {
    if (!is_page_handle(handle)) return memory_.try_lock(handle);
    if (locked_by_ != 0) return std::make_error_code(std::errc::resource_unavailable_try_again);
    if (const int answer = page_lock(); answer < 0) return error_of(answer);
    locked_by_ = handle;
    return {};
}

std::error_code PageFileCalls::lock_held(Handle handle, bool& held) {
    if (!is_page_handle(handle)) return memory_.lock_held(handle, held);
    held = false;  // a look at the voice never waits for another tab
    return {};
}

std::error_code PageFileCalls::close(Handle handle) {
    if (!is_page_handle(handle)) return memory_.close(handle);
    if (locked_by_ == handle) {
        page_unlock();
        locked_by_ = 0;
    }
    return {};
}

// The history as the browser holds it, into memory, once: records that are
// not plain names or are too large to be records are left out (the engine
// checks the rest as it reads them).
std::error_code PageFileCalls::load_history() {
    if (history_loaded_) return {};
    const int size = page_history_load();
    if (size < 0) return error_of(size);
    ByteString all(static_cast<std::size_t>(size));
    page_history_take(all.data());
    std::string name;
    ByteView record;
    for (std::size_t at = 0; take_entry(all, at, name, record);) {
        if (!plain_name(name)) continue;
        memory_.put_file(history_ / name, record);
        history_kept_.insert(name);
    }
    history_loaded_ = true;
    return {};
}

// What the history folder now holds, handed to the browser: the records it
// lacks, and the names it holds that are gone.
std::error_code PageFileCalls::store_history() {
    ByteString changes;
    const std::vector<std::string> now = memory_.entries(history_);
    for (const std::string& name : now) {
        if (history_kept_.contains(name)) continue;
        if (const std::optional<ByteString> record = memory_.file(history_ / name)) put_entry(changes, true, name, *record);
    }
    for (const std::string& name : history_kept_) {
        if (!std::binary_search(now.begin(), now.end(), name)) put_entry(changes, false, name, {});
    }
    if (changes.empty()) return {};
    if (const int answer = page_history_store(changes.data(), static_cast<int>(changes.size())); answer < 0) {
        return error_of(answer);
    }
    history_kept_ = {now.begin(), now.end()};
    return {};
}

std::error_code PageFileCalls::make_private_folder(const std::filesystem::path& folder) {
    if (folder == history_) {
        if (const std::error_code ec = load_history()) return ec;
    }
    return memory_.make_private_folder(folder);
}
std::error_code PageFileCalls::open_folder(const std::filesystem::path& path, Folder& folder, FileInfo& info) {
    if (path == history_) {
        if (const std::error_code ec = load_history()) return ec;
    }
    const std::error_code ec = memory_.open_folder(path, folder, info);
    if (!ec && path == history_) history_handle_ = folder.handle;
    return ec;
}
std::error_code PageFileCalls::list_folder(const Folder& folder, std::vector<std::string>& names) {
    return memory_.list_folder(folder, names);
}
std::error_code PageFileCalls::open_in_folder(const Folder& folder, const std::string& name, Handle& handle,
                                              FileInfo& info) {
    return memory_.open_in_folder(folder, name, handle, info);
}
std::error_code PageFileCalls::create_in_folder(const Folder& folder, const std::string& name, Handle& handle) {
    return memory_.create_in_folder(folder, name, handle);
}
std::error_code PageFileCalls::rename_in_folder(const Folder& folder, const std::string& from, const std::string& to) {
    return memory_.rename_in_folder(folder, from, to);
}
std::error_code PageFileCalls::remove_in_folder(const Folder& folder, const std::string& name) {
    return memory_.remove_in_folder(folder, name);
}
std::error_code PageFileCalls::flush_folder(const Folder& folder) {
    if (const std::error_code ec = memory_.flush_folder(folder)) return ec;
    return folder.handle == history_handle_ ? store_history() : std::error_code{};
}

FileSystemCalls& system_file_calls() {
    static PageFileCalls calls{"voice", "/history"};
    return calls;
}

std::filesystem::path default_journal_folder() { return "/journals"; }

}  // namespace tarnwick
