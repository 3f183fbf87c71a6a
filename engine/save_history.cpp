#include "engine/save_history.h"

#include <algorithm>
#include <charconv>
#include <random>
#include <set>

#include "engine/journal_folder.h"

namespace tarnwick {
namespace {

constexpr std::string_view kRecordSuffix = ".record";
constexpr std::string_view kPartialSuffixOfRecord = ".record-partial";
constexpr std::size_t kDigestHex = 32;

// A whole decimal number, or none.
std::optional<std::int64_t> decimal(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

std::string token() {
    static thread_local std::mt19937_64 numbers{std::random_device{}()};
    const std::uint64_t value = numbers();
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return hex_text(bytes);
}

}  // namespace

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
    if (path_.empty()) return Problem::of_kind(FileProblem::no_journal_folder);
    if (create) {
        if (const std::error_code ec = calls_.make_private_folder(path_)) {
            return {FileProblem::history_failed, system_words(ec), path_, 0, 0};
        }
    }
    FileInfo info;
    if (const std::error_code ec = calls_.open_folder(path_, folder_, info)) {
        folder_.handle = -1;
        if (!create && ec == std::errc::no_such_file_or_directory) return {};  // nothing recorded yet
        return {FileProblem::history_failed, system_words(ec), path_, 0, 0};
    }
    if (trust_of(info) != FolderTrust::trusted) {
        if (folder_.handle != -1) calls_.close(folder_.handle);
        folder_.handle = -1;
        return Problem::at(FileProblem::history_folder_untrusted, path_);
    }
    list();
    return {};
}

void SaveHistory::list() {
    entries_.clear();
    std::vector<std::string> names;
    if (calls_.list_folder(folder_, names)) return;
    for (std::string& name : names) {
        if (!name.ends_with(kRecordSuffix) || name.size() < kDigestHex + 1 || name[kDigestHex] != '-') continue;
        const std::string_view rest =
            std::string_view(name).substr(kDigestHex + 1, name.size() - kDigestHex - 1 - kRecordSuffix.size());
        const std::size_t first = rest.find('-');
        const std::size_t second = first == std::string_view::npos ? first : rest.find('-', first + 1);
        if (second == std::string_view::npos) continue;
        const std::optional<std::int64_t> time = decimal(rest.substr(0, first));
        const std::optional<std::int64_t> size = decimal(rest.substr(first + 1, second - first - 1));
        if (!time || !size) continue;
        entries_.push_back({std::move(name), *time, *size});
    }
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
        return a.time_ns != b.time_ns ? a.time_ns < b.time_ns : a.name < b.name;
    });
}

std::optional<SaveRecord> SaveHistory::read(const Entry& entry) {
    FileSystemCalls::Handle handle{};
    FileInfo info;
    if (calls_.open_in_folder(folder_, entry.name, handle, info)) {
        ++unreadable_;
        return std::nullopt;
    }
    ByteString bytes;
    const Problem problem =
        read_whole_open_file(calls_, handle, info, static_cast<std::int64_t>(kMaxRecordBytes), bytes);
    calls_.close(handle);
    std::optional<SaveRecord> record;
    if (!problem) record = decode_record(bytes);
    // A record is found by the digest in its name: one whose bytes say otherwise proves nothing.
    if (!record || entry.name.compare(0, kDigestHex, hex_text(record->after)) != 0) {
        ++unreadable_;
        return std::nullopt;
    }
    return record;
}

std::vector<SaveRecord> SaveHistory::records_after(const FileDigest& digest) {
    const std::string prefix = hex_text(digest) + '-';
    std::vector<SaveRecord> found;
    for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
        if (!entry->name.starts_with(prefix)) continue;
        if (std::optional<SaveRecord> record = read(*entry)) found.push_back(std::move(*record));
    }
    return found;
}

