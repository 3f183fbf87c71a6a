// The one-pass searches against the plain ones, on arbitrary bytes, starts
// and option sets: every option applied with the indexed search must write
// the same bytes and say the same things as with one find_str per search;
// and every pass of the multi-pattern search must find the same.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/multi_search.h"
#include "engine/apply_option.h"
#include "engine/patch_catalogue.h"
#include "engine/patch_search.h"

namespace {

using namespace tarnwick;

class Transcript final : public MessageSink {
public:
    void show_message(const Message& message) override { said += message.text + '\n'; }
    std::string said;
};

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const auto chosen = static_cast<std::uint32_t>(data[0] | data[1] << 8 | (data[2] & 0x0F) << 16);  // options 1 to 20
    const ByteString bytes(data + 5, data + size);
    // Starts around the image's own range, the edges included.
    const auto start = static_cast<std::int32_t>(static_cast<std::int16_t>(data[3] | data[4] << 8) % 
                                                 (static_cast<std::int32_t>(bytes.size()) + 16));

    VoiceImage plain_image, indexed_image;
    plain_image.assign(bytes);
    indexed_image.assign(bytes);
    Transcript plain_said, indexed_said;
    IndexedSearch indexed(indexed_image, start, catalogue_search());
    for (const PatchOption& option : patch_catalogue()) {
        if ((chosen & (1u << (option.number - 1))) == 0) continue;
        const OptionOutcome a = apply_option(plain_image, plain_said, option, start);
        const OptionOutcome b = apply_option(indexed_image, indexed_said, option, indexed);
        check(a.patched == b.patched && a.lead_failed == b.lead_failed, "the same outcome for every option");
    }
    check(plain_said.said == indexed_said.said, "the same messages in the same order");
    check(std::equal(plain_image.file_buf().begin(), plain_image.file_buf().end(), indexed_image.file_buf().begin()),
          "the same bytes written");

    const MultiSearch& search = catalogue_search();
    std::vector<std::int64_t> fastest, own, portable;
    const std::int64_t last = start + static_cast<std::int64_t>(data[2] >> 4) * 97;
    // Every pass this build and processor run finds what the byte-by-byte pass finds.
    const auto passes_agree = [&](const MultiSearch& with) {
        for (const MultiSearch::Pass pass : MultiSearch::passes()) {
            with.first_starts_by(pass, bytes, start, last, own);
            if (own != portable) return false;
        }
        return true;
    };
    search.first_starts(bytes, start, last, fastest);
    search.first_starts_by(MultiSearch::Pass::bytewise, bytes, start, last, portable);
    check(fastest == portable, "the fastest pass finds what the byte-by-byte pass finds");
    check(passes_agree(search), "every pass finds what the byte-by-byte pass finds");

    // Patterns of every length taken from the input itself, some sharing
    // their first eight bytes, against a plain search: the passes share
    // their confirmation, so only a plain search can catch a fault in it.
    std::vector<ByteString> taken;
    for (std::size_t i = 0; i + 1 < bytes.size() && taken.size() < 12; i += 7) {
        const std::size_t length = 1 + bytes[i] % 24;
        if (i + 1 + length > bytes.size()) break;
        taken.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(i + 1),
                           bytes.begin() + static_cast<std::ptrdiff_t>(i + 1 + length));
        if (length >= 8 && bytes[i] & 0x40) {  // the same eight bytes, then another end
            ByteString twin(taken.back().begin(), taken.back().begin() + 8);
            twin.push_back(static_cast<std::uint8_t>(bytes[i] ^ 0x5A));
            taken.push_back(std::move(twin));
        }
    }
    std::sort(taken.begin(), taken.end());
    taken.erase(std::unique(taken.begin(), taken.end()), taken.end());
    const MultiSearch own_patterns(taken);
    own_patterns.first_starts(bytes, start, last, fastest);
    own_patterns.first_starts_by(MultiSearch::Pass::bytewise, bytes, start, last, portable);
    for (std::size_t k = 0; k < taken.size(); ++k) {
        const ByteString& p = taken[k];
        std::int64_t expected = MultiSearch::kNone;
        for (std::int64_t at = std::max<std::int64_t>(start, 0);
             at <= last && at + static_cast<std::int64_t>(p.size()) <= static_cast<std::int64_t>(bytes.size()); ++at) {
            if (std::equal(p.begin(), p.end(), bytes.begin() + at)) {
                expected = at;
                break;
            }
        }
        check(portable[k] == expected, "the byte-by-byte pass finds what a plain search finds");
    }
    check(fastest == portable && passes_agree(own_patterns), "every pass finds the same on patterns of any length");
    return 0;
}
