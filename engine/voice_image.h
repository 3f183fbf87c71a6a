// The voice held in memory, its 32-bit offsets, and the log of what a run overwrote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/byte_string.h"
#include "engine/file_calls.h"
#include "engine/in_place_save.h"
#include "engine/journal_format.h"
#include "engine/multi_search.h"
#include "engine/voice_file_read.h"

namespace tarnwick {

// The largest file the data model can address with signed 32-bit offsets.
inline constexpr std::int64_t kMaxImageLength = 2'147'483'647;

class EditLog;

// The whole voice file held in memory. Offsets into it are signed 32-bit, as the
// file format's tooling has always used; no operation reads or writes outside
// 0 .. file_len() - 1, whatever offsets it is given.
class VoiceImage {
public:
    VoiceImage() = default;
    VoiceImage(const VoiceImage&) = delete;
    VoiceImage& operator=(const VoiceImage&) = delete;
    // A live EditLog moves with the image it records; one recording the
    // image moved over, or given new bytes by assign, stops recording.
    VoiceImage(VoiceImage&& other) noexcept;
    VoiceImage& operator=(VoiceImage&& other) noexcept;
    ~VoiceImage();

    // Makes the journals of saves that died in `journal_folder` records of
    // those saves, as `mode` allows (see read_voice_file), then reads the
    // whole file and keeps its identity. Refuses anything that is not a
    // regular file, a file longer than kMaxImageLength or larger than memory,
    // and a short read; on refusal the image and file_path stay exactly as
    // they were. Never writes to the file.
    LoadResult load_image(const std::filesystem::path& path, const std::filesystem::path& journal_folder,
                          FileSystemCalls& calls, RecoveryMode mode = RecoveryMode::record);

    // Writes the changed ranges into the file at file_path() in place (see
    // write_in_place); the image must hold their new bytes. Refused when the
    // file is no longer the one that was loaded. Afterwards the kept identity
    // is the file's new one, so a save that was put back can be tried again.
    // `intent` says what the save is, for its journal and record.
    SaveResult save_image(std::span<const ChangedRange> changes, const std::filesystem::path& journal_folder,
                          FileSystemCalls& calls, const SaveIntent& intent = {});

    // The digest of the bytes the image holds, worked out once until they change.
    FileDigest digest() const;

    // `search`'s first_starts over the image, worked out once until the bytes
    // change: the survey of an open and the run after it share one pass.
    const std::vector<std::int64_t>& first_starts(const MultiSearch& search, std::int64_t from,
                                                  std::int64_t last_start) const;

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

    // Replaces the image with `bytes` under `path` without touching the disk.
    // Used by tests, tools and fuzzers that build images in memory. Bytes
    // beyond what signed 32-bit offsets address are refused: false, and the
    // image is left as it was.
    bool assign(ByteView bytes, std::filesystem::path path = {});

private:
    friend class EditLog;

    bool fits_inside(std::int32_t offset, std::size_t length) const;
    void take_log_of(VoiceImage& other);
    void detach_log();

    VoiceBytes file_buf_;
    std::filesystem::path file_path_;
    std::optional<FileIdentity> identity_;  // of the file as loaded; none for an image built in memory
    // Worked out on first use, as one thread uses an image at a time.
    mutable std::optional<FileDigest> digest_;  // of file_buf_
    struct Pass {
        std::uint64_t search = 0;  // the search's serial; 0: not worked out
        std::int64_t from = 0, last_start = 0;
        std::vector<std::int64_t> first;
    };
    mutable Pass pass_;
    void bytes_changed();
    EditLog* edits_ = nullptr;
};

// While it lives, records what put_str overwrites in one image, so that the
// changes can be saved as ranges and, after a failed save, undone. Once its
// image is gone or holds other bytes, it has nothing to tell or undo.
class EditLog {
public:
    explicit EditLog(VoiceImage& image);
    ~EditLog();
    EditLog(const EditLog&) = delete;
    EditLog& operator=(const EditLog&) = delete;

    // The changed bytes, merged into ascending, non-overlapping ranges, each
    // with what the image held before the first write and holds now; runs
    // written with the bytes they already held are left out.
    std::vector<ChangedRange> changed_ranges() const;

    // Puts every overwritten byte back, last write first, and forgets them.
    void undo();

    // The digest of the image before the first write this log recorded,
    // where the image knew it then.
    std::optional<FileDigest> digest_before() const;

private:
    friend class VoiceImage;
    struct Overwritten {
        std::int32_t offset;
        ByteString previous;
    };

    VoiceImage* image_;
    std::optional<FileDigest> digest_before_;
    VoiceImage::Pass pass_before_;
    std::vector<Overwritten> writes_;
};

// Turns hex text into bytes: each pair of characters yields one byte, read from
// its hex digits up to the first non-digit ("4G" is 4, "G4" is 0); a trailing
// unpaired character is ignored.
ByteString hex2str(std::string_view hex_text);

// The ASCII bytes of a text literal, for patterns such as "DSKIMG".
ByteString ascii_bytes(std::string_view text);

}  // namespace tarnwick
