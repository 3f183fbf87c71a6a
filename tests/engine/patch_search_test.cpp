// The one-pass search keeps every first match exact while a run writes.
#include <gtest/gtest.h>

#include "engine/journal_format.h"
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

// Every pass (at each width the processor runs) finds each pattern's lowest start: patterns of four to seven
// bytes, patterns that share their first eight (or sixteen) bytes, at the
// ends of the range and the buffer; and a long buffer thick with near misses.
// Cut into blocks of sixteen starts among three threads, most matches run
// across a block's end.
TEST(MultiSearch, EveryPassFindsTheLowestStartAmongNearMisses) {
    struct Placed {
        std::int64_t at;
        std::string bytes;
    };
    struct PassCase {
        std::string name;
        std::size_t length;
        std::string filler;  // repeated over the whole buffer
        std::vector<Placed> placed;
        std::int64_t from, last_start;
        std::vector<std::string> patterns;
        std::vector<std::int64_t> expected;
    };
    const std::string near = " Highway... Highwy.. Hiway.";  // shares 8 and 16 bytes with the patterns below
    const std::vector<PassCase> cases = {
        {"short patterns, each its lowest", 64, "x", {{5, "Abcd"}, {9, "Abcde"}, {30, "Abcd"}, {47, "Abcdef"}}, 0, 63,
         {"Abcd", "Abcde", "Abcdef"}, {5, 9, 47}},
        {"one group of eight shared bytes, different ends", 80, "x", {{10, " Highway.AuT"}, {40, " Highway..Hw"}}, 0, 79,
         {" Highway.AuT", " Highway..Hw", " Highway.Hx"}, {10, 40, -1}},
        {"sixteen shared bytes, the rest differs", 96, "x",
         {{3, " Highway... Highwy..X"}, {50, " Highway... Highwy..Y"}}, 0, 95,
         {" Highway... Highwy..Y", " Highway... Highwy..X"}, {50, 3}},
        {"a match past last_start does not count; one at it does", 64, "x", {{20, " Boulevard."}, {40, " Boul."}}, 0, 20,
         {" Boulevard.", " Boul."}, {20, -1}},
        {"patterns of nine to fifteen bytes, each alone in its group", 64, "x", {{33, " Oval.. Ovl."}, {7, " Trail.Tr"}},
         0, 63, {" Oval.. Ovl.", " Trail.Tr"}, {33, 7}},
        {"a match below from does not count", 64, "x", {{4, " Trail.Tr"}, {30, " Trail.Tr"}}, 5, 63, {" Trail.Tr"}, {30}},
        {"a pattern cut off by the end of the buffer", 40, "x", {{26, " Highway... Hi"}}, 0, 39,
         {" Highway... Highwy", " Highway."}, {-1, 26}},
        {"near misses everywhere, the matches far in", 256 * 1024, near,
         {{200000, " Highway... Highwy.. Hiway.X"}, {250001, " Highway... Highwy.. Hiwy"}}, 0, 256 * 1024 - 1,
         {" Highway... Highwy.. Hiway.X", " Highway... Highwy.. Hiwy", " Highway... Highwy.. Hiway.Y"},
         {200000, 250001, -1}},
    };
    for (const PassCase& c : cases) {
        SCOPED_TRACE(c.name);
        ByteString haystack(c.length);
        const ByteString filler = bytes_of(c.filler);
        for (std::size_t i = 0; i < haystack.size(); ++i) haystack[i] = filler[i % filler.size()];
        for (const Placed& p : c.placed) {
            const ByteString bytes = bytes_of(p.bytes);
            ASSERT_LE(p.at + static_cast<std::int64_t>(bytes.size()), static_cast<std::int64_t>(haystack.size()));
            std::copy(bytes.begin(), bytes.end(), haystack.begin() + p.at);
        }
        std::vector<ByteString> patterns;
        for (const std::string& p : c.patterns) patterns.push_back(bytes_of(p));
        const MultiSearch search(patterns);
        std::vector<std::int64_t> fastest, own, in_blocks;
        search.first_starts(haystack, c.from, c.last_start, fastest);
        search.first_starts_in_blocks(haystack, c.from, c.last_start, 16, 3, in_blocks);
        EXPECT_EQ(fastest, c.expected);
        EXPECT_EQ(in_blocks, c.expected);
        for (const MultiSearch::Pass pass : MultiSearch::passes()) {
            search.first_starts_by(pass, haystack, c.from, c.last_start, own);
            EXPECT_EQ(own, c.expected) << MultiSearch::name_of(pass);
        }
    }
}

// What the image works out once (its digest, the one pass) follows every
// change of its bytes, and an undone run gives back what it was.
TEST(VoiceImage, WhatItWorksOutOnceFollowsItsBytes) {
    VoiceImage image;
    ASSERT_TRUE(image.assign(bytes_of("x Ab.. x.. x....................")));
    const MultiSearch search({bytes_of(" Ab."), bytes_of(" Cd.")});
    const FileDigest original = digest_of(image.file_buf());
    EXPECT_EQ(image.digest(), original);
    EXPECT_EQ(image.first_starts(search, 0, 30), (std::vector<std::int64_t>{1, -1}));
    {
        EditLog edits(image);
        ASSERT_TRUE(image.put_str(6, bytes_of(" Cd.")));
        EXPECT_EQ(image.first_starts(search, 0, 30), (std::vector<std::int64_t>{1, 6}));
        EXPECT_EQ(image.digest(), digest_of(image.file_buf()));
        EXPECT_NE(image.digest(), original);
        EXPECT_EQ(edits.digest_before(), original);
        edits.undo();
        EXPECT_EQ(image.digest(), original);
        EXPECT_EQ(image.first_starts(search, 0, 30), (std::vector<std::int64_t>{1, -1}));
    }
    // Another search, or another range, is not answered from the last one.
    const MultiSearch other({bytes_of(" x..")});
    EXPECT_EQ(image.first_starts(other, 0, 30), (std::vector<std::int64_t>{6}));
    EXPECT_EQ(image.first_starts(search, 2, 30), (std::vector<std::int64_t>{-1, -1}));
    ASSERT_TRUE(image.assign(bytes_of(" Cd.")));
    EXPECT_EQ(image.digest(), digest_of(bytes_of(" Cd.")));
    EXPECT_EQ(image.first_starts(search, 0, 0), (std::vector<std::int64_t>{-1, 0}));
}

}  // namespace
}  // namespace tarnwick
