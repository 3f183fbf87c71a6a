#include "engine/journal_folder.h"

#include <algorithm>

namespace tarnwick {
namespace {

const ByteString& bytes_of(const ChangedRange& range, RangeSide side) {
    return side == RangeSide::old_bytes ? range.old_bytes : range.new_bytes;
}

}  // namespace

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

JournalMatch match_of(const SaveJournal& journal, const std::string& key, const FileIdentity& identity) {
    if (journal.file_path == key) return JournalMatch::by_path;
    if (journal.identity.same_file(identity)) return JournalMatch::by_identity;
    // Journals written before the digest was kept prove nothing by content.
    if (journal.version >= 2 && journal.identity.size == identity.size) return JournalMatch::by_content;
    return JournalMatch::none;
}

RangeState ranges_in(const SaveJournal& journal, ByteView bytes) {
    if (journal.identity.size != static_cast<std::int64_t>(bytes.size())) return RangeState::foreign;
    bool any_old = false;
    bool any_new = false;
    for (const ChangedRange& range : journal.ranges) {
        const ByteView there = bytes.subspan(static_cast<std::size_t>(range.offset), range.old_bytes.size());
        if (std::equal(there.begin(), there.end(), range.old_bytes.begin())) {
            any_old = true;
            continue;
        }
        if (std::equal(there.begin(), there.end(), range.new_bytes.begin())) {
            any_new = true;
            continue;
        }
        for (std::size_t i = 0; i < there.size(); ++i) {
            if (there[i] != range.old_bytes[i] && there[i] != range.new_bytes[i]) return RangeState::foreign;
        }
        any_old = any_new = true;  // a range written in part
    }
    if (any_new && any_old) return RangeState::torn;
    return any_new ? RangeState::all_new : RangeState::all_old;
}

JournalReading reading_of(const JournalEntry& entry, JournalMatch match, ByteView bytes, std::int64_t modified_ns,
                          const JournalFolder& journals) {
    JournalReading reading;
    reading.match = match;
    reading.ranges = ranges_in(entry.journal, bytes);
    if (reading.ranges != RangeState::torn) return reading;
    reading.digest_ok =
        entry.journal.version < 2 || digest_with_old_bytes(bytes, entry.journal.ranges) == entry.journal.digest;
    if (reading.digest_ok) reading.settled = journals.has(settled_marker(entry.stem, digest_of(bytes)));
    reading.modified_after = modified_ns > entry.written_ns + kLongestWriteNs;
    return reading;
}

Problem read_back(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges, RangeSide side) {
    ByteString there;
    for (const ChangedRange& range : ranges) {
        const ByteString& wanted = bytes_of(range, side);
        there.assign(wanted.size(), 0);
        std::size_t got = 0;
        if (read_all_uncached(calls, handle, range.offset, there.data(), there.size(), got) || got < there.size()) {
            return Problem::of_kind(FileProblem::unreadable);
        }
        if (there != wanted) return Problem::of_kind(FileProblem::read_back_mismatch);
    }
    return {};
}


Problem write_verified(FileSystemCalls& calls, Handle handle, std::span<const ChangedRange> ranges, RangeSide side) {
    for (const ChangedRange& range : ranges) {
        if (const std::error_code ec = write_all_at(calls, handle, range.offset, bytes_of(range, side))) {
            return Problem::from_system(ec);
        }
    }
    if (const std::error_code ec = calls.flush(handle)) return Problem::from_system(ec);
    return read_back(calls, handle, ranges, side);
}

}  // namespace tarnwick
