// The history of finished saves in a folder of the user's own, so that any patch can be taken back later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/file_calls.h"
#include "engine/journal_format.h"
#include "engine/outcomes.h"

namespace tarnwick {

// The history lives beside the journals: ".../tts-tarnwick/history".
std::filesystem::path history_folder_beside(const std::filesystem::path& journal_folder);

// The history keeps at most this many records, and this many bytes of them;
// the oldest go first.
inline constexpr std::size_t kMaxHistoryRecords = 1000;
inline constexpr std::int64_t kMaxHistoryBytes = std::int64_t{16} << 20;

// Records are files named "<after digest>-<time>-<size>-<token>.record", so
// that the saves that made given bytes are found by name. A record is used
// only as read and checked: a name, a link or a damaged file proves nothing.
class SaveHistory {
public:
    SaveHistory(FileSystemCalls& calls, std::filesystem::path folder);
    ~SaveHistory();
    SaveHistory(const SaveHistory&) = delete;
    SaveHistory& operator=(const SaveHistory&) = delete;

    // Adds a record, making the folder where it is missing, and drops the
    // oldest records beyond the bounds.
    Problem add(const SaveRecord& record);

    // The patch saves that lead to bytes with `digest`, newest first, each
    // the one that made its successor's bytes: the first is what an undo
    // takes back. Empty, without a problem, where the history has none.
    Problem leading_to(const FileDigest& digest, std::vector<SaveRecord>& out);

    // Whether an undo left bytes with `digest`: every patch before it taken back.
    bool undone_to(const FileDigest& digest);

    // Whether any record is of the file at `path` (resolved, UTF-8).
    bool knows_file(const std::string& path);

    // Removes every record of the saves leading to `digest` and of the
    // undos between them; `removed` counts them.
    Problem forget(const FileDigest& digest, int& removed);

    // Records found in the folder that are not whole records of this
    // program, or do not match their names: left alone, never used.
    int unreadable() const { return unreadable_; }

private:
    struct Entry {
        std::string name;
        std::int64_t time_ns = 0;
        std::int64_t size = 0;
    };
    Problem open(bool create);
    void list();
    std::optional<SaveRecord> read(const Entry& entry);
    std::vector<SaveRecord> records_after(const FileDigest& digest);
    void prune();

    FileSystemCalls& calls_;
    std::filesystem::path path_;
    FileSystemCalls::Folder folder_{-1, {}};
    std::vector<Entry> entries_;  // oldest first
    int unreadable_ = 0;
};

}  // namespace tarnwick
