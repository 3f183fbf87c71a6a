#include <gtest/gtest.h>

#include "engine/patch_abbr.h"
#include "tests/support/recording_window.h"

namespace tarnwick {
namespace {

using testing::RecordingWindow;

constexpr std::string_view kName = "Track/Trk";
const ByteString kOriginal = hex2str("2054722000000000");     // 8 bytes
const ByteString kReplacement = hex2str("2054726B20000000");  // 8 bytes

struct Fixture {
    VoiceImage image;
    RecordingWindow window;

    explicit Fixture(std::size_t size, std::initializer_list<std::pair<std::size_t, ByteString>> runs = {}) {
        ByteString bytes(size, 'x');
        for (const auto& [at, run] : runs) std::copy(run.begin(), run.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        image.assign(std::move(bytes));
    }

    bool patch(std::int32_t start, const ByteString& original = kOriginal,
               const ByteString& replacement = kReplacement) {
        return patch_abbr(image, window, start, original, replacement, kName);
    }

    ByteString bytes(std::size_t at, std::size_t n) const {
        const auto all = image.file_buf();
        return ByteString(all.begin() + static_cast<std::ptrdiff_t>(at),
                          all.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
};

const std::string kAlreadyPatched = "The Track/Trk abbreviation is already patched.";
const std::string kNotFound =
    "Could not find the Track/Trk abbreviation. Make sure you opened the proper language voice.";

TEST(PatchAbbr, ReplacesOnlyTheFirstOccurrenceSilently) {
    Fixture f(200, {{50, kOriginal}, {120, kOriginal}, {10, kReplacement}});
    EXPECT_TRUE(f.patch(20));
    EXPECT_EQ(f.bytes(50, 8), kReplacement);
    EXPECT_EQ(f.bytes(120, 8), kOriginal);
    EXPECT_TRUE(f.window.events.empty());
}

TEST(PatchAbbr, TellsAlreadyPatchedOrNotFound) {
    Fixture patched(200, {{70, kReplacement}});
    const ByteString before = patched.bytes(0, 200);
    EXPECT_FALSE(patched.patch(20));
    EXPECT_EQ(patched.window.messages(), std::vector<std::string>{kAlreadyPatched});
    EXPECT_EQ(patched.bytes(0, 200), before);

    Fixture neither(200);
    EXPECT_FALSE(neither.patch(20));
    EXPECT_EQ(neither.window.messages(), std::vector<std::string>{kNotFound});
}

TEST(PatchAbbr, SecondCallFindsItsOwnReplacement) {
    Fixture f(200, {{64, kOriginal}});
    EXPECT_TRUE(f.patch(1));
    EXPECT_FALSE(f.patch(1));
    EXPECT_EQ(f.window.messages(), std::vector<std::string>{kAlreadyPatched});
}

TEST(PatchAbbr, SearchWindowEndsAtLengthMinusNine) {
    Fixture last(100, {{91, kOriginal}});  // starts at file_len - 9
    EXPECT_TRUE(last.patch(1));
    EXPECT_EQ(last.bytes(91, 8), kReplacement);

    Fixture past(100, {{92, kOriginal}});  // starts at file_len - 8
    EXPECT_FALSE(past.patch(1));
    EXPECT_EQ(past.window.messages(), std::vector<std::string>{kNotFound});
    EXPECT_EQ(past.bytes(92, 8), kOriginal);

    Fixture replacement_past(100, {{92, kReplacement}});
    EXPECT_FALSE(replacement_past.patch(1));
    EXPECT_EQ(replacement_past.window.messages(), std::vector<std::string>{kNotFound});
}

TEST(PatchAbbr, StartOffsetExcludesEarlierRunsAndOffsetZero) {
    Fixture before_start(200, {{45, kOriginal}});
    EXPECT_FALSE(before_start.patch(50));  // ends after start, begins before it
    EXPECT_EQ(before_start.window.messages(), std::vector<std::string>{kNotFound});

    Fixture at_zero(200, {{0, kOriginal}});
    EXPECT_FALSE(at_zero.patch(0));
    EXPECT_EQ(at_zero.bytes(0, 8), kOriginal);

    // A start past the window tests that single position.
    Fixture single(200, {{195, ByteString{0x20, 0x54, 0x72}}});
    EXPECT_TRUE(single.patch(195, ByteString{0x20, 0x54, 0x72}, ByteString{0x20, 0x54, 0x54}));
    EXPECT_EQ(single.bytes(195, 3), (ByteString{0x20, 0x54, 0x54}));
}

TEST(PatchAbbr, ShorterReplacementLeavesTheTrailingByte) {
    const ByteString original = ascii_bytes(" ABCDE");
    const ByteString replacement = ascii_bytes(" VWXY");
    Fixture f(100, {{30, original}});
    EXPECT_TRUE(f.patch(1, original, replacement));
    EXPECT_EQ(f.bytes(30, 6), ascii_bytes(" VWXYE"));
    EXPECT_EQ(f.bytes(36, 1), ascii_bytes("x"));
}

TEST(PatchAbbr, ImagesShorterThanTheWindowNeverMatchOrWrite) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{5}, std::size_t{9}, std::size_t{16}}) {
        SCOPED_TRACE(size);
        Fixture f(size);
        EXPECT_FALSE(f.patch(0));
        EXPECT_FALSE(f.patch(-7));
        EXPECT_FALSE(f.patch(std::numeric_limits<std::int32_t>::max()));
        EXPECT_EQ(f.image.file_len(), static_cast<std::int32_t>(size));
    }
}

}  // namespace
}  // namespace tarnwick
