#include <set>

#include <gtest/gtest.h>

#include "engine/layout_probe.h"
#include "engine/apply_option.h"
#include "engine/patch_catalogue.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/recording_window.h"

namespace tarnwick {
namespace {

using voices::DiskImageBuilder;
using testing::RecordingWindow;

const PatchOption& option(int number) { return patch_catalogue()[static_cast<std::size_t>(number - 1)]; }
ByteString original(const AbbrPatch& patch) { return hex2str(patch.original_hex); }
ByteString replacement(const AbbrPatch& patch) { return hex2str(patch.replacement_hex); }

std::vector<const AbbrPatch*> used_patches(const PatchOption& o) {
    std::vector<const AbbrPatch*> all{o.lead};
    for (const AbbrPatch* p : o.follow_ups) {
        if (p != nullptr) all.push_back(p);
    }
    if (o.fallback != nullptr) all.push_back(o.fallback);
    return all;
}

std::string not_found(std::string_view name) { return messages::not_found(name); }

// An image from the builder with runs placed one kilobyte apart from the data start.
struct Voice {
    DiskImageBuilder builder;
    VoiceImage image;
    RecordingWindow window;
    std::vector<std::int64_t> offsets;

    explicit Voice(const std::vector<ByteString>& runs) {
        std::int64_t at = builder.dllimg_data_start() + 1000;
        for (const ByteString& run : runs) {
            builder.place(at, run);
            offsets.push_back(at);
            at += 1024;
        }
        image.assign(builder.build());
    }

    ByteString at(std::int64_t offset, std::size_t n) const {
        const auto b = image.file_buf().begin() + static_cast<std::ptrdiff_t>(offset);
        return ByteString(b, b + static_cast<std::ptrdiff_t>(n));
    }

