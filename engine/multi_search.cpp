#include "engine/multi_search.h"

#include <algorithm>
#include <cstring>
#include <map>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TARNWICK_HAVE_AVX2_PASS 1
#endif

namespace tarnwick {
namespace {

#if defined(TARNWICK_HAVE_AVX2_PASS)
bool processor_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// Candidates among the 32 positions from `at`: bit i is set when position
// at + i has a bucket whose nibble tables accept all four leading bytes.
// Returns the bucket masks through `buckets` (32 bytes).
__attribute__((target("avx2"))) std::uint32_t candidates32(const std::uint8_t* at, const std::uint8_t* low,
                                                            const std::uint8_t* high, std::uint8_t* buckets) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    __m256i hits = _mm256_set1_epi8(static_cast<char>(0xFF));
    for (int i = 0; i < 4; ++i) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + i));
        const __m256i low_table =
            _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(low + 16 * i)));
        const __m256i high_table =
            _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(high + 16 * i)));
        const __m256i lo = _mm256_shuffle_epi8(low_table, _mm256_and_si256(bytes, nibble));
        const __m256i hi = _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
        hits = _mm256_and_si256(hits, _mm256_and_si256(lo, hi));
    }
    const auto none = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hits, _mm256_setzero_si256())));
    const std::uint32_t found = ~none;
    if (found != 0) _mm256_storeu_si256(reinterpret_cast<__m256i*>(buckets), hits);
    return found;
}
#endif

}  // namespace

MultiSearch::MultiSearch(std::vector<ByteString> patterns) : patterns_(std::move(patterns)) {
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
        for (std::uint32_t k : members) bucket_members_[static_cast<std::size_t>(bucket)].push_back(k);
        for (int i = 0; i < kPrefix; ++i) {
            const std::uint8_t b = prefix[static_cast<std::size_t>(i)];
            low_[static_cast<std::size_t>(i)][b & 0x0F] |= bit;
            high_[static_cast<std::size_t>(i)][b >> 4] |= bit;
            byte_[static_cast<std::size_t>(i)][b] |= bit;
        }
    }
}

void MultiSearch::confirm(ByteView haystack, std::int64_t at, std::uint8_t buckets, std::int64_t last_start,
                          std::vector<std::int64_t>& out, std::size_t& missing) const {
    const auto position = static_cast<std::size_t>(at);
    for (int b = 0; b < kBuckets; ++b) {
        if ((buckets & (1u << b)) == 0) continue;
        for (const std::uint32_t k : bucket_members_[static_cast<std::size_t>(b)]) {
            if (out[k] != kNone) continue;
            const ByteString& p = patterns_[k];
            if (p.size() > haystack.size() - position || at > last_start) continue;
            if (std::memcmp(haystack.data() + position, p.data(), p.size()) == 0) {
                out[k] = at;
                --missing;
            }
        }
    }
}

template <bool kVector>
void MultiSearch::scan(ByteView haystack, std::int64_t from, std::int64_t last_start,
                       std::vector<std::int64_t>& out) const {
    out.assign(patterns_.size(), kNone);
    const auto length = static_cast<std::int64_t>(haystack.size());
    from = std::max<std::int64_t>(from, 0);
    // No pattern of the buckets fits past length - kPrefix.
    const std::int64_t last = std::min(last_start, length - kPrefix);
    std::size_t missing = patterns_.size() - short_patterns_.size();

    std::int64_t at = from;
#if defined(TARNWICK_HAVE_AVX2_PASS)
    if constexpr (kVector) {
        alignas(32) std::uint8_t buckets[32];
        // The 32 positions read up to 35 bytes from `at`.
        for (; missing > 0 && at + 35 <= length && at <= last; at += 32) {
            std::uint32_t found = candidates32(haystack.data() + at, low_[0].data(), high_[0].data(), buckets);
            while (found != 0) {
                const int bit = __builtin_ctz(found);
                found &= found - 1;
                if (at + bit > last) break;
                confirm(haystack, at + bit, buckets[bit], last_start, out, missing);
            }
        }
    }
#endif
    for (; missing > 0 && at <= last; ++at) {
        const auto p = static_cast<std::size_t>(at);
        const std::uint8_t buckets = byte_[0][haystack[p]] & byte_[1][haystack[p + 1]] & byte_[2][haystack[p + 2]] &
                                     byte_[3][haystack[p + 3]];
        if (buckets != 0) confirm(haystack, at, buckets, last_start, out, missing);
    }

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

void MultiSearch::first_starts(ByteView haystack, std::int64_t from, std::int64_t last_start,
                               std::vector<std::int64_t>& out) const {
#if defined(TARNWICK_HAVE_AVX2_PASS)
    if (processor_has_avx2()) {
        scan<true>(haystack, from, last_start, out);
        return;
    }
#endif
    scan<false>(haystack, from, last_start, out);
}

void MultiSearch::first_starts_portable(ByteView haystack, std::int64_t from, std::int64_t last_start,
                                        std::vector<std::int64_t>& out) const {
    scan<false>(haystack, from, last_start, out);
}

}  // namespace tarnwick
