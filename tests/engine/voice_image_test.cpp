#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "engine/voice_image.h"

namespace tarnwick {
namespace {

constexpr std::int32_t kMaxOffset = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMinOffset = std::numeric_limits<std::int32_t>::min();

VoiceImage image_of(ByteString bytes) {
    VoiceImage image;
    image.assign(std::move(bytes));
    return image;
}

// `size` zero bytes with `run` written at each of `offsets`.
ByteString with_runs(std::size_t size, std::string_view run, std::initializer_list<std::size_t> offsets) {
    ByteString bytes(size, 0);
    for (std::size_t at : offsets) {
        std::copy(run.begin(), run.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return bytes;
}

TEST(VoiceImage, StartsEmptyAndEverySearchOnItFails) {
    VoiceImage image;
    EXPECT_EQ(image.file_len(), 0);
    EXPECT_TRUE(image.file_buf().empty());
    EXPECT_TRUE(image.file_path().empty());
    EXPECT_FALSE(image.match_at(0, ascii_bytes("D")));
    EXPECT_EQ(image.find_str(0, kMaxOffset, ascii_bytes("D")), 0);
    EXPECT_FALSE(image.put_str(0, ascii_bytes("D")));
    EXPECT_EQ(image.file_len(), 0);
}

TEST(MatchAt, PatternMustLieWhollyInsideTheImage) {
    const ByteString mark = ascii_bytes("DSKIMG");
    // 21 bytes: the mark at 16 would end one byte past the image.
    ByteString short_image = with_runs(22, "DSKIMG", {16});
    short_image.pop_back();
    EXPECT_FALSE(image_of(short_image).match_at(16, mark));
    EXPECT_TRUE(image_of(with_runs(22, "DSKIMG", {16})).match_at(16, mark));

    const VoiceImage image = image_of(with_runs(22, "DSKIMG", {16}));
    EXPECT_FALSE(image.match_at(-1, mark));
    EXPECT_FALSE(image.match_at(kMinOffset, mark));
    EXPECT_FALSE(image.match_at(kMaxOffset, mark));
    EXPECT_FALSE(image.match_at(17, mark));
    EXPECT_FALSE(image.match_at(16, ascii_bytes("dskimg")));  // no case folding
    EXPECT_FALSE(image.match_at(0, ByteString(100, 0)));      // longer than the image
}

TEST(MatchAt, EmptyPatternMatchesFromZeroToLength) {
    const VoiceImage image = image_of(ByteString(5, 7));
    EXPECT_TRUE(image.match_at(0, {}));
    EXPECT_TRUE(image.match_at(5, {}));
    EXPECT_FALSE(image.match_at(6, {}));
    EXPECT_FALSE(image.match_at(-1, {}));
}

TEST(MatchAt, ZeroBytesAreOrdinaryValues) {
    const VoiceImage image = image_of(ByteString{0x20, 0x00, 0x00, 0x41});
    EXPECT_TRUE(image.match_at(0, ByteString{0x20, 0x00, 0x00}));
    EXPECT_FALSE(image.match_at(0, ByteString{0x20, 0x00, 0x01}));
}

TEST(FindStr, LastPositionTestedIsBoundPlusOne) {
    const ByteString name = ascii_bytes("DLLIMG  BIN");
    EXPECT_EQ(image_of(with_runs(70000, "DLLIMG  BIN", {65537})).find_str(1, 65536, name), 65537);
    EXPECT_EQ(image_of(with_runs(70000, "DLLIMG  BIN", {65538})).find_str(1, 65536, name), 0);
    EXPECT_EQ(image_of(with_runs(70000, "DLLIMG  BIN", {1})).find_str(1, 65536, name), 1);
}

TEST(FindStr, FirstPastBoundTestsThatSinglePosition) {
    const VoiceImage image = image_of(with_runs(100, "XY", {40, 50}));
    const ByteString xy = ascii_bytes("XY");
    EXPECT_EQ(image.find_str(40, 39, xy), 40);  // first == bound + 1
    EXPECT_EQ(image.find_str(40, 10, xy), 40);  // first > bound
    EXPECT_EQ(image.find_str(41, 10, xy), 0);   // the later match is not reached
    EXPECT_EQ(image.find_str(50, 10, xy), 50);
}

TEST(FindStr, LowestMatchWinsAndOffsetZeroMeansNotFound) {
    const ByteString xy = ascii_bytes("XY");
    EXPECT_EQ(image_of(with_runs(100, "XY", {70, 30, 50})).find_str(1, 98, xy), 30);
    EXPECT_EQ(image_of(with_runs(100, "XY", {0})).find_str(0, 98, xy), 0);
    // A match at 0 hides nothing later: the search reports "none" at once.
    EXPECT_EQ(image_of(with_runs(100, "XY", {0, 20})).find_str(0, 98, xy), 0);
    EXPECT_EQ(image_of(with_runs(100, "XY", {0, 20})).find_str(1, 98, xy), 20);
    // A match starting before `first` is not found even when it ends after it.
    EXPECT_EQ(image_of(with_runs(100, "XY", {29})).find_str(30, 98, xy), 0);
}

TEST(FindStr, NeverMatchesPastTheEndAndSurvivesExtremeOffsets) {
    const ByteString xy = ascii_bytes("XY");
    const VoiceImage image = image_of(with_runs(10, "XY", {8}));
    EXPECT_EQ(image.find_str(1, 1000, xy), 8);
    EXPECT_EQ(image_of(with_runs(10, "XX", {8})).find_str(1, kMaxOffset, ascii_bytes("XXX")), 0);
    EXPECT_EQ(image.find_str(1, kMaxOffset, xy), 8);       // bound + 1 must not overflow
    EXPECT_EQ(image.find_str(kMinOffset, kMaxOffset, xy), 8);
    EXPECT_EQ(image.find_str(-5, -10, xy), 0);
    EXPECT_EQ(image.find_str(kMaxOffset, kMaxOffset, xy), 0);
    EXPECT_EQ(image.find_str(kMaxOffset, kMinOffset, xy), 0);
    EXPECT_EQ(image.find_str(1, 100, ByteString(11, 'X')), 0);
}

TEST(FindStr, EmptyPatternMatchesAtTheFirstPositionTested) {
    const VoiceImage image = image_of(ByteString(10, 1));
    EXPECT_EQ(image.find_str(3, 8, {}), 3);
    EXPECT_EQ(image.find_str(10, 8, {}), 10);
    EXPECT_EQ(image.find_str(11, 8, {}), 0);
}

TEST(FindStr, SearchesLargeImagesWholeWithoutFindingAbsentRuns) {
    ByteString bytes(64u << 20, 'a');
    bytes.back() = 'Z';
    const VoiceImage image = image_of(std::move(bytes));
    EXPECT_EQ(image.find_str(1, image.file_len() - 10, ascii_bytes(" Street ")), 0);
    EXPECT_EQ(image.find_str(1, kMaxOffset, ascii_bytes("aZ")), image.file_len() - 2);
}

TEST(PutStr, ChangesExactlyTheWrittenBytes) {
    VoiceImage image = image_of(ByteString(20, 0xEE));
    ASSERT_TRUE(image.put_str(10, ByteString{1, 2}));
    for (std::int32_t i = 0; i < 20; ++i) {
        const std::uint8_t expected = i == 10 ? 1 : i == 11 ? 2 : 0xEE;
        EXPECT_EQ(image.file_buf()[static_cast<std::size_t>(i)], expected) << "offset " << i;
    }
}

TEST(PutStr, RefusesWritesThatWouldLeaveTheImage) {
    VoiceImage image = image_of(ByteString(20, 0xEE));
    EXPECT_FALSE(image.put_str(19, ByteString{1, 2}));
    EXPECT_FALSE(image.put_str(-1, ByteString{1}));
    EXPECT_FALSE(image.put_str(kMaxOffset, ByteString{1}));
    EXPECT_FALSE(image.put_str(0, ByteString(21, 1)));
    EXPECT_TRUE(image.put_str(18, ByteString{1, 2}));
    EXPECT_EQ(image.file_len(), 20);
    EXPECT_EQ(std::count(image.file_buf().begin(), image.file_buf().end(), 0xEE), 18);
}

TEST(EditLog, PutsLoggedWritesBackInReverseOrder) {
    VoiceImage image = image_of(ascii_bytes("abcdefgh"));
    image.put_str(0, ascii_bytes("Z"));  // before the log: stays
    {
        EditLog edits(image);
        image.put_str(2, ascii_bytes("XYZ"));
        image.put_str(3, ascii_bytes("QQ"));  // overlaps the previous write
        edits.undo();
    }
    image.put_str(7, ascii_bytes("W"));  // after the log: stays
    image.put_str(7, ascii_bytes("h"));
    EXPECT_EQ(ByteString(image.file_buf().begin(), image.file_buf().end()), ascii_bytes("Zbcdefgh"));
}

// A log follows its image when the image moves; a log whose image was moved
// over, given new bytes or destroyed has nothing left to tell or undo.
TEST(EditLog, FollowsAMovedImageAndLetsGoOfOneReplaced) {
    const auto text = [](const VoiceImage& image) { return ByteString(image.file_buf().begin(), image.file_buf().end()); };
    struct Case {
        const char* what;
        std::function<VoiceImage*(std::unique_ptr<VoiceImage>&)> after_write;  // the image the log should now record, or none
    };
    const std::vector<Case> cases = {
        {"moved into a new image", [](std::unique_ptr<VoiceImage>& held) {
             held = std::make_unique<VoiceImage>(std::move(*held));
             return held.get();
         }},
        {"moved over by another", [](std::unique_ptr<VoiceImage>& held) {
             *held = image_of(ascii_bytes("12345678"));
             return static_cast<VoiceImage*>(nullptr);
         }},
        {"given new bytes", [](std::unique_ptr<VoiceImage>& held) {
             held->assign(ascii_bytes("12345678"));
             return static_cast<VoiceImage*>(nullptr);
         }},
        {"destroyed", [](std::unique_ptr<VoiceImage>& held) {
             held.reset();
             return static_cast<VoiceImage*>(nullptr);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto held = std::make_unique<VoiceImage>(image_of(ascii_bytes("abcdefgh")));
        EditLog edits(*held);
        held->put_str(2, ascii_bytes("XY"));
        VoiceImage* recorded = c.after_write(held);
        if (recorded != nullptr) {
            ASSERT_EQ(edits.changed_ranges().size(), 1u);
            EXPECT_EQ(edits.changed_ranges()[0].old_bytes, ascii_bytes("cd"));
            recorded->put_str(6, ascii_bytes("Z"));
            edits.undo();
            EXPECT_EQ(text(*recorded), ascii_bytes("abcdefgh"));
        } else {
            EXPECT_TRUE(edits.changed_ranges().empty());
            edits.undo();
            if (held) {
                EXPECT_EQ(text(*held), ascii_bytes("12345678"));
            }
        }
    }
}

TEST(Hex2Str, EachPairYieldsOneByte) {
    EXPECT_EQ(hex2str("2054726B20000000"), (ByteString{0x20, 0x54, 0x72, 0x6B, 0x20, 0x00, 0x00, 0x00}));
    EXPECT_EQ(hex2str("2054726b20000000"), hex2str("2054726B20000000"));
    EXPECT_EQ(hex2str("FFa0"), (ByteString{0xFF, 0xA0}));
    EXPECT_EQ(hex2str("205"), ByteString{0x20});
    EXPECT_EQ(hex2str(""), ByteString{});
    EXPECT_EQ(hex2str("2"), ByteString{});
}

TEST(Hex2Str, NonDigitsEndAPairsValue) {
    EXPECT_EQ(hex2str("4G"), ByteString{0x04});
    EXPECT_EQ(hex2str("G4"), ByteString{0x00});
    EXPECT_EQ(hex2str("  "), ByteString{0x00});
    EXPECT_EQ(hex2str("0x41"), (ByteString{0x00, 0x41}));
    EXPECT_EQ(hex2str(std::string_view("\0" "1", 2)), ByteString{0x00});
}

}  // namespace
}  // namespace tarnwick
