#include "engine/multi_search.h"

#include "engine/worker_threads.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <map>
#include <mutex>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TARNWICK_HAVE_AVX2_PASS 1
#elif defined(__wasm_simd128__)
#include <wasm_simd128.h>
#define TARNWICK_HAVE_WASM_SIMD_PASS 1
#endif

namespace tarnwick {
namespace {

#if defined(TARNWICK_HAVE_AVX2_PASS)
bool processor_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

bool processor_has_avx512() {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    return has;
}

// Narrows `hits` to the buckets whose nibble tables accept the bytes
// first .. first + 3 after each of the 32 positions from `at`.
__attribute__((target("avx2"))) __m256i narrow(__m256i hits, const std::uint8_t* at, int first,
                                               const std::uint8_t* low, const std::uint8_t* high) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    for (int i = first; i < first + 4; ++i) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + i));
        const __m256i low_table =
            _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(low + 16 * i)));
        const __m256i high_table =
            _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(high + 16 * i)));
        const __m256i lo = _mm256_shuffle_epi8(low_table, _mm256_and_si256(bytes, nibble));
        const __m256i hi = _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
        hits = _mm256_and_si256(hits, _mm256_and_si256(lo, hi));
    }
    return hits;
}

__attribute__((target("avx2"))) std::uint32_t nonzero_bytes(__m256i v) {
    return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
}

// Candidates among the 32 positions from `at` (reading up to at + 38): bit i
// is set when position at + i has a bucket whose tables accept its eight
// leading bytes. Returns the bucket masks through `buckets` (32 bytes).
__attribute__((target("avx2"))) std::uint32_t candidates32(const std::uint8_t* at, const std::uint8_t* low,
                                                            const std::uint8_t* high, std::uint8_t* buckets) {
    __m256i hits = narrow(_mm256_set1_epi8(static_cast<char>(0xFF)), at, 0, low, high);
    if (nonzero_bytes(hits) == 0) return 0;
    // Most near misses share only their first bytes with a pattern.
    hits = narrow(hits, at, 4, low, high);
    const std::uint32_t found = nonzero_bytes(hits);
    if (found != 0) _mm256_storeu_si256(reinterpret_cast<__m256i*>(buckets), hits);
    return found;
}

// The same with AVX-512's 64 lanes: candidates among the 64 positions from
// `at` (reading up to at + 70).
__attribute__((target("avx512f,avx512bw"))) __m512i narrow64(__m512i hits, const std::uint8_t* at, int first,
                                                             const std::uint8_t* low, const std::uint8_t* high) {
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    for (int i = first; i < first + 4; ++i) {
        const __m512i bytes = _mm512_loadu_si512(at + i);
        // The zero-masking broadcast: GCC 12's plain one warns of an uninitialised operand.
        const __m512i low_table =
            _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i*>(low + 16 * i)));
        const __m512i high_table =
            _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i*>(high + 16 * i)));
        const __m512i lo = _mm512_shuffle_epi8(low_table, _mm512_and_si512(bytes, nibble));
        const __m512i hi = _mm512_shuffle_epi8(high_table, _mm512_and_si512(_mm512_srli_epi16(bytes, 4), nibble));
        hits = _mm512_and_si512(hits, _mm512_and_si512(lo, hi));
    }
    return hits;
}

__attribute__((target("avx512f,avx512bw"))) std::uint64_t candidates64(const std::uint8_t* at, const std::uint8_t* low,
                                                                       const std::uint8_t* high, std::uint8_t* buckets) {
    __m512i hits = narrow64(_mm512_set1_epi8(static_cast<char>(0xFF)), at, 0, low, high);
    if (_mm512_test_epi8_mask(hits, hits) == 0) return 0;
    hits = narrow64(hits, at, 4, low, high);
    const std::uint64_t found = _mm512_test_epi8_mask(hits, hits);
    if (found != 0) _mm512_storeu_si512(buckets, hits);
    return found;
}
#endif

#if defined(TARNWICK_HAVE_WASM_SIMD_PASS)
// The same filter with WebAssembly's 16 lanes: candidates among the 16
// positions from `at` (reading up to at + 22).
v128_t narrow16(v128_t hits, const std::uint8_t* at, int first, const std::uint8_t* low, const std::uint8_t* high) {
    const v128_t nibble = wasm_i8x16_splat(0x0F);
    for (int i = first; i < first + 4; ++i) {
        const v128_t bytes = wasm_v128_load(at + i);
        const v128_t lo = wasm_i8x16_swizzle(wasm_v128_load(low + 16 * i), wasm_v128_and(bytes, nibble));
        const v128_t hi = wasm_i8x16_swizzle(wasm_v128_load(high + 16 * i), wasm_u8x16_shr(bytes, 4));
        hits = wasm_v128_and(hits, wasm_v128_and(lo, hi));
    }
    return hits;
}

