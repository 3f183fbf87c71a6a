// Where a voice's abbreviation area lies: the container's kind and the disk image's layout.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/voice_image.h"

namespace tarnwick {

enum class ContainerKind { vpm, rgn, none };

// `vpm` when "DSKIMG" stands at offset 16, else `rgn` when it stands at 76
// (a disk image 60 bytes into a container), else `none`.
ContainerKind detect_container(const VoiceImage& image);

enum class ProbeResult {
    located,
    name_not_found,      // no "DLLIMG  BIN" at positions 1 to 65537
    outside_image,       // a byte the probe needs lies past the end of the image
    start_out_of_range,  // the data start would exceed 2,147,483,647
};

// What the probe found in one image: block_exp and dllimg_start mean
// something only when the result is `located`.
struct Layout {
    ProbeResult result = ProbeResult::name_not_found;
    std::uint8_t block_exp = 0;
    std::int32_t dllimg_start = 0;  // first block * 512 * 2^block_exp: where every search starts

    bool located() const { return result == ProbeResult::located; }
};

// Reads the block-size exponent and the first block of "DLLIMG  BIN" and
// computes the data start.
Layout probe_layout(const VoiceImage& image, ContainerKind kind);

// first_block * 512 * 2^block_exp, or none when it exceeds 2,147,483,647.
std::optional<std::int32_t> data_start(std::uint16_t first_block, std::uint8_t block_exp);

}  // namespace tarnwick
