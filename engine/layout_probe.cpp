#include "engine/layout_probe.h"

#include <array>

namespace tarnwick {
namespace {

constexpr std::array<std::uint8_t, 6> kDiskImageMark{'D', 'S', 'K', 'I', 'M', 'G'};
constexpr std::array<std::uint8_t, 11> kSubFileName{'D', 'L', 'L', 'I', 'M', 'G', ' ', ' ', 'B', 'I', 'N'};
constexpr std::int32_t kVpmMarkOffset = 16;
constexpr std::int32_t kRgnMarkOffset = 76;
constexpr std::int32_t kVpmExponentOffset = 98;
constexpr std::int32_t kRgnExponentOffset = 158;
constexpr std::int32_t kNameSearchFirst = 1;
constexpr std::int32_t kNameSearchBound = 65536;
constexpr std::int32_t kFirstBlockAfterName = 31;

}  // namespace

ContainerKind detect_container(const VoiceImage& image) {
    const bool at_vpm = image.match_at(kVpmMarkOffset, kDiskImageMark);
    const bool at_rgn = image.match_at(kRgnMarkOffset, kDiskImageMark);
    if (at_vpm) return ContainerKind::vpm;
    if (at_rgn) return ContainerKind::rgn;
    return ContainerKind::none;
}

std::optional<std::int32_t> data_start(std::uint16_t first_block, std::uint8_t block_exp) {
    constexpr std::int64_t kLimit = kMaxImageLength;
    if (first_block == 0) return 0;
    // A block of 512 * 2^22 bytes alone passes the limit; below that the
    // product stays under 2^47 and a 64-bit shift is exact.
    if (block_exp >= 22) return std::nullopt;
    const std::int64_t start = std::int64_t{first_block} << (9 + block_exp);
    if (start > kLimit) return std::nullopt;
    return static_cast<std::int32_t>(start);
}

Layout probe_layout(const VoiceImage& image, ContainerKind kind) {
    const std::int32_t exponent_at = kind == ContainerKind::rgn ? kRgnExponentOffset : kVpmExponentOffset;
    if (exponent_at >= image.file_len()) return {ProbeResult::outside_image, 0, 0};
    const std::uint8_t block_exp = image.file_buf()[static_cast<std::size_t>(exponent_at)];

    const std::int32_t name_at = image.find_str(kNameSearchFirst, kNameSearchBound, kSubFileName);
    if (name_at <= 0) return {ProbeResult::name_not_found, block_exp, 0};
    const std::int64_t low_at = std::int64_t{name_at} + kFirstBlockAfterName;
    if (low_at + 1 >= image.file_len()) return {ProbeResult::outside_image, block_exp, 0};
    const auto bytes = image.file_buf();
    const auto first_block = static_cast<std::uint16_t>(
        bytes[static_cast<std::size_t>(low_at)] | bytes[static_cast<std::size_t>(low_at + 1)] << 8);

    const std::optional<std::int32_t> start = data_start(first_block, block_exp);
    if (!start) return {ProbeResult::start_out_of_range, block_exp, 0};
    return {ProbeResult::located, block_exp, *start};
}

}  // namespace tarnwick