std::uint32_t candidates16(const std::uint8_t* at, const std::uint8_t* low, const std::uint8_t* high,
                           std::uint8_t* buckets) {
    v128_t hits = narrow16(wasm_i8x16_splat(static_cast<std::int8_t>(0xFF)), at, 0, low, high);
    if (!wasm_v128_any_true(hits)) return 0;
    hits = narrow16(hits, at, 4, low, high);
    const auto found = static_cast<std::uint32_t>(wasm_i8x16_bitmask(wasm_i8x16_ne(hits, wasm_i8x16_splat(0))));
    if (found != 0) wasm_v128_store(buckets, hits);
    return found;
}
#endif

std::uint64_t next_serial() {
    static std::atomic<std::uint64_t> count{0};
    return ++count;
}

std::uint64_t load_u64(const std::uint8_t* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// memcmp's call costs more than the compare of the short rest of a pattern.
bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
    for (; size >= 8; a += 8, b += 8, size -= 8) {
        if (load_u64(a) != load_u64(b)) return false;
    }
    for (; size > 0; ++a, ++b, --size) {
        if (*a != *b) return false;
    }
    return true;
}

std::size_t slot_of(std::uint64_t head, std::size_t slots) {
    return static_cast<std::size_t>((head * 0x9E3779B97F4A7C15ull) >> 40) & (slots - 1);
}

}  // namespace


MultiSearch::~MultiSearch() = default;

const char* MultiSearch::fastest_pass() { return name_of(passes().back()); }

const char* MultiSearch::name_of(Pass pass) {
    switch (pass) {
        case Pass::avx512: return "avx512";
        case Pass::avx2: return "avx2";
        case Pass::simd128: return "simd128";
        case Pass::bytewise: break;
    }
    return "bytewise";
}

MultiSearch::MultiSearch(std::vector<ByteString> patterns) : serial_(next_serial()), patterns_(std::move(patterns)) {
    for (std::uint32_t k = 0; k < patterns_.size(); ++k) {
        by_bytes_.push_back(k);
        longest_ = std::max(longest_, patterns_[k].size());
    }
    std::sort(by_bytes_.begin(), by_bytes_.end(),
              [this](std::uint32_t a, std::uint32_t b) { return patterns_[a] < patterns_[b]; });
    // Patterns that share their first four bytes share a bucket, so that one
    // candidate confirms them together; the groups are dealt out in turn.
    std::map<ByteString, std::vector<std::uint32_t>> groups;
    for (std::uint32_t k = 0; k < patterns_.size(); ++k) {
        const ByteString& p = patterns_[k];
        if (p.size() < kPrefix) {
            short_patterns_.push_back(k);
            continue;
        }
        groups[ByteString(p.begin(), p.begin() + kPrefix)].push_back(k);
    }
    int next = 0;
    for (const auto& [prefix, members] : groups) {
        const int bucket = next++ % kBuckets;
        const auto bit = static_cast<std::uint8_t>(1u << bucket);
        for (std::uint32_t k : members) {
            bucket_members_[static_cast<std::size_t>(bucket)].push_back(k);
            const ByteString& p = patterns_[k];
            for (std::size_t i = 0; i < kFiltered; ++i) {
                if (i >= p.size()) {  // past its end any byte will do
                    for (auto& any : low_[i]) any |= bit;
                    for (auto& any : high_[i]) any |= bit;
                    for (auto& any : byte_[i]) any |= bit;
                    continue;
                }
                low_[i][p[i] & 0x0F] |= bit;
                high_[i][p[i] >> 4] |= bit;
                byte_[i][p[i]] |= bit;
            }
        }
    }

    group_patterns();
}

