// The searches a patch run makes: one find_str per query, or answered from one pass.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/byte_string.h"
#include "engine/multi_search.h"

namespace tarnwick {

class VoiceImage;

// The searches of the abbreviation patch operation: find_str from the start
// with the bound file_len - 10, so that the last start tested is file_len - 9
// (the "patch window"). Each reports the lowest start where a pattern lies
// wholly in the image, or 0 when there is none (and for a match at offset 0).
inline constexpr std::int32_t kPatchBoundBelowLength = 10;

class PatchSearch {
public:
    virtual ~PatchSearch() = default;
    virtual std::int32_t find(ByteView pattern) = 0;
    // The lowest match above `after` in the same window, or 0.
    virtual std::int32_t find_after(ByteView pattern, std::int32_t after) = 0;
    // Overwrites `bytes` of `image` (the image searched) from `offset` on, as
    // VoiceImage::put_str does, and keeps later finds exact: the one way a
    // run writes while it searches, so that no write goes unseen.
    bool put_str(VoiceImage& image, std::int32_t offset, ByteView bytes);

protected:
    // `length` bytes from `offset` were overwritten; later finds must see them.
    virtual void wrote(std::int32_t offset, std::size_t length) = 0;
    // For a search that wraps another: passes a write on to it.
    static void tell(PatchSearch& inner, std::int32_t offset, std::size_t length) { inner.wrote(offset, length); }
};

// One find_str per query.
class PlainSearch final : public PatchSearch {
public:
    PlainSearch(const VoiceImage& image, std::int32_t start) : image_(image), start_(start) {}
    std::int32_t find(ByteView pattern) override;
    std::int32_t find_after(ByteView pattern, std::int32_t after) override;

private:
    void wrote(std::int32_t, std::size_t) override {}

    const VoiceImage& image_;
    std::int32_t start_;
};

// The first match of every pattern of `search`, found in one pass when it is
// made, and kept exact through the run's writes: a write is checked for the
// matches it creates or destroys in the positions it touches, and only a
// destroyed first match is searched again, from after it. Other patterns are
// searched one by one.
class IndexedSearch final : public PatchSearch {
public:
    IndexedSearch(const VoiceImage& image, std::int32_t start, const MultiSearch& search);
    std::int32_t find(ByteView pattern) override;
    std::int32_t find_after(ByteView pattern, std::int32_t after) override;

private:
    void wrote(std::int32_t offset, std::size_t length) override;

    // The last start find_str tests for one of `length` bytes.
    std::int64_t last_start(std::size_t length) const;
    bool matches_at(std::int64_t at, const ByteString& pattern) const;

    const VoiceImage& image_;
    std::int32_t start_;
    const MultiSearch& search_;
    // The image's length never changes, so neither does the last start
    // find_str tests for any pattern.
    std::int64_t length_;
    std::int64_t tested_end_;
    std::vector<std::int64_t> first_;  // per pattern, MultiSearch::kNone when absent
    // What a write may change, per pattern: kept between writes, so that a
    // write costs no allocation.
    struct Band {
        std::uint64_t write = 0;  // the write it was worked out for
        std::int64_t begin = 0, end = 0, scan_end = 0;
        bool first_kept = false;
        std::int64_t found = 0;
    };
    std::vector<Band> bands_;
    std::uint64_t write_count_ = 0;
};

// Every run of the catalogue, made ready for one pass once per process.
const MultiSearch& catalogue_search();

}  // namespace tarnwick
