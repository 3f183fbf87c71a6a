// The journal reader on arbitrary bytes behind a valid magic and checksum, so
// that the fuzzer reaches the parser: it never reads out of bounds, and what
// it accepts encodes back to exactly the same bytes.
#include <cstdio>
#include <cstdlib>

#include "engine/journal_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    ByteString bytes{'T', 'T', 'S', 'J', 'R', 'N', 'L', '1'};
    bytes.insert(bytes.end(), data, data + size);
    const std::uint64_t checksum = journal_checksum(bytes);
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(checksum >> (8 * i)));

    const auto journal = decode_journal(bytes);
    if (journal && encode_journal(*journal) != bytes) {
        std::fprintf(stderr, "invariant broken: an accepted journal encodes back to other bytes\n");
        std::abort();
    }
    return 0;
}
