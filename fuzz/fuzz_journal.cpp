// The journal and history-record readers on arbitrary bytes behind a valid
// magic and checksum, so that the fuzzer reaches the parsers: they never read
// out of bounds, and what they accept encodes back to exactly the same bytes.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "engine/journal_format.h"

namespace {

using namespace tarnwick;

// The input under `magic`, sealed with the checksum the format ends with.
ByteString sealed(std::string_view magic, const std::uint8_t* data, std::size_t size) {
    ByteString bytes(magic.begin(), magic.end());
    bytes.insert(bytes.end(), data, data + size);
    const std::uint64_t checksum = journal_checksum(bytes);
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(checksum >> (8 * i)));
    return bytes;
}

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Every version of the journal encodes back by its own version.
    for (const std::string_view magic : {"TTSJRNL1", "TTSJRNL2", "TTSJRNL3"}) {
        const ByteString journal_bytes = sealed(magic, data, size);
        const auto journal = decode_journal(journal_bytes);
        check(!journal || encode_journal(*journal) == journal_bytes, "an accepted journal encodes back to other bytes");
    }
    const ByteString record_bytes = sealed("TTSHIST2", data, size);
    const auto record = decode_record(record_bytes);
    check(!record || encode_record(*record) == record_bytes, "an accepted record encodes back to other bytes");
    // A record of the first version is written again in the current one, the same record.
    const auto older = decode_record(sealed("TTSHIST1", data, size));
    if (older) {
        const auto again = decode_record(encode_record(*older));
        check(again && again->ranges == older->ranges && again->options == older->options && again->after == older->after &&
                  again->state == SaveRecord::State::finished,
              "a record of the first version reads otherwise once written again");
    }
    return 0;
}
