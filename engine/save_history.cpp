#include "engine/save_history.h"

#include <algorithm>
#include <set>

#include "engine/journal_folder.h"

namespace tarnwick {
namespace {

constexpr std::string_view kRecordSuffix = ".record";
constexpr std::string_view kInterruptedSuffix = ".interrupted";
// A record while it is written; never read, counted or pruned.
constexpr std::string_view kPartialInfix = ".partial-";
constexpr std::size_t kDigestHex = 32;

// How many records of a family may lie in the folder before any bound can be
// passed: each record is at most kMaxRecordBytes, so below this count neither
// bound is reached and nothing needs to be read to know it.
constexpr std::size_t unread_below(std::size_t most, std::int64_t bytes) {
    return std::min<std::size_t>(most, static_cast<std::size_t>(bytes / static_cast<std::int64_t>(kMaxRecordBytes)));
}

bool newer(const SaveRecord& a, const SaveRecord& b) {
    return a.time_ns != b.time_ns ? a.time_ns > b.time_ns : a.token > b.token;
}

}  // namespace

std::string record_name(const SaveRecord& record) {
    if (record.state == SaveRecord::State::interrupted) {
        return std::to_string(record.file_size) + '-' + token_text(record.token) + std::string(kInterruptedSuffix);
    }
    return hex_text(record.after) + '-' + token_text(record.token) + std::string(kRecordSuffix);
}

std::filesystem::path history_folder_beside(const std::filesystem::path& journal_folder) {
    return journal_folder.empty() ? std::filesystem::path{} : journal_folder.parent_path() / "history";
}

SaveHistory::SaveHistory(FileSystemCalls& calls, std::filesystem::path folder)
    : calls_(calls), path_(std::move(folder)) {}

SaveHistory::~SaveHistory() {
    if (folder_.handle != -1) calls_.close(folder_.handle);
}

Problem SaveHistory::open(bool create) {
    if (folder_.handle != -1) return {};
    if (missing_ && !create) return {};
    if (path_.empty()) return Problem::of_kind(FileProblem::no_journal_folder);
    const OwnFolderOpened opened = open_own_folder(calls_, path_, create, folder_);
    if (opened.error) return {FileProblem::history_failed, system_words(opened.error), path_, 0, 0};
    if (opened.missing) {
        missing_ = true;  // nothing recorded yet
        return {};
    }
    if (opened.trust != FolderTrust::trusted) return Problem::at(FileProblem::history_folder_untrusted, path_);
    missing_ = false;
    list();
    return {};
}

void SaveHistory::list() {
    names_.clear();
    if (calls_.list_folder(folder_, names_)) names_.clear();
    std::sort(names_.begin(), names_.end());
}

const SaveHistory::Verified* SaveHistory::read(const std::string& name) {
    if (const auto known = seen_.find(name); known != seen_.end()) return known->second ? &*known->second : nullptr;
    std::optional<Verified>& verdict = seen_[name];
    FileSystemCalls::Handle handle{};
    FileInfo info;
    if (calls_.open_in_folder(folder_, name, handle, info)) {
        ++unreadable_;
        return nullptr;
    }
    ByteString bytes;
    const Problem problem =
        read_whole_open_file(calls_, handle, info, static_cast<std::int64_t>(kMaxRecordBytes), bytes);
    calls_.close(handle);
    std::optional<SaveRecord> record;
    if (!problem) record = decode_record(bytes);
    // A record is found by its name: one whose bytes say otherwise proves nothing.
    bool named_so = false;
    if (record) {
        const bool interrupted = record->state == SaveRecord::State::interrupted;
        if (record->token != 0 || interrupted) {
            named_so = name == record_name(*record);
        } else {
            // Older releases named a record "<after>-<time>-<size>-<token>".
            named_so = name.ends_with(kRecordSuffix) && name.size() > kDigestHex && name[kDigestHex] == '-' &&
                       name.compare(0, kDigestHex, hex_text(record->after)) == 0;
        }
    }
    if (!named_so) {
        ++unreadable_;
        return nullptr;
    }
    verdict = Verified{std::move(*record), static_cast<std::int64_t>(bytes.size())};
    return &*verdict;
}

std::vector<SaveRecord> SaveHistory::read_named(const std::string& prefix, const std::string& suffix) {
    std::vector<SaveRecord> found;
    if (folder_.handle == -1) return found;
    for (auto name = std::lower_bound(names_.begin(), names_.end(), prefix);
         name != names_.end() && name->starts_with(prefix); ++name) {
        if (!name->ends_with(suffix) || name->find(kPartialInfix) != std::string::npos) continue;
        if (const Verified* verified = read(*name)) found.push_back(verified->record);
    }
    std::sort(found.begin(), found.end(), newer);
    return found;
}

Problem SaveHistory::add(const SaveRecord& record) {
    if (Problem problem = open(true)) return problem;
    const ByteString bytes = encode_record(record);
    const std::string name = record_name(record);
    const auto failed = [&](std::error_code ec) {
        return Problem{FileProblem::history_failed, system_words(ec), path_, 0, 0};
    };
    // Whole and durable already: a journal turned into its record twice, by
    // two runs or after a crash, is one record.
    const auto holds_it = [&] {
        FileSystemCalls::Handle handle{};
        FileInfo info;
        if (calls_.open_in_folder(folder_, name, handle, info)) return false;
        ByteString there;
        const Problem problem =
            read_whole_open_file(calls_, handle, info, static_cast<std::int64_t>(kMaxRecordBytes), there);
        calls_.close(handle);
        return !problem && there == bytes;
    };
    if (std::binary_search(names_.begin(), names_.end(), name)) {
        if (holds_it()) {
            // Its writer may have died before the name was durable.
            if (const std::error_code ec = calls_.flush_folder(folder_)) return failed(ec);
            return {};
        }
        // Not whole: its source still exists, so it is written again (some
        // systems rename onto no existing name).
        calls_.remove_in_folder(folder_, name);
    }

    // Written whole under a name of its own, then given its real name, so
    // that a record is always whole.
    const std::string partial = name + std::string(kPartialInfix) + token_text(new_save_token());
    FileSystemCalls::Handle handle{};
    if (const std::error_code ec = calls_.create_in_folder(folder_, partial, handle)) return failed(ec);
    std::error_code ec = write_all_at(calls_, handle, 0, bytes);
    if (!ec) ec = calls_.flush(handle);
    const std::error_code closed = calls_.close(handle);
    if (!ec) ec = closed;
    if (!ec) ec = calls_.rename_in_folder(folder_, partial, name);
    if (!ec) ec = calls_.flush_folder(folder_);
    if (ec) {
        calls_.remove_in_folder(folder_, partial);
        return failed(ec);
    }
    if (!holds_it()) return failed(std::make_error_code(std::errc::io_error));
    if (!std::binary_search(names_.begin(), names_.end(), name)) {
        names_.insert(std::upper_bound(names_.begin(), names_.end(), name), name);
    }
    seen_[name] = Verified{record, static_cast<std::int64_t>(bytes.size())};
    prune(record.state == SaveRecord::State::interrupted ? Family::interrupted : Family::finished);
    return {};
}

void SaveHistory::prune(Family family) {
    const bool interrupted = family == Family::interrupted;
    const std::string_view suffix = interrupted ? kInterruptedSuffix : kRecordSuffix;
    const std::size_t most = interrupted ? kMaxInterruptedRecords : kMaxHistoryRecords;
    const std::int64_t most_bytes = interrupted ? kMaxInterruptedBytes : kMaxHistoryBytes;
    std::vector<std::string> candidates;
    for (const std::string& name : names_) {
        if (name.ends_with(suffix) && name.find(kPartialInfix) == std::string::npos) candidates.push_back(name);
    }
    if (candidates.size() <= unread_below(most, most_bytes)) return;
    // Only what is read and whole counts: a name says nothing of a file's
    // time or size, and a file that is no record is never removed.
    struct Kept {
        std::string name;
        const Verified* verified;
    };
    std::vector<Kept> kept;
    std::int64_t total = 0;
    for (const std::string& name : candidates) {
        const Verified* verified = read(name);
        if (verified == nullptr) continue;
        kept.push_back({name, verified});
        total += verified->bytes;
    }
    std::sort(kept.begin(), kept.end(),
              [](const Kept& a, const Kept& b) { return newer(b.verified->record, a.verified->record); });
    std::size_t dropped = 0;
    while (kept.size() - dropped > most || (total > most_bytes && kept.size() - dropped > 1)) {
        total -= kept[dropped].verified->bytes;
        calls_.remove_in_folder(folder_, kept[dropped].name);
        seen_.erase(kept[dropped].name);
        names_.erase(std::lower_bound(names_.begin(), names_.end(), kept[dropped].name));
        ++dropped;
    }
    if (dropped > 0) calls_.flush_folder(folder_);
}

bool SaveHistory::has_finished(std::uint64_t token, const FileDigest& after) {
    if (open(false) || folder_.handle == -1) return false;
    SaveRecord probe;
    probe.after = after;
    probe.token = token;
    const std::string name = record_name(probe);
    if (!std::binary_search(names_.begin(), names_.end(), name)) return false;
    const Verified* verified = read(name);
    // Its save may have died before the name was durable.
    return verified != nullptr && verified->record.state == SaveRecord::State::finished && !calls_.flush_folder(folder_);
}

void SaveHistory::consider_too(std::vector<SaveRecord> pending) {
    for (SaveRecord& record : pending) pending_.push_back(std::move(record));
}

std::vector<SaveRecord> SaveHistory::interrupted_of_size(std::int64_t size) {
    std::vector<SaveRecord> found;
    if (!open(false) && folder_.handle != -1) {
        found = read_named(std::to_string(size) + '-', std::string(kInterruptedSuffix));
    }
    for (const SaveRecord& record : pending_) {
        const bool known = std::any_of(found.begin(), found.end(),
                                       [&](const SaveRecord& r) { return r.token == record.token && record.token != 0; });
        if (record.file_size == size && !known) found.push_back(record);
    }
    std::sort(found.begin(), found.end(), newer);
    return found;
}

std::vector<SaveRecord> SaveHistory::made(const FileDigest& digest, std::int64_t size) {
    std::vector<SaveRecord> found;
    if (!open(false) && folder_.handle != -1) found = read_named(hex_text(digest) + '-', std::string(kRecordSuffix));
    for (SaveRecord& record : interrupted_of_size(size)) {
        if (record.after == digest) found.push_back(std::move(record));
    }
    std::sort(found.begin(), found.end(), newer);
    return found;
}

Problem SaveHistory::leading_to(const FileDigest& digest, std::int64_t size, std::vector<SaveRecord>& out) {
    out.clear();
    if (Problem problem = open(false)) return problem;
    std::set<FileDigest> seen{digest};
    FileDigest bytes = digest;
    while (out.size() < kMaxHistoryRecords + kMaxInterruptedRecords) {
        std::vector<SaveRecord> records = made(bytes, size);
        const auto patch = std::find_if(records.begin(), records.end(),
                                        [](const SaveRecord& r) { return r.kind == SaveRecord::Kind::patch; });
        if (patch == records.end()) break;
        out.push_back(std::move(*patch));
        // Bytes seen before would lead round in a circle.
        if (!seen.insert(out.back().before).second) break;
        bytes = out.back().before;
    }
    return {};
}

bool SaveHistory::knows_file(const std::string& path) {
    if (open(false) || folder_.handle == -1) return false;
    for (const std::string& name : names_) {
        if (name.find(kPartialInfix) != std::string::npos) continue;
        if (!name.ends_with(kRecordSuffix) && !name.ends_with(kInterruptedSuffix)) continue;
        if (const Verified* verified = read(name); verified != nullptr && verified->record.file_path == path) return true;
    }
    return false;
}

Problem SaveHistory::forget(const FileDigest& digest, std::int64_t size, int& removed) {
    removed = 0;
    std::vector<SaveRecord> chain;
    if (Problem problem = leading_to(digest, size, chain)) return problem;
    if (folder_.handle == -1) return {};
    std::set<FileDigest> made_bytes{digest};
    for (const SaveRecord& record : chain) made_bytes.insert(record.before);
    const std::vector<std::string> names = names_;
    for (const std::string& name : names) {
        if (name.find(kPartialInfix) != std::string::npos) continue;
        if (!name.ends_with(kRecordSuffix) && !name.ends_with(kInterruptedSuffix)) continue;
        const Verified* verified = read(name);
        if (verified == nullptr || verified->record.file_size != size || !made_bytes.contains(verified->record.after)) {
            continue;
        }
        if (const std::error_code ec = calls_.remove_in_folder(folder_, name)) {
            return {FileProblem::history_failed, system_words(ec), path_, 0, 0};
        }
        seen_.erase(name);
        names_.erase(std::lower_bound(names_.begin(), names_.end(), name));
        ++removed;
    }
    if (const std::error_code ec = calls_.flush_folder(folder_)) {
        return {FileProblem::history_failed, system_words(ec), path_, 0, 0};
    }
    return {};
}

}  // namespace tarnwick
