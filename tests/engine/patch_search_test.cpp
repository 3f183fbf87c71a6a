// The one-pass search keeps every first match exact while a run writes.
#include <gtest/gtest.h>

#include "engine/patch_search.h"
#include "engine/voice_image.h"

namespace tarnwick {
namespace {

struct Write {
    std::int32_t offset;
    std::string bytes;
};

struct Case {
    std::string name;
    std::string image;  // '.' stands for a zero byte
    std::int32_t start;
    std::vector<std::string> patterns;
    std::vector<Write> writes;
    std::vector<std::int32_t> expected;  // find() of each pattern after the writes
};

ByteString bytes_of(const std::string& text) {
    ByteString b(text.begin(), text.end());
    for (auto& c : b) c = c == '.' ? 0 : c;
    return b;
}

TEST(IndexedSearch, WritesThatCreateOrDestroyMatchesGiveWhatAPlainSearchGives) {
    const std::string tail(12, '.');  // the last 9 positions are never tested
    const std::vector<Case> cases = {
        {"a write creates a match below the first one", "x x.. Ab.." + tail, 1, {" Ab."}, {{2, "Ab."}}, {1}},
        {"a write destroys the first match: the next one counts", "x Ab.. Ab.. Ab.." + tail, 1, {" Ab."},
         {{2, "Zz"}}, {6}},
        {"destroyed, and no other", "x Ab.. x..." + tail, 1, {" Ab."}, {{3, "q"}}, {0}},
        {"destroyed and made again by the same write, further on", "x Ab.. x.. x.." + tail, 1, {" Ab."},
         {{2, "ZZZ. Ab."}}, {6}},
        {"a write beside the first match leaves it", "x Ab.. Ab.." + tail, 1, {" Ab."}, {{6, "Q"}}, {1}},
        {"one write, several patterns", "x Ab.. Cd.. Ab.. Cd.." + tail, 1, {" Ab.", " Cd.", " Ef."},
         {{6, " Ef."}}, {1, 16, 6}},
        {"a match at offset 0 is not found, after writes too", " Ab.. Ab.." + tail, 0, {" Ab."}, {{6, "x"}}, {0}},
        {"a match made past the last position tested does not count", "x....." + tail, 1, {" Ab."},
         {{10, " Ab."}}, {0}},
        {"two writes in a row, the second undoing the first", "x x.. Ab.." + tail, 1, {" Ab."},
         {{2, "Ab."}, {2, "x.."}}, {5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VoiceImage indexed_image, plain_image;
        indexed_image.assign(bytes_of(c.image));
        plain_image.assign(bytes_of(c.image));
        std::vector<ByteString> patterns;
        for (const std::string& p : c.patterns) patterns.push_back(bytes_of(p));
        const MultiSearch search(patterns);
        IndexedSearch indexed(indexed_image, c.start, search);
        PlainSearch plain(plain_image, c.start);
        for (const Write& w : c.writes) {
            ASSERT_TRUE(indexed.put_str(indexed_image, w.offset, bytes_of(w.bytes)));
            plain_image.put_str(w.offset, bytes_of(w.bytes));
        }
        for (std::size_t k = 0; k < patterns.size(); ++k) {
            EXPECT_EQ(indexed.find(patterns[k]), c.expected[k]) << c.patterns[k];
            EXPECT_EQ(plain.find(patterns[k]), c.expected[k]) << c.patterns[k];
        }
        // A pattern it was not made with is searched as it stands.
        EXPECT_EQ(indexed.find(bytes_of(" x..")), plain.find(bytes_of(" x..")));
    }
}

}  // namespace
}  // namespace tarnwick
