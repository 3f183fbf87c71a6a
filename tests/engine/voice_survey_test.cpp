// The catalogue written out literally, so that a typo in any label or byte
// fails here, and the survey of a voice checked against real runs.
#include <gtest/gtest.h>

#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "engine/open_voice.h"
#include "engine/voice_survey.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

using voices::Container;
using voices::DiskImageBuilder;
using testing::RecordingWindow;

struct Label {
    int option;
    std::string_view text;
};

const Label kLabels[] = {
    {1, R"(Change "St" to "Street" instead of "Saint")"},
    {2, R"(Change "FM" to "Farm Road" instead of "FM" or "Fed. State of Micronesia")"},
    {3, R"(Change "Dr" to "Drive" instead of "Doctor")"},
    {4, R"(Change "SR" to "State Road" instead of "Stage Road")"},
    {5, R"(Change "Cl" to "Clinic" instead of "Close")"},
    {6, R"(Change "O" to "West" instead of "Oest")"},
    {7, R"(Change "Boul." to "Boulevard" instead of "Boul+pause")"},
    {8, R"(Change "Br" to "Business Route" instead of "Branch")"},
    {9, R"(Change "HwY" to "Highway" instead of "H-W-Y")"},
    {10, R"(Change "Boul." to "Boulevard" instead of "Boul+pause" (French countries))"},
    {11, R"(Change "O" to "West" instead of "O" (French countries))"},
    {12, R"(Change "AuT" to "Highway" instead of "A-U-T" (French countries))"},
    {13, R"(Change "Hov" to "H-O-V" instead of "Hove")"},
    {14, R"(Change "WA" to "Washington" instead of "W-A")"},
    {15, R"(Change "Ct"and "Ct-" to "Connecticut" instead of "C-T" or "Court")"},
    {16, R"(Change "RM" to "Ranch Road" instead of "RM")"},
    {17, R"(Change "La" to "La" instead of "Lane" (Spanish area))"},
    {18, R"(Change "Eisenhower" to "Eisenhower" instead of "Eesenhower")"},
    {19, R"(Change "Expwy" to "Expressway" instead of "Expwy")"},
    {20, R"(Change "Tr" to "Trail" instead of "Track")"},
};

enum class Role { lead, follow_up, fallback };

struct Patch {
    int option;
    Role role;
    std::string_view name;
    std::string_view original_hex;
    std::string_view replacement_hex;
};

const Patch kPatches[] = {
    {1, Role::lead, "Street/Saint",
     "2053742E2000000020537420000000",
     "2053747220000020537420000000"},
    {2, Role::lead, "Farm Road/FM",
     "20426F74746F6D200000000020426F742000000020426F74746D20002042746D2000",
     "204661726D20526F6164200020464D2D2000000020464D200000000020464D200000"},
    {3, Role::lead, "Drive/Doctor",
     "2044722E200000002044722000",
     "20447269766520002044722000"},
    {4, Role::lead, "State Road/Stage Road",
     "20537461746520526F61642000000000205352200000",
     "205374617974746520526F6164200000205352200000"},
    {5, Role::lead, "Clinic/Close",
     "204369726375732000000000204372632000000020436C6F7365200020436C2000000000",
     "20436C696E6963200000000020436C200000000020436C6F7365200020436C6F20000000"},
    {6, Role::lead, "West/Oest",
     "204F657374200000204F2000",
     "2057657374200000204F2000"},
    {6, Role::follow_up, "West</Oest<",
     "204F6573743C0000204F3C00",
     "20576573743C0000204F3C00"},
    {7, Role::lead, "Boulevard/Boul.",
     "20526F757465206465206469766973696F6E20002044522D00000000",
     "20426F756C65766172642000000000000000000020426F756C2E2000"},
    {8, Role::lead, "Business Route/Branch",
     "20416D65726963616E2053616D6F6120000000002041532000000000",
     "20427573696E65737320526F75746520000000002042722000000000"},
    {8, Role::follow_up, "Brnch/Br<",
     "204272616E6368200000000020427220000000002042726E63682000",
     "204272616E636820000000002042726E636820002042726E63682000"},
    {9, Role::lead, "Highway/HwY",
     "2048696768776179200000002048696768777920000000002048697761792000204869777920000020487761792000002048777920000000",
     "2048696768776179200000002048696768777920000000002048697761792000204869777920000020487759200000002048777920000000"},
    {10, Role::lead, "Boulevard/Boul.",
     "20426F756C762000",
     "20426F756C2E2000"},
    {11, Role::lead, "West/O",
     "2050656E74686F75736520002050682000000000",
     "205765737420000000000000204F200000000000"},
    {12, Role::lead, "Highway/AuT",
     "20426173656D656E742000002042736D74200000",
     "2048696768776179200000002041755420000000"},
    {13, Role::lead, "H-O-V/Hov",
     "2054616265726E61636C652000000000205462726E636C2000000000",
     "2048204F20562000000000000000000020486F762000000000000000"},
    {14, Role::lead, "Washington/WA",
     "204173736F6369617465732000000000204173736F632000",
     "2057617368696E67746F6E20000000002057412000000000"},
    {15, Role::lead, "Connecticut/Ct",
     "204D61696E74656E616E636520000000204D61696E742000",
     "20436F6E6E65637469637574200000002043742000000000"},
    {15, Role::follow_up, "Court/Crt",
     "20436F757274200020437274200000002043742000000000",
     "20436F757274200020437274200000002043727420000000"},
    {15, Role::follow_up, "Connecticut/Ct-",
     "204E6176616C204169722053746174696F6E2000204E617320000000",
     "20436F6E6E6563746963757420000000000000002043542D00000000"},
    {15, Role::fallback, "Connecticut/Ct-",
     "204E6176616C204169722053746174696F6E2000204E617320000000",
     "20436F6E6E6563746963757420000000000000002043542D00000000"},
    {16, Role::lead, "Ranch Road/RM",
     "2041646D696E697374726174696F6E20000000002041646D696E2000204167726963756C747572616C2000002041677220000000",
     "2052616E636820526F616420000000000000000020524D2D200000002052616E636820526F6164200000000020524D2000000000"},
    {17, Role::lead, "La/La",
     "204C616E65200000204C6120000000",
     "204C616E65200000204C6E20000000"},
    {18, Role::lead, "Eisenhower/Eesenhower (beta)",
     "20446576656C6F706D656E74200000002044766C7027742000000000",
     "20492D7A656E0000000000000000000020456973656E000000000000"},
    {19, Role::lead, "Expressway/Expwy",
     "20457874656E73696F6E7320000000002045787473200000",
     "204578707265737377617920000000002045787077792000"},
    {20, Role::lead, "Track/Trk",
     "2054722000000000",
     "2054726B20000000"},
    {20, Role::follow_up, "Trail/Tr",
     "204F76616C200000204F766C20000000",
     "20547261696C20002054722000000000"},
};

