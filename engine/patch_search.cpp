#include "engine/patch_search.h"

#include <algorithm>
#include <cstring>

#include "engine/patch_catalogue.h"
#include "engine/voice_image.h"

namespace tarnwick {
namespace {

// find_str tests up to bound + 1; the patch operation's bound is file_len - 10.
std::int32_t patch_bound(const VoiceImage& image) { return image.file_len() - 10; }

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

std::int32_t PlainSearch::find(ByteView pattern) { return image_.find_str(start_, patch_bound(image_), pattern); }

std::int32_t PlainSearch::find_after(ByteView pattern, std::int32_t after) {
    return find_above(image_, start_, pattern, after);
}

std::int32_t IndexedSearch::find_after(ByteView pattern, std::int32_t after) {
    return find_above(image_, start_, pattern, after);
}

IndexedSearch::IndexedSearch(const VoiceImage& image, std::int32_t start, const MultiSearch& search)
    : image_(image), start_(start), search_(search) {
    for (std::size_t k = 0; k < search_.size(); ++k) index_.emplace(search_.pattern(k), k);
    // One pass for all; each pattern's own limit is applied below.
    search_.first_starts(image_.file_buf(), start_, tested_end(), first_);
    for (std::size_t k = 0; k < search_.size(); ++k) {
        if (first_[k] > last_start(search_.pattern(k).size())) first_[k] = MultiSearch::kNone;
    }
}

std::int64_t IndexedSearch::tested_end() const {
    return std::max<std::int64_t>(start_, std::int64_t{patch_bound(image_)} + 1);
}

std::int64_t IndexedSearch::last_start(std::size_t length) const {
    return std::min(tested_end(), std::int64_t{image_.file_len()} - static_cast<std::int64_t>(length));
}

bool IndexedSearch::matches_at(std::int64_t at, const ByteString& pattern) const {
    return at >= 0 && at <= INT32_MAX && image_.match_at(static_cast<std::int32_t>(at), pattern);
}

std::int32_t IndexedSearch::find(ByteView pattern) {
    const auto known = index_.find(ByteString(pattern.begin(), pattern.end()));
    if (known == index_.end()) return PlainSearch(image_, start_).find(pattern);
    const std::int64_t first = first_[known->second];
    return first == MultiSearch::kNone ? 0 : static_cast<std::int32_t>(first);
}

void IndexedSearch::wrote(std::int32_t offset, std::size_t length) {
    if (length == 0) return;
    const std::int64_t write_end = std::int64_t{offset} + static_cast<std::int64_t>(length);  // exclusive
    const std::int64_t lowest = std::max<std::int64_t>(start_, 0);
    for (std::size_t k = 0; k < search_.size(); ++k) {
        const ByteString& pattern = search_.pattern(k);
        const auto size = static_cast<std::int64_t>(pattern.size());
        const std::int64_t top = last_start(pattern.size());
        std::int64_t& first = first_[k];
        // Only positions whose bytes overlap the write can change their answer.
        const std::int64_t band_begin = std::max(lowest, std::int64_t{offset} - std::max<std::int64_t>(size, 1) + 1);
        const std::int64_t band_end = std::min(top, write_end - 1);
        const bool first_touched = first != MultiSearch::kNone && first >= band_begin && first <= band_end;
        const bool first_kept = first != MultiSearch::kNone && (!first_touched || matches_at(first, pattern));
        // Positions below the first match never matched, so a new lowest can
        // only lie inside the band; above a kept first match nothing counts.
        const std::int64_t scan_end = first_kept ? std::min(band_end, first - 1) : band_end;
        std::int64_t found = MultiSearch::kNone;
        for (std::int64_t at = band_begin; at <= scan_end; ++at) {
            if (matches_at(at, pattern)) {
                found = at;
                break;
            }
        }
        if (found != MultiSearch::kNone) {
            first = found;
        } else if (!first_kept && first != MultiSearch::kNone) {
            // The first match was overwritten: the next one lies after the band.
            const std::int64_t resume = std::max(first + 1, band_end + 1);
            // find_str tests resume .. top here; resume is never 0, so 0 means none.
            const std::int32_t next = resume > top ? 0
                                                   : image_.find_str(static_cast<std::int32_t>(resume),
                                                                     static_cast<std::int32_t>(top) - 1, pattern);
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
