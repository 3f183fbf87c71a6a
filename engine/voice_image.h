#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

class FileSystemCalls;

using ByteString = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The outcome of reading or writing the voice file. `reason` is the system's
// explanation when `ok` is false, ready to be shown to a person.
struct FileResult {
    bool ok = true;
    std::string reason;

    static FileResult success() { return {}; }
    static FileResult failure(std::string why) { return {false, std::move(why)}; }
};

// The largest file the data model can address with signed 32-bit offsets.
inline constexpr std::int64_t kMaxImageLength = 2'147'483'647;

// The whole voice file held in memory. Offsets into it are signed 32-bit, as the
// file format's tooling has always used; no operation reads or writes outside
// 0 .. file_len() - 1, whatever offsets it is given.
class VoiceImage {
public:
    VoiceImage() = default;
    VoiceImage(const VoiceImage&) = delete;
    VoiceImage& operator=(const VoiceImage&) = delete;
    VoiceImage(VoiceImage&&) = default;
    VoiceImage& operator=(VoiceImage&&) = default;

    // Reads the whole file at `path`. Refuses anything that is not a regular file,
    // a file longer than kMaxImageLength and a short read; on refusal the image,
    // file_path, block_exp and dllimg_start all stay exactly as they were.
    FileResult load_image(const std::filesystem::path& path);
    FileResult load_image(const std::filesystem::path& path, FileSystemCalls& calls);

    // Replaces the file at file_path() with exactly the image, atomically: on any
    // failure the file on disk keeps every byte it had and no stray file remains.
    // A symbolic link is followed and kept; the file's permission bits are kept.
    FileResult save_image() const;
    FileResult save_image(FileSystemCalls& calls) const;

    // True when `pattern` lies wholly inside the image at `offset` and equals the
    // bytes there. An empty pattern matches at any offset from 0 to file_len().
    bool match_at(std::int32_t offset, ByteView pattern) const;

    // Tests the positions first, first + 1, ..., bound + 1 (only `first` when
    // first > bound) and returns the lowest one where `pattern` matches. Returns 0
    // when there is none, so a match at offset 0 is reported as "not found".
    std::int32_t find_str(std::int32_t first, std::int32_t bound, ByteView pattern) const;

    // Overwrites bytes from `offset` on. A write that would not lie wholly inside
    // the image changes nothing and returns false; the length never changes.
    bool put_str(std::int32_t offset, ByteView bytes);

    std::int32_t file_len() const { return static_cast<std::int32_t>(file_buf_.size()); }
    ByteView file_buf() const { return file_buf_; }
    const std::filesystem::path& file_path() const { return file_path_; }

    // Set by the layout probe; meaningful only right after a successful probe.
    std::uint8_t block_exp() const { return block_exp_; }
    std::int32_t dllimg_start() const { return dllimg_start_; }
    void set_layout(std::uint8_t block_exp, std::int32_t dllimg_start);

    // While an undo log is open, put_str remembers what it overwrote, so a patch
    // run whose write-back failed can put the image back to what the file holds.
    void open_undo_log();
    void undo_logged_writes();
    void close_undo_log();

    // Replaces the image with `bytes` under `path` without touching the disk.
    // Used by tests, tools and fuzzers that build images in memory.
    void assign(ByteString bytes, std::filesystem::path path = {});

private:
    struct OverwrittenBytes {
        std::int32_t offset;
        ByteString previous;
    };

    bool fits_inside(std::int32_t offset, std::size_t length) const;

    ByteString file_buf_;
    std::filesystem::path file_path_;
    std::uint8_t block_exp_ = 0;
    std::int32_t dllimg_start_ = 0;
    bool undo_log_open_ = false;
    std::vector<OverwrittenBytes> undo_log_;
};

// Turns hex text into bytes: each pair of characters yields one byte, read from
// its hex digits up to the first non-digit ("4G" is 4, "G4" is 0); a trailing
// unpaired character is ignored.
ByteString hex2str(std::string_view hex_text);

// The ASCII bytes of a text literal, for patterns such as "DSKIMG".
ByteString ascii_bytes(std::string_view text);

}  // namespace tarnwick