// Tab captions as stored, and the options on each, top to bottom.
const std::vector<std::pair<std::string_view, std::vector<int>>> kTabsLiterally = {
    {"English", {1, 2, 3, 16, 17, 19, 20}},
    {"Jack && Jill && Samantha", {4, 8, 13, 15}},
    {"Karen && Lee", {5, 14, 18}},
    {"Julie && Felix", {6, 7}},
    {"Daniel && Emily && Serena", {9, 10, 11, 12}},
};

TEST(CatalogueLiterally, EveryLabelTabNameAndByteRun) {
    for (const Label& label : kLabels) {
        EXPECT_EQ(patch_catalogue()[static_cast<std::size_t>(label.option - 1)].label, label.text);
    }
    std::vector<Patch> actual;
    for (const PatchOption& option : patch_catalogue()) {
        const auto add = [&](const AbbrPatch* p, Role role) {
            if (p != nullptr) actual.push_back({option.number, role, p->name, p->original_hex, p->replacement_hex});
        };
        add(option.lead, Role::lead);
        for (const AbbrPatch* p : option.follow_ups) add(p, Role::follow_up);
        add(option.fallback, Role::fallback);
    }
    ASSERT_EQ(actual.size(), std::size(kPatches));
    for (std::size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(kPatches[i].name);
        EXPECT_EQ(actual[i].option, kPatches[i].option);
        EXPECT_EQ(actual[i].role, kPatches[i].role);
        EXPECT_EQ(actual[i].name, kPatches[i].name);
        EXPECT_EQ(actual[i].original_hex, kPatches[i].original_hex);
        EXPECT_EQ(actual[i].replacement_hex, kPatches[i].replacement_hex);
    }
    ASSERT_EQ(option_tabs().size(), kTabsLiterally.size());
    for (std::size_t tab = 0; tab < kTabsLiterally.size(); ++tab) {
        EXPECT_EQ(option_tabs()[tab].caption, kTabsLiterally[tab].first);
        EXPECT_EQ(std::vector<int>(option_tabs()[tab].options.begin(), option_tabs()[tab].options.end()),
                  kTabsLiterally[tab].second);
        for (const int k : kTabsLiterally[tab].second) EXPECT_EQ(tab_of(k), static_cast<int>(tab));
    }
}

ByteString bytes_of(std::string_view hex) { return hex2str(hex); }

// What a run with only option k ticked does, in the survey's words.
OptionState run_decides(const ByteString& voice, int k) {
    VoiceImage image;
    image.assign(voice);
    RecordingWindow window;
    window.enable_all();
    window.tick({k});
    RunDetails details;
    if (rehearse_patch(image, window, details) == RunOutcome::rehearsed) return OptionState::ready;
    for (const std::string& shown : window.messages()) {
        if (shown.ends_with("abbreviation is already patched.")) return OptionState::already_changed;
    }
    return OptionState::not_in_this_voice;
}

