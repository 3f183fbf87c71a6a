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
constexpr std::array<std::uint8_t, 8> kMagicV3{'T', 'T', 'S', 'J', 'R', 'N', 'L', '3'};
constexpr std::array<std::uint8_t, 8> kRecordMagicV1{'T', 'T', 'S', 'H', 'I', 'S', 'T', '1'};
constexpr std::array<std::uint8_t, 8> kRecordMagicV2{'T', 'T', 'S', 'H', 'I', 'S', 'T', '2'};
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

bool read_options(Reader& r, std::vector<SaveRecord::Option>& options) {
    std::uint32_t count = 0;
    if (!r.u32(count) || count > r.left() / 8) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t number = 0;
        std::uint32_t label_length = 0;
        ByteString label;
        if (!r.u32(number) || number > 1000 || !r.u32(label_length) || !r.bytes(label_length, label)) return false;
        options.push_back({static_cast<int>(number), std::string(label.begin(), label.end())});
    }
    return true;
}

void write_options(Writer& w, const std::vector<SaveRecord::Option>& options) {
    w.u32(static_cast<std::uint32_t>(options.size()));
    for (const SaveRecord::Option& option : options) {
        w.u32(static_cast<std::uint32_t>(option.number));
        w.u32(static_cast<std::uint32_t>(option.label.size()));
        w.bytes(text_bytes(option.label));
    }
}

bool read_text(Reader& r, std::string& text) {
    std::uint32_t length = 0;
    ByteString bytes;
    if (!r.u32(length) || !r.bytes(length, bytes)) return false;
    text.assign(bytes.begin(), bytes.end());
    return true;
}

bool read_kind(Reader& r, SaveRecord::Kind& kind) {
    std::uint8_t value = 0;
    if (!r.u8(value) || value > 2) return false;
    kind = static_cast<SaveRecord::Kind>(value);
    return true;
}

template <std::size_t N>
bool starts_with(ByteView body, const std::array<std::uint8_t, N>& magic) {
    return body.size() >= N && std::equal(magic.begin(), magic.end(), body.begin());
}

std::optional<SaveJournal> decode(ByteView bytes) {
    if (bytes.size() > kMaxJournalBytes || bytes.size() < kMagicV3.size() + kChecksumBytes) return std::nullopt;
    const ByteView body = bytes.first(bytes.size() - kChecksumBytes);
    std::uint64_t checksum = 0;
    Reader(bytes.last(kChecksumBytes)).u64(checksum);
    if (checksum != fnv1a(body)) return std::nullopt;

    SaveJournal journal;
    if (starts_with(body, kMagicV3)) {
        journal.version = 3;
    } else if (starts_with(body, kMagicV2)) {
        journal.version = 2;
    } else if (starts_with(body, kMagicV1)) {
        journal.version = 1;
    } else {
        return std::nullopt;
    }
    Reader r(body.subspan(kMagicV3.size()));
    if (!read_text(r, journal.save.file_path) || !r.u64(journal.identity.device) || !r.u64(journal.identity.file_index) ||
        !r.i64(journal.identity.size) || !r.i64(journal.identity.modified_ns) || journal.identity.size < 0) {
        return std::nullopt;
    }
    if (journal.version >= 2 && !r.fixed(journal.save.before)) return std::nullopt;
    if (journal.version >= 3) {
        if (!read_kind(r, journal.save.kind) || !r.u64(journal.save.token) || !r.i64(journal.save.time_ns) ||
            !r.fixed(journal.save.after) || !r.fixed(journal.save.origin) || !read_options(r, journal.save.options)) {
            return std::nullopt;
        }
    }
    // Ascending and apart, inside the file as it was: what a save writes.
    if (!read_ranges(r, journal.identity.size, journal.save.ranges) || r.left() != 0) return std::nullopt;
    journal.save.file_size = journal.identity.size;
    return journal;
}

