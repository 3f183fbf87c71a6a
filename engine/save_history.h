// The history of saves in a folder of the user's own, so that any patch, and any save cut off half-way, can be taken back later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/file_calls.h"
#include "engine/journal_format.h"
#include "engine/outcomes.h"

namespace tarnwick {

// The history lives beside the journals: ".../tts-tarnwick/history".
std::filesystem::path history_folder_beside(const std::filesystem::path& journal_folder);

// The history keeps at most this many finished records, and this many bytes
// of them; the oldest go first. Records of interrupted saves have bounds of
// their own, so that any number of finished saves never evicts them.
inline constexpr std::size_t kMaxHistoryRecords = 1000;
inline constexpr std::int64_t kMaxHistoryBytes = std::int64_t{16} << 20;
inline constexpr std::size_t kMaxInterruptedRecords = 100;
inline constexpr std::int64_t kMaxInterruptedBytes = std::int64_t{4} << 20;

// Records are files named after what finds them: a finished save's
// "<after digest>-<token>.record" (older releases wrote
// "<after digest>-<time>-<size>-<token>.record"), an interrupted save's
// "<file size>-<token>.interrupted". A record is used, counted and pruned
// only as read and checked: a name, a link or a damaged file proves nothing
// and is left where it lies.
class SaveHistory {
public:
    SaveHistory(FileSystemCalls& calls, std::filesystem::path folder);
    ~SaveHistory();
    SaveHistory(const SaveHistory&) = delete;
    SaveHistory& operator=(const SaveHistory&) = delete;

    // Opens the folder, making it where it is missing with `create`; refused
    // where it is not the user's own. Without `create` a missing folder is
    // no problem: it holds nothing.
    Problem open(bool create);

    // Writes a record whole under its name, flushes it and reads it back; a
    // record already there with the same bytes counts as written. Then drops
    // the oldest records of its kind beyond their bounds.
    Problem add(const SaveRecord& record);

    // Whether the finished record of the save `token` that left `after` is
    // there, whole and durable: a record its save had not yet made durable
    // when it died is made so now.
    bool has_finished(std::uint64_t token, const FileDigest& after);

    // Records not (yet) in the folder that lookups take as interrupted ones:
    // the journals a look found and could not turn into records.
    void consider_too(std::vector<SaveRecord> pending);

    // The patch saves that lead to bytes with `digest` in a file of `size`
    // bytes, newest first, each the one that made its successor's bytes: the
    // first is what an undo takes back. Interrupted saves that wrote every
    // range count. Empty, without a problem, where the history has none.
    Problem leading_to(const FileDigest& digest, std::int64_t size, std::vector<SaveRecord>& out);

    // Every record, of any kind, that left bytes with `digest`, newest first.
    std::vector<SaveRecord> made(const FileDigest& digest, std::int64_t size);

    // The records of interrupted saves of files of `size` bytes, newest first.
    std::vector<SaveRecord> interrupted_of_size(std::int64_t size);

    // Whether any record is of the file at `path` (resolved, UTF-8).
    bool knows_file(const std::string& path);

    // Removes every record of the saves leading to `digest` and of the
    // undos between them; `removed` counts them.
    Problem forget(const FileDigest& digest, std::int64_t size, int& removed);

    // Files found among the records that are not whole records of this
    // program, or do not match their names: left alone, never used.
    int unreadable() const { return unreadable_; }

private:
    struct Verified {
        SaveRecord record;
        std::int64_t bytes = 0;  // the file's size
    };
    enum class Family { finished, interrupted };
    void list();
    const Verified* read(const std::string& name);
    std::vector<SaveRecord> read_named(const std::string& prefix, const std::string& suffix);
    void prune(Family family);

    FileSystemCalls& calls_;
    std::filesystem::path path_;
    FileSystemCalls::Folder folder_{-1, {}};
    bool missing_ = false;               // opened without `create` and not there
    std::vector<std::string> names_;     // as listed
    std::map<std::string, std::optional<Verified>> seen_;  // every name read so far: whole, or not
    std::vector<SaveRecord> pending_;
    int unreadable_ = 0;
};

// The name a record is kept under.
std::string record_name(const SaveRecord& record);

}  // namespace tarnwick
