// find_str and match_at on arbitrary images, offsets and bounds, checked
// against a plain scan. Input: first offset, bound (4 bytes each, little
// endian; a flag byte can force the extremes), pattern length, pattern, image.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/voice_image.h"

namespace {

std::int32_t read_offset(const std::uint8_t* p, std::uint8_t flag) {
    switch (flag % 5) {
        case 0: return std::numeric_limits<std::int32_t>::max();
        case 1: return std::numeric_limits<std::int32_t>::min();
        default: {
            std::uint32_t v = 0;
            std::memcpy(&v, p, 4);
            return static_cast<std::int32_t>(v);
        }
    }
}

bool plain_match(const tarnwick::ByteString& image, std::int64_t at, const tarnwick::ByteString& pattern) {
    if (at < 0 || at + static_cast<std::int64_t>(pattern.size()) > static_cast<std::int64_t>(image.size())) return false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (image[static_cast<std::size_t>(at) + i] != pattern[i]) return false;
    }
    return true;
}

// The positions first .. bound + 1 (only first when first > bound), in order;
// positions below 0 or past the end never match, so the scan skips them.
std::int32_t plain_find(const tarnwick::ByteString& image, std::int32_t first, std::int32_t bound,
                        const tarnwick::ByteString& pattern) {
    const std::int64_t last = std::max<std::int64_t>(first, std::int64_t{bound} + 1);
    for (std::int64_t p = std::max<std::int64_t>(first, 0); p <= last; ++p) {
        if (p + static_cast<std::int64_t>(pattern.size()) > static_cast<std::int64_t>(image.size())) break;
        if (plain_match(image, p, pattern)) return static_cast<std::int32_t>(p);
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 11) return 0;
    const std::uint8_t flags = data[8];
    const std::int32_t first = read_offset(data, flags);
    const std::int32_t bound = read_offset(data + 4, static_cast<std::uint8_t>(flags / 5));
    const std::size_t pattern_length = std::min<std::size_t>(data[9] % 40, size - 10);
    tarnwick::ByteString pattern(data + 10, data + 10 + pattern_length);
    tarnwick::ByteString bytes(data + 10 + pattern_length, data + size);
    if (flags & 0x80) {
        // A four-letter alphabet, so that matches and near misses are common.
        for (auto& b : pattern) b &= 0x03;
        for (auto& b : bytes) b &= 0x03;
    }

    tarnwick::VoiceImage image;
    image.assign(bytes);
    const std::int32_t found = image.find_str(first, bound, pattern);
    const std::int32_t expected = plain_find(bytes, first, bound, pattern);
    if (found != expected) {
        std::fprintf(stderr, "find_str(%d, %d) on %zu bytes: got %d, expected %d\n", first, bound, bytes.size(), found,
                     expected);
        std::abort();
    }
    for (const std::int32_t at : {first, bound, found, static_cast<std::int32_t>(bytes.size()) - 1}) {
        if (image.match_at(at, pattern) != plain_match(bytes, at, pattern)) {
            std::fprintf(stderr, "match_at(%d) disagrees\n", at);
            std::abort();
        }
    }
    return 0;
}
