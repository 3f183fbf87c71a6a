#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick {

using ByteString = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The outcome of reading or writing a file. `reason` is the system's
// explanation when `ok` is false, ready to be shown to a person.
struct FileResult {
    bool ok = true;
    std::string reason;

    static FileResult success() { return {}; }
    static FileResult failure(std::string why) { return {false, std::move(why)}; }
};

}  // namespace tarnwick