TEST(VoiceSurvey, EveryStateIsWhatARunWithOnlyThatOptionDoes) {
    // Options 1-7 hold their originals, 8-14 their replacements, 15-20 neither;
    // for 15 also its fallback's replacement alone, then its fallback's original alone.
    const auto mixed = [](int fallback_case) {
        DiskImageBuilder builder;
        std::int64_t at = builder.dllimg_data_start() + 64;
        for (const Patch& p : kPatches) {
            if (p.role != Role::lead || p.option >= 15) continue;
            builder.place(at, bytes_of(p.option <= 7 ? p.original_hex : p.replacement_hex));
            at += 128;
        }
        const Patch& fallback = kPatches[std::size(kPatches) - 7];  // 15d
        if (fallback_case == 1) builder.place(at, bytes_of(fallback.replacement_hex));
        if (fallback_case == 2) builder.place(at, bytes_of(fallback.original_hex));
        return builder.build();
    };
    const std::vector<std::pair<std::string, ByteString>> voices = {
        {"demo voice", voices::demo_voice(Container::vpm)},
        {"demo container", voices::demo_voice(Container::rgn)},
        {"mixed", mixed(0)},
        {"mixed, 15 changed by its fallback", mixed(1)},
        {"mixed, 15 ready by its fallback", mixed(2)},
        {"empty area", DiskImageBuilder().build()},
    };
    const std::array<OptionState, 3> mixed_15 = {OptionState::not_in_this_voice, OptionState::already_changed,
                                                 OptionState::ready};
    for (std::size_t v = 0; v < voices.size(); ++v) {
        SCOPED_TRACE(voices[v].first);
        VoiceImage image;
        image.assign(voices[v].second);
        const VoiceSurvey survey = survey_voice(image);
        ASSERT_TRUE(survey.located());
        EXPECT_EQ(ByteString(image.file_buf().begin(), image.file_buf().end()), voices[v].second);
        for (int k = 1; k <= kOptionCount; ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(survey.state(k), run_decides(voices[v].second, k));
            if (v >= 2 && v <= 4) {  // the mixed voices, stated outright
                const OptionState expected = k <= 7 ? OptionState::ready
                                             : k <= 14 ? OptionState::already_changed
                                             : k == 15 ? mixed_15[v - 2]
                                                       : OptionState::not_in_this_voice;
                EXPECT_EQ(survey.state(k), expected);
            }
        }
    }
}

TEST(VoiceSurvey, SummaryNamesKindSizeAndTheTabsWithReadyOptions) {
    VoiceImage image;
    image.assign(voices::demo_voice(Container::rgn));
    EXPECT_EQ(survey_summary("demo.rgn", 1234567, survey_voice(image)),
              "demo.rgn: container (.rgn), 1,234,567 bytes; ready options on English, Jack & Jill & Samantha, "
              "Karen & Lee, Julie & Felix, Daniel & Emily & Serena");
    DiskImageBuilder one;
    one.place(one.dllimg_data_start() + 64, bytes_of(kPatches[5].original_hex));  // 6a
    image.assign(one.build());
    EXPECT_EQ(survey_summary("v.vpm", 999, survey_voice(image)),
              "v.vpm: disk image (.vpm), 999 bytes; ready options on Julie & Felix");
    image.assign(DiskImageBuilder().build());
    EXPECT_EQ(survey_summary("v.vpm", 1000, survey_voice(image)),
              "v.vpm: disk image (.vpm), 1,000 bytes; no option is ready to apply");
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

TEST(OpenVoice, EachFileOpenedInTurnIsSurveyedOnItsOwnLayout) {
    testing::TempDir dir;
    VoiceImage image;  // one image, as the program has
    struct Made {
        std::uint8_t exponent;
        std::uint16_t block;
        bool named;
        std::int32_t start;  // expected; -1: not located
    };
    const std::vector<Made> files = {{1, 40, true, 40 * 1024}, {3, 12, true, 12 * 4096}, {1, 40, false, -1},
                                     {0, 9, true, 9 * 512}};
    int n = 0;
    for (const Made& made : files) {
        SCOPED_TRACE("file " + std::to_string(n));
        voices::DiskImageBuilder builder;
        builder.block_exp(made.exponent).dllimg_first_block(made.block).length(70000);
        if (!made.named) builder.without_dllimg();
        builder.place(std::max<std::int64_t>(builder.dllimg_data_start(), 4096) + 64,
                      hex2str(patch_catalogue()[0].lead->original_hex));
        const auto path = dir / ("voice" + std::to_string(n++) + ".vpm");
        testing::write_file(path, builder.build());
        const OpenedVoice opened = open_voice(image, path, dir / "journals", system_file_calls(), RecoveryMode::record, {});
        ASSERT_TRUE(opened.accepted());
        EXPECT_EQ(opened.survey.located(), made.start >= 0);
        if (made.start >= 0) {
            EXPECT_EQ(opened.survey.layout.dllimg_start, made.start);
            EXPECT_EQ(opened.survey.layout.block_exp, made.exponent);
            EXPECT_EQ(opened.survey.state(1), OptionState::ready);
        }
    }
}

}  // namespace
}  // namespace tarnwick
