// The formats on disk of the save journal (encoding, decoding, names) and of the history of saves.
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

// One save as the history keeps it, so that it can be taken back later:
// which file it was (at the time), when, the options it changed, every
// changed range with its old and new bytes, and the digest of the whole file
// before and after. A save's journal carries the same, so that a save cut off
// at any point still becomes a record.
struct SaveRecord {
    enum class Kind : std::uint8_t {
        patch = 0,     // a patch run's save
        undo = 1,      // a save that took a patch back; never itself taken back
        put_back = 2,  // a save that put a half-written file back as it was before; never taken back
    };
    enum class State : std::uint8_t {
        finished = 0,     // the save wrote and read back every range, and recorded itself
        interrupted = 1,  // made from the journal of a save that never recorded itself
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
    State state = State::finished;
    std::uint64_t token = 0;  // the save's own, as in its journal's name; 0 in records older than tokens
    // The file before the first patch of the chain of recorded saves this one
    // continues: where an undo brings the file back to it, every recorded
    // patch of it has been taken back. All zero where not known.
    FileDigest origin{};

    std::int64_t bytes_changed() const;
    bool origin_known() const { return origin != FileDigest{}; }
};

// The journal of one in-place save: written and flushed before the first byte
// of the file changes, locked by its save while it runs, and turned into a
// record of that save before anyone removes it. Version 3 carries the whole
// record; versions 1 and 2, written by older releases, carry only the path,
// the ranges and (2) the digest before.
struct SaveJournal {
    int version = 3;
    FileIdentity identity;  // the file's identity before the save; its size is the record's file size
    SaveRecord save;        // the save as its record tells it (its state aside)
};

// A real journal is a few kilobytes; anything longer is not one of ours.
inline constexpr std::size_t kMaxJournalBytes = std::size_t{1} << 20;

// Byte layout, all integers little-endian: the magic "TTSJRNL3", the path
// (u32 length, bytes), device u64, file index u64, size i64, modified_ns i64,
// the digest before (16 bytes), the kind u8, the token u64, the time i64, the
// digests after and of the origin (16 bytes each), the option count u32 and
// each option as number u32 and label (u32 length, bytes), the range count
// u32, each range as offset i64, length u32, old bytes, new bytes; last an
// FNV-1a 64 checksum of everything before it. Version 2 ("TTSJRNL2") stops
// after the digest before and goes on with the ranges; version 1
// ("TTSJRNL1") has no digest either.
ByteString encode_journal(const SaveJournal& journal);

// The checksum that ends a journal, over the bytes before it.
std::uint64_t journal_checksum(ByteView bytes);

// Empty when the bytes are not a whole journal of this program: too long, cut
// short, damaged, counts beyond the bytes present, ranges out of order or
// outside the file. Never allocates more than the bytes given and never throws.
std::optional<SaveJournal> decode_journal(ByteView bytes) noexcept;

// The record a journal makes, in `state`.
SaveRecord record_of(const SaveJournal& journal, SaveRecord::State state);
// The journal of the save `record` of a file whose identity is `identity`.
SaveJournal journal_of(const SaveRecord& record, const FileIdentity& identity);

// Journal files are named "<path hash>-<token>-<file name>.journal": a hash
// of the file's resolved path, a token of the save that wrote it (so no run
// ever takes another's journal for its own, and its record is named after
// it), and the file's name in plain letters for people. While it is written a
// journal is "<same>.partial".
inline constexpr std::string_view kJournalSuffix = ".journal";
inline constexpr std::string_view kPartialSuffix = ".partial";

// The hash part for the file at `resolved_path`: 16 hex digits.
std::string path_hash(const std::filesystem::path& resolved_path);
// A new stem for a save with `token`: "<path hash>-<token>-<plain name>".
std::string journal_stem_for(const std::filesystem::path& resolved_path, std::uint64_t token);
// A new token for a save, never 0.
std::uint64_t new_save_token();
// A new stem with a new token.
std::string new_journal_stem(const std::filesystem::path& resolved_path);
// Makes the tokens this thread gives new saves repeat from `seed`, so that a
// simulated history replays exactly.
void repeat_journal_tokens(std::uint64_t seed);
// The stem of a journal file name, or empty when `name` names none.
std::string_view journal_stem(std::string_view name);
// The token in a journal's stem or name, or 0 when it has none.
std::uint64_t token_in_name(std::string_view name);
std::string hex_text(std::span<const std::uint8_t> bytes);
// A token as the 16 hex digits names carry.
std::string token_text(std::uint64_t token);

// A record is a few kilobytes; anything longer is not one of ours.
inline constexpr std::size_t kMaxRecordBytes = std::size_t{1} << 20;

// Byte layout, integers little-endian: the magic "TTSHIST2", the kind u8, the
// state u8, the token u64, the path (u32 length, bytes), time i64, file size
// i64, the digests before, after and of the origin (16 bytes each), the
// option count u32 and each option as number u32 and label (u32 length,
// bytes), the range count u32 and each range as for a journal; last an FNV-1a
// 64 checksum of everything before it. Records of version 1 ("TTSHIST1")
// have no state, token or origin: finished, 0 and unknown.
ByteString encode_record(const SaveRecord& record);

// Empty when the bytes are not a whole record of this program, as for
// decode_journal. Never allocates more than the bytes given and never throws.
std::optional<SaveRecord> decode_record(ByteView bytes) noexcept;

}  // namespace tarnwick
