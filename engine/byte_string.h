// Byte strings as values, and views of them: the engine's one type for bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarnwick {

using ByteString = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// One run of bytes a patch run changed: what the file held there when it was
// opened, and what it is to hold.
struct ChangedRange {
    std::int64_t offset = 0;
    ByteString old_bytes;
    ByteString new_bytes;  // as long as old_bytes

    bool operator==(const ChangedRange&) const = default;
};

}  // namespace tarnwick