Problem SaveHistory::add(const SaveRecord& record) {
    if (Problem problem = open(true)) return problem;
    const ByteString bytes = encode_record(record);
    const std::string stem = hex_text(record.after) + '-' + std::to_string(record.time_ns) + '-' +
                             std::to_string(bytes.size()) + '-' + token();
    const std::string partial = stem + std::string(kPartialSuffixOfRecord);
    const std::string name = stem + std::string(kRecordSuffix);
    FileSystemCalls::Handle handle{};
    std::error_code ec = calls_.create_in_folder(folder_, partial, handle);
    if (!ec) {
        ec = write_all_at(calls_, handle, 0, bytes);
        if (!ec) ec = calls_.flush(handle);
        const std::error_code closed = calls_.close(handle);
        if (!ec) ec = closed;
        if (!ec) ec = calls_.rename_in_folder(folder_, partial, name);
        if (!ec) ec = calls_.flush_folder(folder_);
        if (ec) calls_.remove_in_folder(folder_, partial);
    }
    if (ec) return {FileProblem::history_failed, system_words(ec), path_, 0, 0};
    entries_.push_back({name, record.time_ns, static_cast<std::int64_t>(bytes.size())});
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.time_ns < b.time_ns; });
    prune();
    return {};
}

void SaveHistory::prune() {
    std::int64_t total = 0;
    for (const Entry& entry : entries_) total += entry.size;
    std::size_t dropped = 0;
    while (entries_.size() - dropped > kMaxHistoryRecords || (total > kMaxHistoryBytes && entries_.size() - dropped > 1)) {
        calls_.remove_in_folder(folder_, entries_[dropped].name);
        total -= entries_[dropped].size;
        ++dropped;
    }
    if (dropped == 0) return;
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(dropped));
    calls_.flush_folder(folder_);
}

Problem SaveHistory::leading_to(const FileDigest& digest, std::vector<SaveRecord>& out) {
    out.clear();
    if (Problem problem = open(false)) return problem;
    if (folder_.handle == -1) return {};
    std::set<FileDigest> seen{digest};
    FileDigest bytes = digest;
    while (out.size() < kMaxHistoryRecords) {
        std::vector<SaveRecord> made = records_after(bytes);
        const auto patch = std::find_if(made.begin(), made.end(),
                                        [](const SaveRecord& r) { return r.kind == SaveRecord::Kind::patch; });
        if (patch == made.end()) break;
        out.push_back(std::move(*patch));
        // Bytes seen before would lead round in a circle.
        if (!seen.insert(out.back().before).second) break;
        bytes = out.back().before;
    }
    return {};
}

bool SaveHistory::undone_to(const FileDigest& digest) {
    if (open(false) || folder_.handle == -1) return false;
    const std::vector<SaveRecord> made = records_after(digest);
    return std::any_of(made.begin(), made.end(), [](const SaveRecord& r) { return r.kind == SaveRecord::Kind::undo; });
}

bool SaveHistory::knows_file(const std::string& path) {
    if (open(false) || folder_.handle == -1) return false;
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
        const std::optional<SaveRecord> record = read(entry);
        return record && record->file_path == path;
    });
}

Problem SaveHistory::forget(const FileDigest& digest, int& removed) {
    removed = 0;
    std::vector<SaveRecord> chain;
    if (Problem problem = leading_to(digest, chain)) return problem;
    if (folder_.handle == -1) return {};
    std::set<std::string> prefixes{hex_text(digest)};
    for (const SaveRecord& record : chain) prefixes.insert(hex_text(record.before));
    std::vector<Entry> kept;
    for (const Entry& entry : entries_) {
        if (!prefixes.contains(entry.name.substr(0, kDigestHex))) {
            kept.push_back(entry);
            continue;
        }
        if (const std::error_code ec = calls_.remove_in_folder(folder_, entry.name)) {
            return {FileProblem::history_failed, system_words(ec), path_, 0, 0};
        }
        ++removed;
    }
    entries_ = std::move(kept);
    if (const std::error_code ec = calls_.flush_folder(folder_)) {
        return {FileProblem::history_failed, system_words(ec), path_, 0, 0};
    }
    return {};
}

}  // namespace tarnwick