    OptionOutcome apply(int number) {
        return apply_option(image, window, option(number), static_cast<std::int32_t>(builder.dllimg_data_start()));
    }
};

TEST(PatchCatalogue, HoldsTwentyOptionsInRunOrderWithTheirRoles) {
    ASSERT_EQ(patch_catalogue().size(), 20u);
    for (int k = 1; k <= 20; ++k) EXPECT_EQ(option(k).number, k);
    for (int k : {6, 8, 20}) {
        EXPECT_NE(option(k).follow_ups[0], nullptr) << k;
        EXPECT_EQ(option(k).follow_ups[1], nullptr) << k;
    }
    EXPECT_EQ(option(15).follow_ups[0]->name, "Court/Crt");
    EXPECT_EQ(option(15).follow_ups[1]->name, "Connecticut/Ct-");
    EXPECT_EQ(option(15).fallback, option(15).follow_ups[1]);
    for (int k = 1; k <= 20; ++k) {
        if (k != 15) {
            EXPECT_EQ(option(k).fallback, nullptr) << k;
        }
    }
    EXPECT_EQ(option(1).label, R"(Change "St" to "Street" instead of "Saint")");
    EXPECT_EQ(option(15).label, R"(Change "Ct"and "Ct-" to "Connecticut" instead of "C-T" or "Court")");
    EXPECT_EQ(option(2).lead->name, "Farm Road/FM");
    EXPECT_EQ(option(18).lead->name, "Eisenhower/Eesenhower (beta)");
}

TEST(PatchCatalogue, StreetPatchIsComposedOfItsTextPieces) {
    using namespace std::string_literals;
    EXPECT_EQ(original(*option(1).lead), ascii_bytes(" St. \0\0\0 St \0\0\0"s));
    EXPECT_EQ(replacement(*option(1).lead), ascii_bytes(" Str \0\0 St \0\0\0"s));
}

TEST(PatchCatalogue, EveryStringKeepsTheTablesInvariants) {
    const std::string printable = " .-<'";
    for (const PatchOption& o : patch_catalogue()) {
        for (const AbbrPatch* patch : used_patches(o)) {
            SCOPED_TRACE(patch->name);
            for (std::string_view hex : {patch->original_hex, patch->replacement_hex}) {
                ASSERT_EQ(hex.size() % 2, 0u);
                for (char c : hex) EXPECT_TRUE(std::isdigit(c) || (c >= 'A' && c <= 'F')) << c;
                const ByteString bytes = hex2str(hex);
                EXPECT_EQ(bytes.front(), 0x20);
                EXPECT_EQ(bytes.back(), 0x00);
                for (std::uint8_t b : bytes) {
                    EXPECT_TRUE(b == 0 || std::isalpha(b) || printable.find(static_cast<char>(b)) != std::string::npos)
                        << static_cast<int>(b);
                }
            }
            const std::size_t shortened = patch == option(1).lead ? 1 : 0;
            EXPECT_EQ(replacement(*patch).size() + shortened, original(*patch).size());
        }
    }
}

TEST(PatchCatalogue, OnlyTheTwoKnownOverlapsExist) {
    struct Named {
        std::string what;
        ByteString bytes;
    };
    std::vector<Named> strings;
    std::set<ByteString> seen;
    for (const PatchOption& o : patch_catalogue()) {
        for (const AbbrPatch* patch : used_patches(o)) {
            for (const auto& [kind, bytes] : {std::pair{"original", original(*patch)},
                                              std::pair{"replacement", replacement(*patch)}}) {
                if (seen.insert(bytes).second) {
                    strings.push_back({std::to_string(o.number) + " " + std::string(patch->name) + " " + kind, bytes});
                }
            }
        }
    }
    std::vector<std::string> overlaps;
    for (const Named& inner : strings) {
        for (const Named& outer : strings) {
            if (&inner == &outer) continue;
            const auto hit = std::search(outer.bytes.begin(), outer.bytes.end(), inner.bytes.begin(), inner.bytes.end());
            if (hit != outer.bytes.end()) {
                overlaps.push_back(inner.what + " in " + outer.what + " at " + std::to_string(hit - outer.bytes.begin()));
            }
        }
    }
    std::sort(overlaps.begin(), overlaps.end());
    EXPECT_EQ(overlaps, (std::vector<std::string>{
                            "10 Boulevard/Boul. replacement in 7 Boulevard/Boul. replacement at 20",
                            "20 Track/Trk original in 20 Trail/Tr replacement at 8",
                        }));
}

TEST(ApplyOption, EveryOptionWritesItsExactReplacements) {
    for (const PatchOption& o : patch_catalogue()) {
        SCOPED_TRACE(o.number);
        std::vector<const AbbrPatch*> applied{o.lead};
        for (const AbbrPatch* p : o.follow_ups) {
            if (p != nullptr) applied.push_back(p);
        }
        std::vector<ByteString> runs;
        for (const AbbrPatch* p : applied) runs.push_back(original(*p));
        Voice voice(runs);
        const ByteString before = voice.at(0, static_cast<std::size_t>(voice.image.file_len()));

        const OptionOutcome outcome = voice.apply(o.number);
        EXPECT_TRUE(outcome.patched);
        EXPECT_FALSE(outcome.lead_failed);
        EXPECT_TRUE(voice.window.events.empty());

        ByteString expected = before;
        for (std::size_t i = 0; i < applied.size(); ++i) {
            const ByteString r = replacement(*applied[i]);
            std::copy(r.begin(), r.end(), expected.begin() + voice.offsets[i]);
        }
        EXPECT_EQ(voice.at(0, expected.size()), expected);
    }
}

TEST(ApplyOption, StreetPatchLeavesTheFifteenthByte) {
    Voice voice({original(*option(1).lead)});
    ASSERT_TRUE(voice.apply(1).patched);
    EXPECT_EQ(voice.at(voice.offsets[0], 15), hex2str("205374722000002053742000000000"));

    Voice already({replacement(*option(1).lead)});
    const OptionOutcome outcome = already.apply(1);
    EXPECT_FALSE(outcome.patched);
    EXPECT_TRUE(outcome.lead_failed);
    EXPECT_EQ(already.window.messages(),
              std::vector<std::string>{"The Street/Saint abbreviation is already patched."});
}

TEST(ApplyOption, FollowUpsRunOnlyAfterTheLeadSucceeded) {
    for (const int k : {6, 8, 20}) {
        SCOPED_TRACE(k);
        const AbbrPatch& lead = *option(k).lead;
        const AbbrPatch& follow = *option(k).follow_ups[0];

        Voice lead_only({original(lead)});
        const OptionOutcome patched = lead_only.apply(k);
        EXPECT_TRUE(patched.patched);
        EXPECT_FALSE(patched.lead_failed);
        EXPECT_EQ(lead_only.window.messages(), std::vector<std::string>{not_found(follow.name)});

        Voice follow_only({original(follow)});
        const OptionOutcome failed = follow_only.apply(k);
        EXPECT_FALSE(failed.patched);
        EXPECT_TRUE(failed.lead_failed);
        EXPECT_EQ(follow_only.window.messages(), std::vector<std::string>{not_found(lead.name)});
        EXPECT_EQ(follow_only.at(follow_only.offsets[0], original(follow).size()), original(follow));
    }
}

TEST(ApplyOption, ConnecticutHasThreeOutcomes) {
    const PatchOption& o = option(15);
    {
        Voice voice({original(*o.lead)});
        const OptionOutcome outcome = voice.apply(15);
        EXPECT_TRUE(outcome.patched);
        EXPECT_FALSE(outcome.lead_failed);
        EXPECT_EQ(voice.window.messages(),
                  (std::vector<std::string>{not_found("Court/Crt"), not_found("Connecticut/Ct-")}));
    }
    {
        Voice voice({original(*o.fallback), original(*o.follow_ups[0])});
        const OptionOutcome outcome = voice.apply(15);
        EXPECT_TRUE(outcome.patched);
        EXPECT_TRUE(outcome.lead_failed);
        EXPECT_EQ(voice.window.messages(), std::vector<std::string>{not_found("Connecticut/Ct")});
        EXPECT_EQ(voice.at(voice.offsets[0], 28), replacement(*o.fallback));
        EXPECT_EQ(voice.at(voice.offsets[1], 24), original(*o.follow_ups[0]));  // 15b not applied
    }
    {
        Voice voice({});
        const OptionOutcome outcome = voice.apply(15);
        EXPECT_FALSE(outcome.patched);
        EXPECT_TRUE(outcome.lead_failed);
        EXPECT_EQ(voice.window.messages(),
                  (std::vector<std::string>{not_found("Connecticut/Ct"), not_found("Connecticut/Ct-")}));
    }
}

TEST(ApplyOption, BoulevardTenFindsWhatSevenWrote) {
    Voice voice({original(*option(7).lead)});
    EXPECT_TRUE(voice.apply(7).patched);
    const OptionOutcome ten = voice.apply(10);
    EXPECT_FALSE(ten.patched);
    EXPECT_TRUE(ten.lead_failed);
    EXPECT_EQ(voice.window.messages(),
              std::vector<std::string>{"The Boulevard/Boul. abbreviation is already patched."});
}

TEST(ApplyOption, RunsBeforeTheStartAreNotFound) {
    DiskImageBuilder builder;
    builder.place(builder.dllimg_data_start() - 20, original(*option(19).lead));
    VoiceImage image;
    image.assign(builder.build());
    RecordingWindow window;
    const OptionOutcome outcome =
        apply_option(image, window, option(19), static_cast<std::int32_t>(builder.dllimg_data_start()));
    EXPECT_TRUE(outcome.lead_failed);
    EXPECT_EQ(window.messages(), std::vector<std::string>{not_found("Expressway/Expwy")});
}

}  // namespace
}  // namespace tarnwick
