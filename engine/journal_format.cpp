#include "engine/journal_format.h"

#include <algorithm>
#include <new>
#include <random>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tarnwick {
namespace {

constexpr std::array<std::uint8_t, 8> kMagicV1{'T', 'T', 'S', 'J', 'R', 'N', 'L', '1'};
constexpr std::array<std::uint8_t, 8> kMagicV2{'T', 'T', 'S', 'J', 'R', 'N', 'L', '2'};
constexpr std::array<std::uint8_t, 8> kRecordMagic{'T', 'T', 'S', 'H', 'I', 'S', 'T', '1'};
constexpr std::size_t kChecksumBytes = 8;
constexpr std::size_t kRangeHeaderBytes = 8 + 4;  // offset, length

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
    void u8(std::uint8_t v) { out_.push_back(v); }
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

// Reads forward through untrusted bytes; every read past the end fails, and
// nothing is allocated beyond what the bytes present can fill.
class Reader {
public:
    explicit Reader(ByteView in) : in_(in) {}
    std::size_t left() const { return in_.size() - at_; }
    bool bytes(std::size_t n, ByteString& out) {
        if (n > left()) return false;
        out.assign(in_.begin() + static_cast<std::ptrdiff_t>(at_), in_.begin() + static_cast<std::ptrdiff_t>(at_ + n));
        at_ += n;
        return true;
    }
    template <std::size_t N>
    bool fixed(std::array<std::uint8_t, N>& out) {
        if (N > left()) return false;
        std::copy_n(in_.begin() + static_cast<std::ptrdiff_t>(at_), N, out.begin());
        at_ += N;
        return true;
    }
    bool u32(std::uint32_t& v) {
        std::uint64_t wide = 0;
        if (!little_endian(4, wide)) return false;
        v = static_cast<std::uint32_t>(wide);
        return true;
    }
    bool u64(std::uint64_t& v) { return little_endian(8, v); }
    bool u8(std::uint8_t& v) {
        std::uint64_t wide = 0;
        if (!little_endian(1, wide)) return false;
        v = static_cast<std::uint8_t>(wide);
        return true;
    }
    bool i64(std::int64_t& v) {
        std::uint64_t wide = 0;
        if (!little_endian(8, wide)) return false;
        v = static_cast<std::int64_t>(wide);
        return true;
    }

private:
    bool little_endian(std::size_t count, std::uint64_t& v) {
        if (count > left()) return false;
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

FileDigest canonical(XXH128_hash_t hash) {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, hash);
    FileDigest digest;
    std::copy_n(canonical.digest, digest.size(), digest.begin());
    return digest;
}

// What `decode` makes of untrusted bytes, or none where holding it would take
// more memory than there is: no exception leaves the decoders.
template <typename Decode>
auto without_throwing(Decode decode, ByteView bytes) noexcept -> decltype(decode(bytes)) {
    try {
        return decode(bytes);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

// Ranges as a journal holds them: ascending, apart, inside a file of `size` bytes.
bool read_ranges(Reader& r, std::int64_t size, std::vector<ChangedRange>& ranges) {
    std::uint32_t count = 0;
    if (!r.u32(count) || count > r.left() / kRangeHeaderBytes) return false;
    ranges.reserve(count);
    std::int64_t end_of_last = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        ChangedRange range;
        std::uint32_t length = 0;
        if (!r.i64(range.offset) || !r.u32(length) || length > r.left() / 2 || !r.bytes(length, range.old_bytes) ||
            !r.bytes(length, range.new_bytes)) {
            return false;
        }
        if (range.offset < end_of_last || length == 0 || range.offset > size - length) return false;
        end_of_last = range.offset + length;
        ranges.push_back(std::move(range));
    }
    return true;
}

void write_ranges(Writer& w, std::span<const ChangedRange> ranges) {
    w.u32(static_cast<std::uint32_t>(ranges.size()));
    for (const ChangedRange& range : ranges) {
        w.i64(range.offset);
        w.u32(static_cast<std::uint32_t>(range.old_bytes.size()));
        w.bytes(range.old_bytes);
        w.bytes(range.new_bytes);
    }
}

// The body of checksummed bytes under `magic`, or none.
std::optional<ByteView> checked_body(ByteView bytes, std::size_t longest, ByteView magic) {
    if (bytes.size() > longest || bytes.size() < magic.size() + kChecksumBytes) return std::nullopt;
    const ByteView body = bytes.first(bytes.size() - kChecksumBytes);
    std::uint64_t checksum = 0;
    Reader(bytes.last(kChecksumBytes)).u64(checksum);
    if (checksum != fnv1a(body) || !std::equal(magic.begin(), magic.end(), body.begin())) return std::nullopt;
    return body.subspan(magic.size());
}

std::optional<SaveJournal> decode(ByteView bytes) {
    if (bytes.size() > kMaxJournalBytes || bytes.size() < kMagicV2.size() + kChecksumBytes) return std::nullopt;
    const ByteView body = bytes.first(bytes.size() - kChecksumBytes);
    std::uint64_t checksum = 0;
    Reader(bytes.last(kChecksumBytes)).u64(checksum);
    if (checksum != fnv1a(body)) return std::nullopt;

    SaveJournal journal;
    if (std::equal(kMagicV2.begin(), kMagicV2.end(), body.begin())) {
        journal.version = 2;
    } else if (std::equal(kMagicV1.begin(), kMagicV1.end(), body.begin())) {
        journal.version = 1;
    } else {
        return std::nullopt;
    }
    Reader r(body.subspan(kMagicV2.size()));
    std::uint32_t path_length = 0;
    ByteString path;
    if (!r.u32(path_length) || !r.bytes(path_length, path) || !r.u64(journal.identity.device) ||
        !r.u64(journal.identity.file_index) || !r.i64(journal.identity.size) ||
        !r.i64(journal.identity.modified_ns) || journal.identity.size < 0) {
        return std::nullopt;
    }
    if (journal.version == 2 && !r.fixed(journal.digest)) return std::nullopt;
    journal.file_path.assign(path.begin(), path.end());
    // Ascending and apart, inside the file as it was: what a save writes.
    if (!read_ranges(r, journal.identity.size, journal.ranges) || r.left() != 0) return std::nullopt;
    return journal;
}

std::optional<SaveRecord> decode_save_record(ByteView bytes) {
    const std::optional<ByteView> body = checked_body(bytes, kMaxRecordBytes, kRecordMagic);
    if (!body) return std::nullopt;
    Reader r(*body);
    SaveRecord record;
    std::uint8_t kind = 0;
    std::uint32_t path_length = 0;
    ByteString path;
    if (!r.u8(kind) || kind > 1 || !r.u32(path_length) || !r.bytes(path_length, path) || !r.i64(record.time_ns) ||
        !r.i64(record.file_size) || record.file_size < 0 || !r.fixed(record.before) || !r.fixed(record.after)) {
        return std::nullopt;
    }
    record.kind = static_cast<SaveRecord::Kind>(kind);
    record.file_path.assign(path.begin(), path.end());
    std::uint32_t options = 0;
    if (!r.u32(options) || options > r.left() / 8) return std::nullopt;
    for (std::uint32_t i = 0; i < options; ++i) {
        std::uint32_t number = 0;
        std::uint32_t label_length = 0;
        ByteString label;
        if (!r.u32(number) || number > 1000 || !r.u32(label_length) || !r.bytes(label_length, label)) return std::nullopt;
        record.options.push_back({static_cast<int>(number), std::string(label.begin(), label.end())});
    }
    if (!read_ranges(r, record.file_size, record.ranges) || r.left() != 0) return std::nullopt;
    return record;
}

}  // namespace

std::int64_t SaveRecord::bytes_changed() const {
    std::int64_t total = 0;
    for (const ChangedRange& range : ranges) total += static_cast<std::int64_t>(range.new_bytes.size());
    return total;
}

ByteString encode_record(const SaveRecord& record) {
    Writer w;
    w.bytes(kRecordMagic);
    w.u8(static_cast<std::uint8_t>(record.kind));
    w.u32(static_cast<std::uint32_t>(record.file_path.size()));
    w.bytes(text_bytes(record.file_path));
    w.i64(record.time_ns);
    w.i64(record.file_size);
    w.bytes(record.before);
    w.bytes(record.after);
    w.u32(static_cast<std::uint32_t>(record.options.size()));
    for (const SaveRecord::Option& option : record.options) {
        w.u32(static_cast<std::uint32_t>(option.number));
        w.u32(static_cast<std::uint32_t>(option.label.size()));
        w.bytes(text_bytes(option.label));
    }
    write_ranges(w, record.ranges);
    w.u64(fnv1a(w.written()));
    return w.take();
}

std::optional<SaveRecord> decode_record(ByteView bytes) noexcept {
    return without_throwing(decode_save_record, bytes);
}

FileDigest digest_of(ByteView bytes) { return canonical(XXH3_128bits(bytes.data(), bytes.size())); }

FileDigest digest_with_old_bytes(ByteView bytes, std::span<const ChangedRange> ranges) {
    XXH3_state_t state;
    XXH3_128bits_reset(&state);
    std::size_t at = 0;
    for (const ChangedRange& range : ranges) {
        const auto offset = static_cast<std::size_t>(range.offset);
        if (range.offset < 0 || offset < at || offset > bytes.size() || range.old_bytes.size() > bytes.size() - offset) {
            continue;  // not a range of these bytes; callers check them first
        }
        XXH3_128bits_update(&state, bytes.data() + at, offset - at);
        XXH3_128bits_update(&state, range.old_bytes.data(), range.old_bytes.size());
        at = offset + range.old_bytes.size();
    }
    XXH3_128bits_update(&state, bytes.data() + at, bytes.size() - at);
    return canonical(XXH3_128bits_digest(&state));
}

std::uint64_t journal_checksum(ByteView bytes) { return fnv1a(bytes); }

ByteString encode_journal(const SaveJournal& journal) {
    Writer w;
    w.bytes(journal.version == 1 ? kMagicV1 : kMagicV2);
    w.u32(static_cast<std::uint32_t>(journal.file_path.size()));
    w.bytes(text_bytes(journal.file_path));
    w.u64(journal.identity.device);
    w.u64(journal.identity.file_index);
    w.i64(journal.identity.size);
    w.i64(journal.identity.modified_ns);
    if (journal.version != 1) w.bytes(journal.digest);
    write_ranges(w, journal.ranges);
    w.u64(fnv1a(w.written()));
    return w.take();
}

std::optional<SaveJournal> decode_journal(ByteView bytes) noexcept {
    return without_throwing(decode, bytes);
}

std::string hex_text(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

std::string path_hash(const std::filesystem::path& resolved_path) {
    const std::u8string key = resolved_path.u8string();
    const std::uint64_t hash = fnv1a({reinterpret_cast<const std::uint8_t*>(key.data()), key.size()});
    std::array<std::uint8_t, 8> big_endian{};
    for (std::size_t i = 0; i < 8; ++i) big_endian[i] = static_cast<std::uint8_t>(hash >> (8 * (7 - i)));
    return hex_text(big_endian);
}

namespace {

std::mt19937_64& journal_tokens() {
    static thread_local std::mt19937_64 tokens = [] {
        std::random_device entropy;
        std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
        return std::mt19937_64(seed);
    }();
    return tokens;
}

}  // namespace

void repeat_journal_tokens(std::uint64_t seed) { journal_tokens().seed(seed); }

std::string new_journal_stem(const std::filesystem::path& resolved_path) {
    const std::uint64_t token = journal_tokens()();
    std::array<std::uint8_t, 8> token_bytes{};
    for (std::size_t i = 0; i < 8; ++i) token_bytes[i] = static_cast<std::uint8_t>(token >> (8 * i));

    // The file's own name, in letters every file system takes, cut short:
    // the hash and the token alone tell journals apart.
    constexpr std::size_t kShownName = 48;
    std::string stem = path_hash(resolved_path) + '-' + hex_text(token_bytes) + '-';
    const std::u8string file_name = resolved_path.filename().u8string();
    for (std::size_t i = 0; i < file_name.size() && i < kShownName; ++i) {
        const auto c = static_cast<char>(file_name[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '_';
        stem += plain ? c : '_';
    }
    return stem;
}

std::string_view journal_stem(std::string_view name) {
    if (!name.ends_with(kJournalSuffix) || name.size() == kJournalSuffix.size()) return {};
    return name.substr(0, name.size() - kJournalSuffix.size());
}

std::string settled_marker(std::string_view stem, const FileDigest& digest) {
    return std::string(stem) + std::string(kSettledInfix) + hex_text(digest);
}

}  // namespace tarnwick
