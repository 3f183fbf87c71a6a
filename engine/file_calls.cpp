#include "engine/file_calls.h"

#include <chrono>
#include <new>

#include "engine/worker_threads.h"

namespace tarnwick {

std::int64_t FileSystemCalls::now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
namespace {

using Handle = FileSystemCalls::Handle;

using ReadCall = std::error_code (FileSystemCalls::*)(Handle, std::int64_t, std::uint8_t*, std::size_t,
                                                     std::size_t&);

std::error_code read_all_with(FileSystemCalls& calls, ReadCall read, Handle handle, std::int64_t offset,
                              std::uint8_t* data, std::size_t size, std::size_t& done) {
    done = 0;
    while (done < size) {
        std::size_t got = 0;
        const std::error_code ec =
            (calls.*read)(handle, offset + static_cast<std::int64_t>(done), data + done, size - done, got);
        if (ec == std::errc::interrupted) continue;
        if (ec) return ec;
        if (got == 0) break;  // the end of the file
        done += got;
    }
    return {};
}

}  // namespace

std::string system_words(std::error_code ec) {
    std::string words = ec.message();
    return words.empty() ? "unknown error " + std::to_string(ec.value()) : words;
}

Problem Problem::from_system(std::error_code ec) {
    if (ec == std::errc::is_a_directory) return of_kind(FileProblem::folder);
    if (ec == std::errc::read_only_file_system) return of_kind(FileProblem::read_only_medium);
    if (ec == std::errc::device_or_resource_busy) return of_kind(FileProblem::in_use);
#ifdef __EMSCRIPTEN__
    // The page's words say why a browser needs room for a whole copy.
    if (ec == std::errc::no_space_on_device) return of_kind(FileProblem::no_space);
#endif
    return {FileProblem::system_error, tarnwick::system_words(ec), {}, 0, 0};
}

Problem Problem::opening_to_write(std::error_code ec) {
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) {
        return of_kind(FileProblem::gone);
    }
    if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted) {
        return of_kind(FileProblem::not_writable);
    }
    return from_system(ec);
}

std::filesystem::path utf8_path(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::filesystem::path resolved_on_disk(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::path key = std::filesystem::weakly_canonical(path, ec);
    if (ec) key = std::filesystem::absolute(path, ec);
    if (ec) key = path;
    return key.lexically_normal();
}

std::error_code read_all_at(FileSystemCalls& calls, Handle handle, std::int64_t offset, std::uint8_t* data,
                            std::size_t size, std::size_t& done) {
    return read_all_with(calls, &FileSystemCalls::read_at, handle, offset, data, size, done);
}

std::error_code read_all_uncached(FileSystemCalls& calls, Handle handle, std::int64_t offset, std::uint8_t* data,
                                  std::size_t size, std::size_t& done) {
    return read_all_with(calls, &FileSystemCalls::read_uncached, handle, offset, data, size, done);
}

std::error_code write_all_at(FileSystemCalls& calls, Handle handle, std::int64_t offset, ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t written = 0;
        const std::error_code ec = calls.write_at(handle, offset + static_cast<std::int64_t>(done),
                                                  bytes.data() + done, bytes.size() - done, written);
        if (ec == std::errc::interrupted) continue;
        if (ec) return ec;
        if (written == 0) return std::make_error_code(std::errc::io_error);  // no progress and no reason
        done += written;
    }
    return {};
}

namespace {

// Reads [0, size) of the file into `data`, a large file in blocks that
// several threads read at once where the calls allow it: the kernel's copy
// and the first touch of fresh memory are then shared among the cores.
// `done` and the error are those of a read from the start: what came before
// the first block that failed or fell short.
std::error_code read_file_into(FileSystemCalls& calls, Handle handle, std::uint8_t* data, std::size_t size,
                               std::size_t& done) {
    constexpr std::size_t kBlock = std::size_t{4} << 20;
    const int workers = worker_count();
    if (!calls.reads_may_overlap() || workers < 2 || size < 4 * kBlock) {
        return read_all_at(calls, handle, 0, data, size, done);
    }
    struct BlockRead {
        std::error_code ec;
        std::size_t got = 0;
    };
    const std::size_t blocks = (size + kBlock - 1) / kBlock;
    std::vector<BlockRead> reads(blocks);
    for_each_block(static_cast<std::int64_t>(blocks), workers, [&](std::int64_t b, int) {
        const std::size_t from = static_cast<std::size_t>(b) * kBlock;
        const std::size_t length = std::min(kBlock, size - from);
        BlockRead& read = reads[static_cast<std::size_t>(b)];
        read.ec = read_all_at(calls, handle, static_cast<std::int64_t>(from), data + from, length, read.got);
        return !read.ec && read.got == length;
    });
    done = 0;
    for (const BlockRead& read : reads) {
        done += read.got;
        if (read.ec) return read.ec;
        if (read.got < kBlock) break;  // the file ended here, or this is the last block
    }
    return {};
}

}  // namespace

template <typename Bytes>
Problem read_whole_open_file(FileSystemCalls& calls, Handle handle, const FileSystemCalls::FileInfo& info,
                             std::int64_t max_length, Bytes& out) {
    if (info.is_directory) return Problem::of_kind(FileProblem::folder);
    if (info.is_link || !info.is_regular) return Problem::of_kind(FileProblem::not_regular_file);
    if (info.identity.size > max_length) return Problem::of_kind(FileProblem::too_large);
    Bytes bytes;
    try {
        bytes.resize(static_cast<std::size_t>(info.identity.size));
    } catch (const std::bad_alloc&) {
        return {FileProblem::out_of_memory, {}, {}, info.identity.size, 0};
    }
    std::size_t done = 0;
    if (const std::error_code ec = read_file_into(calls, handle, bytes.data(), bytes.size(), done)) {
        return Problem::from_system(ec);
    }
    if (done < bytes.size()) {
        return {FileProblem::short_read, {}, {}, static_cast<std::int64_t>(done), static_cast<std::int64_t>(bytes.size())};
    }
    out = std::move(bytes);
    return {};
}

template <typename Bytes>
Problem read_whole_file(const std::filesystem::path& path, std::int64_t max_length, Bytes& out,
                        FileIdentity& identity, FileSystemCalls& calls) {
    Handle handle{};
    FileSystemCalls::FileInfo info;
    if (const std::error_code ec = calls.open_for_reading(path, handle, info)) return Problem::from_system(ec);
    Problem problem = read_whole_open_file(calls, handle, info, max_length, out);
    calls.close(handle);
    if (!problem) identity = info.identity;
    return problem;
}

template Problem read_whole_open_file(FileSystemCalls&, Handle, const FileSystemCalls::FileInfo&, std::int64_t,
                                      ByteString&);
template Problem read_whole_open_file(FileSystemCalls&, Handle, const FileSystemCalls::FileInfo&, std::int64_t,
                                      VoiceBytes&);
template Problem read_whole_file(const std::filesystem::path&, std::int64_t, ByteString&, FileIdentity&,
                                 FileSystemCalls&);
template Problem read_whole_file(const std::filesystem::path&, std::int64_t, VoiceBytes&, FileIdentity&,
                                 FileSystemCalls&);

}  // namespace tarnwick
