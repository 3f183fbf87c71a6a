// One pass over a voice that finds the first match of every pattern at once.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "engine/byte_string.h"

namespace tarnwick {

// Finds the lowest start of each of many byte patterns in one pass over a
// buffer, the same on every platform. The pass finds candidates 64 positions at a time with AVX-512 (32 with AVX2, 16
// with WebAssembly's SIMD) by looking up the nibbles of a position's first
// four bytes in per-bucket tables (the patterns are spread over eight
// buckets), then of its next four bytes where any remain; a sieve of the
// patterns' first twenty-four bytes refuses most candidates that remain, and
// the rest have their first eight bytes looked up among the patterns', so
// that only the patterns that begin with them are compared in full. Without
// such instructions the same lookups run byte by byte. Patterns shorter than
// four bytes are searched one by one. A large buffer is searched in blocks by
// several threads at once.
class MultiSearch {
public:
    static constexpr std::int64_t kNone = -1;

    explicit MultiSearch(std::vector<ByteString> patterns);
    ~MultiSearch();
    MultiSearch(const MultiSearch&) = delete;
    MultiSearch& operator=(const MultiSearch&) = delete;

    // The passes: byte by byte, or 16, 32 or 64 positions at a time
    // (WebAssembly's SIMD, AVX2, AVX-512).
    enum class Pass { bytewise, simd128, avx2, avx512 };
    // Those this build and processor can run, narrowest first.
    static std::vector<Pass> passes();
    static const char* name_of(Pass pass);
    // The pass first_starts_own takes: the widest.
    static Pass widest_own_pass();
    // "avx512", "avx2", "simd128" or "bytewise": the last of passes().
    static const char* fastest_pass();

    // Tells searches apart, even one made where a freed one stood.
    std::uint64_t serial() const { return serial_; }

    std::size_t size() const { return patterns_.size(); }
    const ByteString& pattern(std::size_t k) const { return patterns_[k]; }
    // The number of the pattern equal to `bytes`, if one is.
    std::optional<std::size_t> index_of(ByteView bytes) const;
    std::size_t longest() const { return longest_; }

    // The patterns that may start at `at`, by the candidate filter: a mask of
    // buckets (see bucket()), plus every pattern of short_patterns(), which
    // the filter does not cover.
    std::uint8_t buckets_at(ByteView haystack, std::int64_t at) const;
    static constexpr int kBucketCount = 8;
    std::span<const std::uint32_t> bucket(int b) const { return bucket_members_[static_cast<std::size_t>(b)]; }
    std::span<const std::uint32_t> short_patterns() const { return short_patterns_; }

    // For each pattern, the lowest start p with from <= p <= last_start where
    // the whole pattern lies inside `haystack`, or kNone. `out` gets one
    // entry per pattern.
    // A large range is cut into blocks that the processor's cores search at
    // once (see first_starts_in_blocks).
    void first_starts(ByteView haystack, std::int64_t from, std::int64_t last_start, std::vector<std::int64_t>& out) const;

    // The same, the range cut into blocks of `block` starts that `workers`
    // threads (the calling one among them) take in turn. Blocks are merged in
    // their order, so what it finds never depends on which thread finished
    // first; once the blocks merged so far hold every pattern, no further
    // block is begun.
    void first_starts_in_blocks(ByteView haystack, std::int64_t from, std::int64_t last_start, std::int64_t block,
                                int workers, std::vector<std::int64_t>& out) const;

    // The same in this thread alone, with the widest pass the processor runs.
    void first_starts_own(ByteView haystack, std::int64_t from, std::int64_t last_start,
                          std::vector<std::int64_t>& out) const;

    // The same with the given pass (byte by byte where this build or the
    // processor cannot run it).
    void first_starts_by(Pass pass, ByteView haystack, std::int64_t from, std::int64_t last_start,
                         std::vector<std::int64_t>& out) const;

private:
    static constexpr int kBuckets = kBucketCount;
    static constexpr int kPrefix = 4;   // patterns shorter than this are searched one by one
    static constexpr int kFiltered = 8;  // leading bytes the candidate filter looks at

    static constexpr std::int64_t kBlock = 4 << 20;  // starts per block of a parallel pass

    // How many starts [from, last_start] holds inside `haystack`.
    static std::int64_t starts_in(ByteView haystack, std::int64_t from, std::int64_t last_start);
    void search_short(ByteView haystack, std::int64_t from, std::int64_t last_start,
                      std::vector<std::int64_t>& out) const;

