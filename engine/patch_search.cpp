#include "engine/patch_search.h"

#include <algorithm>
#include <cstring>

#include "engine/patch_catalogue.h"
#include "engine/voice_image.h"

namespace tarnwick {
namespace {

std::int32_t patch_bound(const VoiceImage& image) { return image.file_len() - kPatchBoundBelowLength; }

std::vector<ByteString> distinct(std::vector<ByteString> patterns) {
    std::sort(patterns.begin(), patterns.end());
    patterns.erase(std::unique(patterns.begin(), patterns.end()), patterns.end());
    return patterns;
}

// What find_str reports above `after` among the positions a search from
// `start` tests: `start` up to bound + 1, or `start` alone past the bound.
std::int32_t find_above(const VoiceImage& image, std::int32_t start, ByteView pattern, std::int32_t after) {
    const std::int32_t bound = patch_bound(image);
    const std::int64_t last_tested = std::max<std::int64_t>(start, std::int64_t{bound} + 1);
    const std::int64_t from = std::max<std::int64_t>(std::int64_t{after} + 1, start);
    if (from > last_tested) return 0;
    return image.find_str(static_cast<std::int32_t>(from), bound, pattern);
}

}  // namespace

bool PatchSearch::put_str(VoiceImage& image, std::int32_t offset, ByteView bytes) {
    if (!image.put_str(offset, bytes)) return false;
    wrote(offset, bytes.size());
    return true;
}

std::int32_t PlainSearch::find(ByteView pattern) { return image_.find_str(start_, patch_bound(image_), pattern); }

std::int32_t PlainSearch::find_after(ByteView pattern, std::int32_t after) {
    return find_above(image_, start_, pattern, after);
}

std::int32_t IndexedSearch::find_after(ByteView pattern, std::int32_t after) {
    return find_above(image_, start_, pattern, after);
}

IndexedSearch::IndexedSearch(const VoiceImage& image, std::int32_t start, const MultiSearch& search)
    : image_(image), start_(start), search_(search), length_(image.file_len()),
      tested_end_(std::max<std::int64_t>(start, std::int64_t{patch_bound(image)} + 1)) {
    // One pass for all; each pattern's own limit is applied below.
    first_ = image_.first_starts(search_, start_, tested_end_);
    for (std::size_t k = 0; k < search_.size(); ++k) {
        if (first_[k] > last_start(search_.pattern(k).size())) first_[k] = MultiSearch::kNone;
    }
}

std::int64_t IndexedSearch::last_start(std::size_t length) const {
    return std::min(tested_end_, length_ - static_cast<std::int64_t>(length));
}

bool IndexedSearch::matches_at(std::int64_t at, const ByteString& pattern) const {
    return at >= 0 && at <= INT32_MAX && image_.match_at(static_cast<std::int32_t>(at), pattern);
}

std::int32_t IndexedSearch::find(ByteView pattern) {
    const std::optional<std::size_t> k = search_.index_of(pattern);
    if (!k) return PlainSearch(image_, start_).find(pattern);
    const std::int64_t first = first_[*k];
    return first == MultiSearch::kNone ? 0 : static_cast<std::int32_t>(first);
}

void IndexedSearch::wrote(std::int32_t offset, std::size_t length) {
    if (length == 0) return;
    const std::int64_t write_end = std::int64_t{offset} + static_cast<std::int64_t>(length);  // exclusive
    const std::int64_t lowest = std::max<std::int64_t>(start_, 0);

    // Per pattern, the positions whose bytes overlap the write: only there can
    // its answer change. Below its first match nothing ever matched, so a new
    // lowest can only lie inside the band; above a kept first match nothing
    // counts. Bands are worked out only for the patterns this write may concern.
    bands_.resize(search_.size());
    ++write_count_;
    const auto band_of = [&](std::size_t k) -> Band& {
        Band& band = bands_[k];
        if (band.write == write_count_) return band;
        const ByteString& pattern = search_.pattern(k);
        const std::int64_t first = first_[k];
        band.write = write_count_;
        band.begin = std::max(lowest, std::int64_t{offset} - std::max<std::int64_t>(static_cast<std::int64_t>(pattern.size()), 1) + 1);
        band.end = std::min(last_start(pattern.size()), write_end - 1);
        const bool first_touched = first != MultiSearch::kNone && first >= band.begin && first <= band.end;
        band.first_kept = first != MultiSearch::kNone && (!first_touched || matches_at(first, pattern));
        band.scan_end = band.first_kept ? std::min(band.end, first - 1) : band.end;
        band.found = MultiSearch::kNone;
        return band;
    };
    const auto consider = [&](std::uint32_t k, std::int64_t at) {
        Band& band = band_of(k);
        if (band.found == MultiSearch::kNone && at >= band.begin && at <= band.scan_end &&
            matches_at(at, search_.pattern(k))) {
            band.found = at;
        }
    };
    // One walk over every band, the multi-pattern filter choosing which
    // patterns to compare at each position.
    const ByteView bytes = image_.file_buf();
    const std::int64_t widest = std::max<std::int64_t>(static_cast<std::int64_t>(search_.longest()), 1);
    const std::int64_t walk_begin = std::max(lowest, std::int64_t{offset} - widest + 1);
    for (std::int64_t at = walk_begin; at < write_end; ++at) {
        const std::uint8_t buckets = search_.buckets_at(bytes, at);
        for (int b = 0; buckets != 0 && b < MultiSearch::kBucketCount; ++b) {
            if ((buckets & (1u << b)) == 0) continue;
            for (const std::uint32_t k : search_.bucket(b)) consider(k, at);
        }
        for (const std::uint32_t k : search_.short_patterns()) consider(k, at);
    }

    for (std::size_t k = 0; k < search_.size(); ++k) {
        std::int64_t& first = first_[k];
        // A pattern no candidate of the walk concerned, whose first match lies
        // clear of the write, keeps its answer.
        const bool near = first != MultiSearch::kNone && first >= walk_begin && first < write_end;
        if (bands_[k].write != write_count_ && !near) continue;
        const Band& band = band_of(k);
        if (band.found != MultiSearch::kNone) {
            first = band.found;
        } else if (!band.first_kept && first != MultiSearch::kNone) {
            // The first match was overwritten: the next one lies after the band.
            const std::int64_t top = last_start(search_.pattern(k).size());
            const std::int64_t resume = std::max(first + 1, band.end + 1);
            // find_str tests resume .. top here; resume is never 0, so 0 means none.
            const std::int32_t next = resume > top ? 0
                                                   : image_.find_str(static_cast<std::int32_t>(resume),
                                                                     static_cast<std::int32_t>(top) - 1,
                                                                     search_.pattern(k));
            first = next > 0 ? next : MultiSearch::kNone;
        }
    }
}

const MultiSearch& catalogue_search() {
    // Built on first use and never changed after: compiling the patterns
    // costs more than a pass over a small voice.
    static const MultiSearch search([] {
        std::vector<ByteString> patterns;
        for (const PatchOption& option : patch_catalogue()) {
            for (ByteString& pattern : patterns_of(option)) patterns.push_back(std::move(pattern));
        }
        return distinct(std::move(patterns));
    }());
    return search;
}

}  // namespace tarnwick
