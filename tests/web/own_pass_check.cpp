// The browser build's own pass (WebAssembly SIMD) against the byte-by-byte
// pass, on many random buffers salted with the catalogue's runs and their
// near misses, at every start and end near the edges. Run with node; exits
// with 1 and says where on the first difference.
#include <cstdio>
#include <random>

#include "engine/multi_search.h"
#include "engine/patch_search.h"

int main() {
    using namespace tarnwick;
    const MultiSearch& search = catalogue_search();
    std::printf("pass: %s\n", MultiSearch::fastest_pass());
    std::mt19937 random(12345);
    std::vector<std::int64_t> vector_found, portable_found;
    for (int round = 0; round < 3000; ++round) {
        ByteString bytes(64 + random() % 3000);
        // Spaces and zero bytes, which begin and end every catalogue run, and letters of runs.
        static constexpr std::uint8_t kAlphabet[] = {' ', 0, 0, 'S', 't', '.', 'T', 'r', ' ', 'D', 'r'};
        for (std::uint8_t& b : bytes) b = kAlphabet[random() % sizeof kAlphabet];
        // Whole runs, and runs cut short or bent, at random places.
        for (int planted = random() % 6; planted > 0; --planted) {
            const ByteString& run = search.pattern(random() % search.size());
            const std::size_t at = random() % bytes.size();
            for (std::size_t i = 0; i < run.size() && at + i < bytes.size(); ++i) bytes[at + i] = run[i];
            if (random() % 3 == 0) bytes[(at + random() % run.size()) % bytes.size()] ^= 0x20;
        }
        const auto from = static_cast<std::int64_t>(random() % 40);
        const auto last = static_cast<std::int64_t>(bytes.size()) - static_cast<std::int64_t>(random() % 40);
        search.first_starts_own(bytes, from, last, vector_found);
        search.first_starts_by(MultiSearch::Pass::bytewise, bytes, from, last, portable_found);
        if (vector_found != portable_found) {
            std::printf("round %d: the passes differ\n", round);
            return 1;
        }
    }
    std::printf("3000 buffers: the same first starts\n");
    return 0;
}