std::optional<SaveRecord> decode_save_record(ByteView bytes) {
    std::optional<ByteView> body = checked_body(bytes, kMaxRecordBytes, kRecordMagicV2);
    const bool first_version = !body;
    if (first_version) body = checked_body(bytes, kMaxRecordBytes, kRecordMagicV1);
    if (!body) return std::nullopt;
    Reader r(*body);
    SaveRecord record;
    if (!read_kind(r, record.kind) || (first_version && record.kind == SaveRecord::Kind::put_back)) return std::nullopt;
    if (!first_version) {
        std::uint8_t state = 0;
        if (!r.u8(state) || state > 1 || !r.u64(record.token)) return std::nullopt;
        record.state = static_cast<SaveRecord::State>(state);
    }
    if (!read_text(r, record.file_path) || !r.i64(record.time_ns) || !r.i64(record.file_size) ||
        record.file_size < 0 || !r.fixed(record.before) || !r.fixed(record.after)) {
        return std::nullopt;
    }
    if (!first_version && !r.fixed(record.origin)) return std::nullopt;
    if (!read_options(r, record.options)) return std::nullopt;
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
    w.bytes(kRecordMagicV2);
    w.u8(static_cast<std::uint8_t>(record.kind));
    w.u8(static_cast<std::uint8_t>(record.state));
    w.u64(record.token);
    w.u32(static_cast<std::uint32_t>(record.file_path.size()));
    w.bytes(text_bytes(record.file_path));
    w.i64(record.time_ns);
    w.i64(record.file_size);
    w.bytes(record.before);
    w.bytes(record.after);
    w.bytes(record.origin);
    write_options(w, record.options);
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
    w.bytes(journal.version == 1 ? kMagicV1 : journal.version == 2 ? kMagicV2 : kMagicV3);
    w.u32(static_cast<std::uint32_t>(journal.save.file_path.size()));
    w.bytes(text_bytes(journal.save.file_path));
    w.u64(journal.identity.device);
    w.u64(journal.identity.file_index);
    w.i64(journal.identity.size);
    w.i64(journal.identity.modified_ns);
    if (journal.version >= 2) w.bytes(journal.save.before);
    if (journal.version >= 3) {
        w.u8(static_cast<std::uint8_t>(journal.save.kind));
        w.u64(journal.save.token);
        w.i64(journal.save.time_ns);
        w.bytes(journal.save.after);
        w.bytes(journal.save.origin);
        write_options(w, journal.save.options);
    }
    write_ranges(w, journal.save.ranges);
    w.u64(fnv1a(w.written()));
    return w.take();
}

SaveRecord record_of(const SaveJournal& journal, SaveRecord::State state) {
    SaveRecord record = journal.save;
    record.file_size = journal.identity.size;
    record.state = state;
    return record;
}

SaveJournal journal_of(const SaveRecord& record, const FileIdentity& identity) {
    SaveJournal journal{3, identity, record};
    journal.save.state = SaveRecord::State::finished;
    return journal;
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

std::uint64_t new_save_token() {
    std::uint64_t token = 0;
    while (token == 0) token = journal_tokens()();
    return token;
}

std::string token_text(std::uint64_t token) {
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(token >> (8 * (7 - i)));
    return hex_text(bytes);
}

std::string journal_stem_for(const std::filesystem::path& resolved_path, std::uint64_t token) {
    // The file's own name, in letters every file system takes, cut short:
    // the hash and the token alone tell journals apart.
    constexpr std::size_t kShownName = 48;
    std::string stem = path_hash(resolved_path) + '-' + token_text(token) + '-';
    const std::u8string file_name = resolved_path.filename().u8string();
    for (std::size_t i = 0; i < file_name.size() && i < kShownName; ++i) {
        const auto c = static_cast<char>(file_name[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '_';
        stem += plain ? c : '_';
    }
    return stem;
}

std::string new_journal_stem(const std::filesystem::path& resolved_path) {
    return journal_stem_for(resolved_path, new_save_token());
}

std::uint64_t token_in_name(std::string_view name) {
    // "<16 hex>-<16 hex>-..."
    constexpr std::size_t kHex = 16;
    if (name.size() < 2 * kHex + 1 || name[kHex] != '-') return 0;
    std::uint64_t token = 0;
    for (std::size_t i = kHex + 1; i < 2 * kHex + 1; ++i) {
        const char c = name[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return 0;
        token = token << 4 | static_cast<std::uint64_t>(digit);
    }
    return token;
}

std::string_view journal_stem(std::string_view name) {
    if (!name.ends_with(kJournalSuffix) || name.size() == kJournalSuffix.size()) return {};
    return name.substr(0, name.size() - kJournalSuffix.size());
}

}  // namespace tarnwick