    void scan(Pass pass, ByteView haystack, std::int64_t from, std::int64_t last_start,
              std::vector<std::int64_t>& out) const;
    // The vector filter's part of scan(), kLanes positions at a time: from
    // `at` while whole lanes fit; returns where it stopped.
    template <int kLanes>
    std::int64_t scan_vector(ByteView haystack, std::int64_t at, std::int64_t last, std::int64_t last_start,
                             std::vector<std::int64_t>& out, std::size_t& missing) const;
    void confirm(ByteView haystack, std::int64_t at, std::uint8_t buckets, std::int64_t last_start,
                 std::vector<std::int64_t>& out, std::size_t& missing) const;
    // Patterns of eight bytes or more, grouped by their first eight: a
    // candidate is confirmed by one lookup of the eight bytes it starts
    // with, so that a near miss (another entry of the abbreviation table,
    // which shares a pattern's first word and its zero bytes) costs one
    // lookup, not a compare with every member of its bucket.
    struct Group {
        std::uint64_t head = 0;   // the first eight bytes, as loaded
        std::uint32_t first = 0;  // its patterns: grouped_[first .. first + count)
        std::uint32_t count = 0;  // 0: an empty slot
    };
    struct Grouped {
        std::uint32_t k = 0;
        std::uint64_t next = 0;  // bytes 8 .. 15 as loaded, where the pattern has them
        bool has_next = false;
    };
    void group_patterns();
    const Group* group_of(std::uint64_t head) const;
    // A bit per hash of a pattern's first twenty-four bytes (its first
    // sixteen, or eight, where it is shorter): a candidate whose bits are
    // clear cannot begin any pattern of eight bytes or more. Near misses in
    // an abbreviation table share eight bytes with a pattern often, sixteen
    // now and then, twenty-four hardly ever; this refuses them in a few
    // instructions and without a branch that guesses wrong.
    static constexpr int kSieveBits = 15;
    static std::size_t sieve_slot_of(std::uint64_t head, std::uint64_t next, std::uint64_t third);
    static std::size_t sieve_slot_of(std::uint64_t head, std::uint64_t next);
    static std::size_t sieve_slot_of(std::uint64_t head);
    std::uint64_t sieve_bit(std::size_t slot) const { return (sieve_.data()[slot >> 6] >> (slot & 63)) & 1; }
    // Whether the candidate at `at`, in `buckets`, cannot begin any pattern.
    bool sifted_out(ByteView haystack, std::int64_t at, std::uint8_t buckets) const {
        const std::uint8_t* here = haystack.data() + at;
        // Near the buffer's end, and for the patterns of four to seven bytes, confirm() decides alone.
        if (static_cast<std::int64_t>(haystack.size()) - at < 24 || (buckets & shorter_buckets_) != 0) return false;
        std::uint64_t head, next, third;
        std::memcpy(&head, here, 8);
        std::memcpy(&next, here + 8, 8);
        std::memcpy(&third, here + 16, 8);
        return (sieve_bit(sieve_slot_of(head, next, third)) | sieve_bit(sieve_slot_of(head, next)) |
                sieve_bit(sieve_slot_of(head))) == 0;
    }
    std::vector<std::uint64_t> sieve_;
    std::vector<Group> groups_;  // open addressing, a power of two of slots
    std::vector<Grouped> grouped_;
    std::array<std::vector<std::uint32_t>, kBuckets> shorter_members_;  // of four to seven bytes
    std::uint8_t shorter_buckets_ = 0;  // the buckets that have any

    std::uint64_t serial_;
    std::vector<ByteString> patterns_;
    std::array<std::vector<std::uint32_t>, kBuckets> bucket_members_;
    std::vector<std::uint32_t> short_patterns_;
    std::vector<std::uint32_t> by_bytes_;  // pattern numbers, their patterns in ascending order
    std::size_t longest_ = 0;
    // Bit b of low_[i][n] is set when a pattern of bucket b has low nibble n
    // in byte i; high_ likewise for the high nibble.
    // A pattern shorter than kFiltered accepts any byte past its end.
    alignas(32) std::array<std::array<std::uint8_t, 16>, kFiltered> low_{};
    alignas(32) std::array<std::array<std::uint8_t, 16>, kFiltered> high_{};
    // The same per whole byte, for the byte-by-byte pass.
    std::array<std::array<std::uint8_t, 256>, kFiltered> byte_{};
};

}  // namespace tarnwick