void MultiSearch::group_patterns() {
    std::map<std::uint64_t, std::vector<std::uint32_t>> by_head;
    for (int b = 0; b < kBuckets; ++b) {
        for (const std::uint32_t k : bucket_members_[static_cast<std::size_t>(b)]) {
            if (patterns_[k].size() < 8) {
                shorter_members_[static_cast<std::size_t>(b)].push_back(k);
                shorter_buckets_ |= static_cast<std::uint8_t>(1u << b);
            } else {
                by_head[load_u64(patterns_[k].data())].push_back(k);
            }
        }
    }
    sieve_.assign((std::size_t{1} << kSieveBits) / 64, 0);
    const auto sift = [this](std::size_t slot) { sieve_[slot >> 6] |= std::uint64_t{1} << (slot & 63); };
    for (const auto& [head, members] : by_head) {
        for (const std::uint32_t k : members) {
            const ByteString& p = patterns_[k];
            sift(p.size() >= 24   ? sieve_slot_of(head, load_u64(p.data() + 8), load_u64(p.data() + 16))
                 : p.size() >= 16 ? sieve_slot_of(head, load_u64(p.data() + 8))
                                  : sieve_slot_of(head));
        }
    }
    std::size_t slots = 64;
    while (slots < 2 * by_head.size()) slots *= 2;
    groups_.assign(slots, Group{});
    for (const auto& [head, members] : by_head) {
        std::size_t slot = slot_of(head, slots);
        while (groups_[slot].count != 0) slot = (slot + 1) & (slots - 1);
        groups_[slot] = {head, static_cast<std::uint32_t>(grouped_.size()), static_cast<std::uint32_t>(members.size())};
        for (const std::uint32_t k : members) {
            const ByteString& p = patterns_[k];
            grouped_.push_back({k, p.size() >= 16 ? load_u64(p.data() + 8) : 0, p.size() >= 16});
        }
    }
}

std::size_t MultiSearch::sieve_slot_of(std::uint64_t head, std::uint64_t next, std::uint64_t third) {
    return static_cast<std::size_t>(((head ^ (next << 29 | next >> 35) ^ (third << 47 | third >> 17)) * 0xD6E8FEB86659FD93ull) >>
                                    (64 - kSieveBits));
}

std::size_t MultiSearch::sieve_slot_of(std::uint64_t head, std::uint64_t next) {
    return static_cast<std::size_t>(((head ^ (next << 29 | next >> 35)) * 0x9E3779B97F4A7C15ull) >> (64 - kSieveBits));
}

std::size_t MultiSearch::sieve_slot_of(std::uint64_t head) {
    return static_cast<std::size_t>((head * 0xC2B2AE3D27D4EB4Full) >> (64 - kSieveBits));
}

const MultiSearch::Group* MultiSearch::group_of(std::uint64_t head) const {
    const std::size_t slots = groups_.size();
    for (std::size_t slot = slot_of(head, slots);; slot = (slot + 1) & (slots - 1)) {
        const Group& group = groups_[slot];
        if (group.count == 0) return nullptr;
        if (group.head == head) return &group;
    }
}

void MultiSearch::confirm(ByteView haystack, std::int64_t at, std::uint8_t buckets, std::int64_t last_start,
                          std::vector<std::int64_t>& out, std::size_t& missing) const {
    if (at > last_start) return;
    const auto position = static_cast<std::size_t>(at);
    const std::size_t room = haystack.size() - position;
    const std::uint8_t* here = haystack.data() + position;
    const auto take = [&](std::uint32_t k) {
        out[k] = at;
        --missing;
    };
    if (room >= 8) {
        if (const Group* group = group_of(load_u64(here))) {
            const std::uint64_t next = room >= 16 ? load_u64(here + 8) : 0;
            for (std::uint32_t i = group->first; i < group->first + group->count; ++i) {
                const Grouped& member = grouped_[i];
                if (out[member.k] != kNone) continue;
                const ByteString& p = patterns_[member.k];
                if (p.size() > room || (member.has_next && member.next != next)) continue;
                if (same_bytes(here + 8, p.data() + 8, p.size() - 8)) take(member.k);
            }
        }
    }
    for (unsigned shorter = buckets & shorter_buckets_; shorter != 0; shorter &= shorter - 1) {
        const auto b = static_cast<std::size_t>(__builtin_ctz(shorter));
        for (const std::uint32_t k : shorter_members_[b]) {
            if (out[k] != kNone) continue;
            const ByteString& p = patterns_[k];
            if (p.size() <= room && std::memcmp(here, p.data(), p.size()) == 0) take(k);
        }
    }
}

