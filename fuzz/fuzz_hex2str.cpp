// hex2str on arbitrary text: every pair yields one byte, read from its hex
// digits up to the first other character.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "engine/voice_image.h"

namespace {

int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const tarnwick::ByteString bytes = tarnwick::hex2str(text);
    if (bytes.size() != size / 2) std::abort();
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const int high = digit(text[2 * k]);
        const int low = digit(text[2 * k + 1]);
        const int expected = high < 0 ? 0 : low < 0 ? high : high * 16 + low;
        if (bytes[k] != expected) {
            std::fprintf(stderr, "pair %zu: got %d, expected %d\n", k, bytes[k], expected);
            std::abort();
        }
    }
    return 0;
}
