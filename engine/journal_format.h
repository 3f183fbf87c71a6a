// The formats on disk of the save journal (encoding, decoding, names, settled marks) and of the history of finished saves.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/byte_string.h"
#include "engine/file_calls.h"

namespace tarnwick {

// A 128-bit digest of a whole file (XXH3-128), high half first.
using FileDigest = std::array<std::uint8_t, 16>;

// The digest of `bytes` with every range's old bytes in place of what
// `bytes` holds there: the file as it was before a save of those ranges.
FileDigest digest_with_old_bytes(ByteView bytes, std::span<const ChangedRange> ranges);
FileDigest digest_of(ByteView bytes);

// The rollback journal of one in-place save: enough to put the file back as
// it was if the save is interrupted, and to know the file again wherever it
// turns up. It is written and flushed before the first byte of the file
// changes and removed once the file is flushed and read back.
struct SaveJournal {
    int version = 2;        // 1: written before the digest was kept
    std::string file_path;  // the file's resolved path, UTF-8
    FileIdentity identity;  // the file's identity before the save
    FileDigest digest{};    // of the whole file before the save (version 2)
    std::vector<ChangedRange> ranges;  // ascending, apart, inside the file
};

// A real journal is a few kilobytes; anything longer is not one of ours.
inline constexpr std::size_t kMaxJournalBytes = std::size_t{1} << 20;

// Byte layout, all integers little-endian: the magic "TTSJRNL2", the path
// (u32 length, bytes), device u64, file index u64, size i64, modified_ns i64,
// the digest (16 bytes), the range count u32, each range as offset i64,
// length u32, old bytes, new bytes; last an FNV-1a 64 checksum of everything
// before it. Version 1 ("TTSJRNL1") has no digest.
ByteString encode_journal(const SaveJournal& journal);

// The checksum that ends a journal, over the bytes before it.
std::uint64_t journal_checksum(ByteView bytes);

// Empty when the bytes are not a whole journal of this program: too long, cut
// short, damaged, counts beyond the bytes present, ranges out of order or
// outside the file. Never allocates more than the bytes given and never throws.
std::optional<SaveJournal> decode_journal(ByteView bytes) noexcept;

// Journal files are named "<path hash>-<token>-<file name>.journal": a hash
// of the file's resolved path (so journals of one path are found by name), a
// token of the save that wrote it (so no run ever takes another's journal for
// its own), and the file's name in plain letters for people. While it is
// written a journal is "<same>.partial"; "<same>.settled-<digest>" marks a
// file content that journal must no longer put back (see in_place_save).
inline constexpr std::string_view kJournalSuffix = ".journal";
inline constexpr std::string_view kPartialSuffix = ".partial";
inline constexpr std::string_view kSettledInfix = ".settled-";

// The hash part for the file at `resolved_path`: 16 hex digits.
std::string path_hash(const std::filesystem::path& resolved_path);
// A new stem: "<path hash>-<random token>-<plain name>".
std::string new_journal_stem(const std::filesystem::path& resolved_path);
// Makes the tokens this thread gives new journals repeat from `seed`, so that
// a simulated history replays exactly.
void repeat_journal_tokens(std::uint64_t seed);
// The stem of a journal file name, or empty when `name` names none.
std::string_view journal_stem(std::string_view name);
std::string settled_marker(std::string_view stem, const FileDigest& digest);
std::string hex_text(std::span<const std::uint8_t> bytes);

// One finished save, kept so that it can be taken back later: which file it
// was (at the time), when, the options it changed, every changed range with
// its old and new bytes, and the digest of the whole file before and after.
struct SaveRecord {
    enum class Kind : std::uint8_t {
        patch = 0,  // a patch run's save
        undo = 1,   // a save that took a patch back; never itself taken back
    };
    struct Option {
        int number = 0;
        std::string label;
        bool operator==(const Option&) const = default;
    };
    Kind kind = Kind::patch;
    std::string file_path;  // the file's resolved path at the time, UTF-8
    std::int64_t time_ns = 0;
    std::vector<Option> options;
    FileDigest before{};
    FileDigest after{};
    std::int64_t file_size = 0;
    std::vector<ChangedRange> ranges;  // ascending, apart, inside the file

    std::int64_t bytes_changed() const;
};

// A record is a few kilobytes; anything longer is not one of ours.
inline constexpr std::size_t kMaxRecordBytes = std::size_t{1} << 20;

// Byte layout, integers little-endian: the magic "TTSHIST1", the kind u8, the
// path (u32 length, bytes), time i64, file size i64, the digests before and
// after (16 bytes each), the option count u32 and each option as number u32
// and label (u32 length, bytes), the range count u32 and each range as for a
// journal; last an FNV-1a 64 checksum of everything before it.
ByteString encode_record(const SaveRecord& record);

// Empty when the bytes are not a whole record of this program, as for
// decode_journal. Never allocates more than the bytes given and never throws.
std::optional<SaveRecord> decode_record(ByteView bytes) noexcept;

}  // namespace tarnwick