template <int kLanes>
std::int64_t MultiSearch::scan_vector(ByteView haystack, std::int64_t at, std::int64_t last, std::int64_t last_start,
                                      std::vector<std::int64_t>& out, std::size_t& missing) const {
    const auto length = static_cast<std::int64_t>(haystack.size());
    // Candidates are gathered in batches and sifted in a loop of their own,
    // which has no branch on what the sieve says: where near misses abound,
    // sifting each as it was found cost a branch that guessed wrong about as
    // often as not.
    constexpr int kBatch = 256;
    constexpr auto kRoom = static_cast<std::size_t>(kBatch + kLanes);
    std::int64_t starts[kRoom];
    std::uint8_t masks[kRoom];
    int gathered = 0;
    const auto sift_and_confirm = [&] {
        int kept = 0;
        for (int i = 0; i < gathered; ++i) {
            starts[kept] = starts[i];
            masks[kept] = masks[i];
            kept += sifted_out(haystack, starts[i], masks[i]) ? 0 : 1;
        }
        for (int i = 0; i < kept && missing > 0; ++i) confirm(haystack, starts[i], masks[i], last_start, out, missing);
        gathered = 0;
    };
    alignas(64) std::uint8_t buckets[static_cast<std::size_t>(kLanes)];
    // The positions read up to kLanes + 7 bytes from `at`.
    for (; missing > 0 && at + kLanes + 7 <= length && at <= last; at += kLanes) {
        const std::uint8_t* here = haystack.data() + at;
        std::uint64_t found = 0;
#if defined(TARNWICK_HAVE_AVX2_PASS)
        if constexpr (kLanes == 64) found = candidates64(here, low_[0].data(), high_[0].data(), buckets);
        if constexpr (kLanes == 32) found = candidates32(here, low_[0].data(), high_[0].data(), buckets);
#elif defined(TARNWICK_HAVE_WASM_SIMD_PASS)
        if constexpr (kLanes == 16) found = candidates16(here, low_[0].data(), high_[0].data(), buckets);
#endif
        for (; found != 0; found &= found - 1) {
            const int bit = std::countr_zero(found);
            starts[gathered] = at + bit;
            masks[gathered] = buckets[bit];
            ++gathered;
        }
        if (gathered >= kBatch) sift_and_confirm();
    }
    sift_and_confirm();
    return at;
}

void MultiSearch::scan(Pass pass, ByteView haystack, std::int64_t from, std::int64_t last_start,
                       std::vector<std::int64_t>& out) const {
    out.assign(patterns_.size(), kNone);
    const auto length = static_cast<std::int64_t>(haystack.size());
    from = std::max<std::int64_t>(from, 0);
    // No pattern of the buckets fits past length - kPrefix.
    const std::int64_t last = std::min(last_start, length - kPrefix);
    std::size_t missing = patterns_.size() - short_patterns_.size();

    std::int64_t at = from;
    switch (pass) {
#if defined(TARNWICK_HAVE_AVX2_PASS)
        case Pass::avx512: at = scan_vector<64>(haystack, at, last, last_start, out, missing); break;
        case Pass::avx2: at = scan_vector<32>(haystack, at, last, last_start, out, missing); break;
#elif defined(TARNWICK_HAVE_WASM_SIMD_PASS)
        case Pass::simd128: at = scan_vector<16>(haystack, at, last, last_start, out, missing); break;
#endif
        default: break;  // byte by byte, below
    }
    for (; missing > 0 && at <= last; ++at) {
        const auto p = static_cast<std::size_t>(at);
        std::uint8_t buckets = byte_[0][haystack[p]] & byte_[1][haystack[p + 1]] & byte_[2][haystack[p + 2]] &
                               byte_[3][haystack[p + 3]];
        // Bytes past the haystack's end: only a pattern that ends before them can match.
        for (std::size_t i = kPrefix; buckets != 0 && i < kFiltered && p + i < haystack.size(); ++i) {
            buckets &= byte_[i][haystack[p + i]];
        }
        if (buckets != 0 && !sifted_out(haystack, at, buckets)) confirm(haystack, at, buckets, last_start, out, missing);
    }

    search_short(haystack, from, last_start, out);
}

void MultiSearch::search_short(ByteView haystack, std::int64_t from, std::int64_t last_start,
                               std::vector<std::int64_t>& out) const {
    const auto length = static_cast<std::int64_t>(haystack.size());
    from = std::max<std::int64_t>(from, 0);
    for (const std::uint32_t k : short_patterns_) {
        const ByteString& p = patterns_[k];
        const std::int64_t top = std::min(last_start, length - static_cast<std::int64_t>(p.size()));
        if (top < from) continue;
        const auto begin = haystack.begin() + from;
        const auto end = haystack.begin() + top + static_cast<std::int64_t>(p.size());
        const auto hit = std::search(begin, end, p.begin(), p.end());
        if (hit != end) out[k] = hit - haystack.begin();
    }
}

std::optional<std::size_t> MultiSearch::index_of(ByteView bytes) const {
    const auto less = [this](std::uint32_t k, ByteView wanted) {
        return std::lexicographical_compare(patterns_[k].begin(), patterns_[k].end(), wanted.begin(), wanted.end());
    };
    const auto at = std::lower_bound(by_bytes_.begin(), by_bytes_.end(), bytes, less);
    if (at == by_bytes_.end() || !std::equal(bytes.begin(), bytes.end(), patterns_[*at].begin(), patterns_[*at].end())) {
        return std::nullopt;
    }
    return *at;
}

