#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/byte_string.h"
#include "engine/file_access.h"

namespace tarnwick {

// The rollback journal of one in-place save: enough to put the file back as
// it was if the save is interrupted. It is written and flushed before the
// first byte of the file changes and removed once the file is flushed.
struct SaveJournal {
    std::string file_path;  // the file's absolute path, UTF-8
    FileIdentity identity;  // the file's identity before the save
    std::vector<ChangedRange> ranges;
};

// Byte layout, all integers little-endian: the magic "TTSJRNL1", the path
// (u32 length, bytes), device u64, file index u64, size i64, modified_ns i64,
// the range count u32, each range as offset i64, length u32, old bytes, new
// bytes; last an FNV-1a 64 checksum of everything before it.
ByteString encode_journal(const SaveJournal& journal);

// The checksum that ends a journal, over the bytes before it.
std::uint64_t journal_checksum(ByteView bytes);

// Empty when the bytes are not a whole journal: cut short, damaged, or not a
// journal at all.
std::optional<SaveJournal> decode_journal(ByteView bytes);

// The journal's file in `folder` for the voice file at `absolute_path`: a
// hash of the whole path, so that two voices of the same name on two devices
// never share one, then the file's name in plain letters for people.
std::filesystem::path journal_path(const std::filesystem::path& folder,
                                   const std::filesystem::path& absolute_path);

// The path journals are keyed by: absolute, links resolved where they exist.
std::filesystem::path journal_key(const std::filesystem::path& path);

}  // namespace tarnwick
