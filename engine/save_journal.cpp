#include "engine/save_journal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace tarnwick {
namespace {

constexpr std::array<std::uint8_t, 8> kMagic{'T', 'T', 'S', 'J', 'R', 'N', 'L', '1'};

// FNV-1a, 64 bits: enough to tell a journal cut short from a whole one.
std::uint64_t fnv1a(ByteView bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const std::uint8_t b : bytes) {
        hash ^= b;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

class Writer {
public:
    void bytes(ByteView b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void u32(std::uint32_t v) { little_endian(v, 4); }
    void u64(std::uint64_t v) { little_endian(v, 8); }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    ByteString take() { return std::move(out_); }
    ByteView written() const { return out_; }

private:
    void little_endian(std::uint64_t v, int count) {
        for (int i = 0; i < count; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    ByteString out_;
};

// Reads forward through untrusted bytes; every read past the end fails.
class Reader {
public:
    explicit Reader(ByteView in) : in_(in) {}
    bool bytes(std::size_t n, ByteString& out) {
        if (n > in_.size() - at_) return false;
        out.assign(in_.begin() + static_cast<std::ptrdiff_t>(at_), in_.begin() + static_cast<std::ptrdiff_t>(at_ + n));
        at_ += n;
        return true;
    }
    bool u32(std::uint32_t& v) {
        std::uint64_t wide = 0;
        if (!little_endian(4, wide)) return false;
        v = static_cast<std::uint32_t>(wide);
        return true;
    }
    bool u64(std::uint64_t& v) { return little_endian(8, v); }
    bool i64(std::int64_t& v) {
        std::uint64_t wide = 0;
        if (!little_endian(8, wide)) return false;
        v = static_cast<std::int64_t>(wide);
        return true;
    }
    bool at_end() const { return at_ == in_.size(); }

private:
    bool little_endian(std::size_t count, std::uint64_t& v) {
        if (count > in_.size() - at_) return false;
        v = 0;
        for (std::size_t i = 0; i < count; ++i) v |= std::uint64_t{in_[at_ + i]} << (8 * i);
        at_ += count;
        return true;
    }
    ByteView in_;
    std::size_t at_ = 0;
};

ByteView text_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::uint64_t journal_checksum(ByteView bytes) { return fnv1a(bytes); }

ByteString encode_journal(const SaveJournal& journal) {
    Writer w;
    w.bytes(kMagic);
    w.u32(static_cast<std::uint32_t>(journal.file_path.size()));
    w.bytes(text_bytes(journal.file_path));
    w.u64(journal.identity.device);
    w.u64(journal.identity.file_index);
    w.i64(journal.identity.size);
    w.i64(journal.identity.modified_ns);
    w.u32(static_cast<std::uint32_t>(journal.ranges.size()));
    for (const ChangedRange& range : journal.ranges) {
        w.i64(range.offset);
        w.u32(static_cast<std::uint32_t>(range.old_bytes.size()));
        w.bytes(range.old_bytes);
        w.bytes(range.new_bytes);
    }
    w.u64(fnv1a(w.written()));
    return w.take();
}

std::optional<SaveJournal> decode_journal(ByteView bytes) {
    if (bytes.size() < kMagic.size() + 8) return std::nullopt;
    const ByteView body = bytes.first(bytes.size() - 8);
    Reader tail(bytes.last(8));
    std::uint64_t checksum = 0;
    tail.u64(checksum);
    if (checksum != fnv1a(body) || !std::equal(kMagic.begin(), kMagic.end(), body.begin())) return std::nullopt;

    Reader r(body.subspan(kMagic.size()));
    SaveJournal journal;
    std::uint32_t path_length = 0;
    ByteString path;
    std::uint32_t count = 0;
    if (!r.u32(path_length) || !r.bytes(path_length, path) || !r.u64(journal.identity.device) ||
        !r.u64(journal.identity.file_index) || !r.i64(journal.identity.size) ||
        !r.i64(journal.identity.modified_ns) || !r.u32(count)) {
        return std::nullopt;
    }
    journal.file_path.assign(path.begin(), path.end());
    for (std::uint32_t i = 0; i < count; ++i) {
        ChangedRange range;
        std::uint32_t length = 0;
        if (!r.i64(range.offset) || !r.u32(length) || !r.bytes(length, range.old_bytes) ||
            !r.bytes(length, range.new_bytes)) {
            return std::nullopt;
        }
        if (range.offset < 0) return std::nullopt;
        journal.ranges.push_back(std::move(range));
    }
    if (!r.at_end()) return std::nullopt;
    return journal;
}

std::filesystem::path journal_path(const std::filesystem::path& folder, const std::filesystem::path& absolute_path) {
    const std::u8string key = absolute_path.u8string();
    const std::uint64_t hash = fnv1a({reinterpret_cast<const std::uint8_t*>(key.data()), key.size()});
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string name(16, '0');
    for (int i = 0; i < 16; ++i) name[static_cast<std::size_t>(15 - i)] = kDigits[(hash >> (4 * i)) & 0xF];

    // The file's own name, in letters every file system takes, cut short:
    // the hash alone tells journals apart.
    constexpr std::size_t kShownName = 48;
    name += '-';
    const std::u8string file_name = absolute_path.filename().u8string();
    for (std::size_t i = 0; i < file_name.size() && i < kShownName; ++i) {
        const auto c = static_cast<char>(file_name[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '_';
        name += plain ? c : '_';
    }
    name += ".journal";
    return folder / name;
}

std::filesystem::path journal_key(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::path key = std::filesystem::weakly_canonical(path, ec);
    if (ec) key = std::filesystem::absolute(path, ec);
    if (ec) key = path;
    return key.lexically_normal();
}

}  // namespace tarnwick