std::uint8_t MultiSearch::buckets_at(ByteView haystack, std::int64_t at) const {
    if (at < 0 || at + kPrefix > static_cast<std::int64_t>(haystack.size())) return 0;
    const auto p = static_cast<std::size_t>(at);
    std::uint8_t buckets = 0xFF;
    for (std::size_t i = 0; buckets != 0 && i < kFiltered && p + i < haystack.size(); ++i) {
        buckets &= byte_[i][haystack[p + i]];
    }
    return buckets;
}

std::int64_t MultiSearch::starts_in(ByteView haystack, std::int64_t from, std::int64_t last_start) {
    return std::min(last_start, static_cast<std::int64_t>(haystack.size()) - 1) - std::max<std::int64_t>(from, 0) + 1;
}

void MultiSearch::first_starts(ByteView haystack, std::int64_t from, std::int64_t last_start,
                               std::vector<std::int64_t>& out) const {
    const int workers = worker_count();
    if (workers > 1 && starts_in(haystack, from, last_start) >= 4 * kBlock) {
        first_starts_in_blocks(haystack, from, last_start, kBlock, workers, out);
        return;
    }
    first_starts_own(haystack, from, last_start, out);
}

void MultiSearch::first_starts_in_blocks(ByteView haystack, std::int64_t from, std::int64_t last_start,
                                         std::int64_t block, int workers, std::vector<std::int64_t>& out) const {
    block = std::max<std::int64_t>(block, 1);
    from = std::max<std::int64_t>(from, 0);
    const std::int64_t last = std::min(last_start, static_cast<std::int64_t>(haystack.size()) - 1);
    if (last < from) {
        first_starts_own(haystack, from, last_start, out);
        return;
    }
    out.assign(patterns_.size(), kNone);
    const std::int64_t blocks = (last - from) / block + 1;
    std::mutex lock;  // guards everything below
    std::vector<std::vector<std::int64_t>> found(static_cast<std::size_t>(blocks));
    std::vector<bool> done(static_cast<std::size_t>(blocks), false);
    std::int64_t merged = 0;  // blocks [0, merged) are in `out`
    std::size_t missing = patterns_.size();
    for_each_block(blocks, workers, [&](std::int64_t b, int) {
        const std::int64_t block_from = from + b * block;
        std::vector<std::int64_t> mine;
        // A match may run on past its block's last start, into the next block's bytes.
        first_starts_own(haystack, block_from, std::min(last, block_from + block - 1), mine);
        const std::lock_guard<std::mutex> hold(lock);
        found[static_cast<std::size_t>(b)] = std::move(mine);
        done[static_cast<std::size_t>(b)] = true;
        for (; merged < blocks && done[static_cast<std::size_t>(merged)]; ++merged) {
            std::vector<std::int64_t>& starts = found[static_cast<std::size_t>(merged)];
            for (std::size_t k = 0; k < starts.size(); ++k) {
                if (out[k] == kNone && starts[k] != kNone) {
                    out[k] = starts[k];
                    --missing;
                }
            }
            starts = {};
        }
        return missing > 0;
    });
}

std::vector<MultiSearch::Pass> MultiSearch::passes() {
    std::vector<Pass> passes{Pass::bytewise};
#if defined(TARNWICK_HAVE_AVX2_PASS)
    if (processor_has_avx2()) passes.push_back(Pass::avx2);
    if (processor_has_avx2() && processor_has_avx512()) passes.push_back(Pass::avx512);
#elif defined(TARNWICK_HAVE_WASM_SIMD_PASS)
    passes.push_back(Pass::simd128);
#endif
    return passes;
}

MultiSearch::Pass MultiSearch::widest_own_pass() {
    static const Pass widest = passes().back();
    return widest;
}

void MultiSearch::first_starts_own(ByteView haystack, std::int64_t from, std::int64_t last_start,
                                   std::vector<std::int64_t>& out) const {
    scan(widest_own_pass(), haystack, from, last_start, out);
}

void MultiSearch::first_starts_by(Pass pass, ByteView haystack, std::int64_t from, std::int64_t last_start,
                                  std::vector<std::int64_t>& out) const {
    const std::vector<Pass> runnable = passes();
    // One this build or processor cannot run is taken byte by byte.
    if (std::find(runnable.begin(), runnable.end(), pass) == runnable.end()) pass = Pass::bytewise;
    scan(pass, haystack, from, last_start, out);
}

}  // namespace tarnwick
