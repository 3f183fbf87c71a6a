#include "engine/patch_catalogue.h"

#include "engine/voice_image.h"

namespace tarnwick {
namespace {

// Patch 1 is " St. ", three zero bytes, " St ", three zero bytes, replaced by
// " Str ", two zero bytes, " St ", three zero bytes: one byte shorter, so the
// last zero byte of the matched run stays in place.
constexpr AbbrPatch kStreet{"Street/Saint", "2053742E2000000020537420000000",
                            "2053747220000020537420000000"};
constexpr AbbrPatch kFarmRoad{"Farm Road/FM",
                              "20426F74746F6D200000000020426F742000000020426F74746D20002042746D2000",
                              "204661726D20526F6164200020464D2D2000000020464D200000000020464D200000"};
constexpr AbbrPatch kDrive{"Drive/Doctor", "2044722E200000002044722000", "20447269766520002044722000"};
constexpr AbbrPatch kStateRoad{"State Road/Stage Road", "20537461746520526F61642000000000205352200000",
                               "205374617974746520526F6164200000205352200000"};
constexpr AbbrPatch kClinic{"Clinic/Close",
                            "204369726375732000000000204372632000000020436C6F7365200020436C2000000000",
                            "20436C696E6963200000000020436C200000000020436C6F7365200020436C6F20000000"};
constexpr AbbrPatch kWest{"West/Oest", "204F657374200000204F2000", "2057657374200000204F2000"};
constexpr AbbrPatch kWestAngle{"West</Oest<", "204F6573743C0000204F3C00", "20576573743C0000204F3C00"};
constexpr AbbrPatch kBoulevard{"Boulevard/Boul.",
                               "20526F757465206465206469766973696F6E20002044522D00000000",
                               "20426F756C65766172642000000000000000000020426F756C2E2000"};
constexpr AbbrPatch kBusinessRoute{"Business Route/Branch",
                                   "20416D65726963616E2053616D6F6120000000002041532000000000",
                                   "20427573696E65737320526F75746520000000002042722000000000"};
constexpr AbbrPatch kBranch{"Brnch/Br<", "204272616E6368200000000020427220000000002042726E63682000",
                            "204272616E636820000000002042726E636820002042726E63682000"};
constexpr AbbrPatch kHighway{
    "Highway/HwY",
    "2048696768776179200000002048696768777920000000002048697761792000204869777920000020487761792000002048777920000000",
    "2048696768776179200000002048696768777920000000002048697761792000204869777920000020487759200000002048777920000000"};
constexpr AbbrPatch kBoulevardFrench{"Boulevard/Boul.", "20426F756C762000", "20426F756C2E2000"};
constexpr AbbrPatch kWestFrench{"West/O", "2050656E74686F75736520002050682000000000",
                                "205765737420000000000000204F200000000000"};
constexpr AbbrPatch kHighwayFrench{"Highway/AuT", "20426173656D656E742000002042736D74200000",
                                   "2048696768776179200000002041755420000000"};
constexpr AbbrPatch kHov{"H-O-V/Hov", "2054616265726E61636C652000000000205462726E636C2000000000",
                         "2048204F20562000000000000000000020486F762000000000000000"};
constexpr AbbrPatch kWashington{"Washington/WA", "204173736F6369617465732000000000204173736F632000",
                                "2057617368696E67746F6E20000000002057412000000000"};
constexpr AbbrPatch kConnecticut{"Connecticut/Ct", "204D61696E74656E616E636520000000204D61696E742000",
                                 "20436F6E6E65637469637574200000002043742000000000"};
constexpr AbbrPatch kCourt{"Court/Crt", "20436F757274200020437274200000002043742000000000",
                           "20436F757274200020437274200000002043727420000000"};
constexpr AbbrPatch kConnecticutDash{"Connecticut/Ct-",
                                     "204E6176616C204169722053746174696F6E2000204E617320000000",
                                     "20436F6E6E6563746963757420000000000000002043542D00000000"};
constexpr AbbrPatch kRanchRoad{
    "Ranch Road/RM",
    "2041646D696E697374726174696F6E20000000002041646D696E2000204167726963756C747572616C2000002041677220000000",
    "2052616E636820526F616420000000000000000020524D2D200000002052616E636820526F6164200000000020524D2000000000"};
constexpr AbbrPatch kLane{"La/La", "204C616E65200000204C6120000000", "204C616E65200000204C6E20000000"};
constexpr AbbrPatch kEisenhower{"Eisenhower/Eesenhower (beta)",
                                "20446576656C6F706D656E74200000002044766C7027742000000000",
                                "20492D7A656E0000000000000000000020456973656E000000000000"};
constexpr AbbrPatch kExpressway{"Expressway/Expwy", "20457874656E73696F6E7320000000002045787473200000",
                                "204578707265737377617920000000002045787077792000"};
constexpr AbbrPatch kTrack{"Track/Trk", "2054722000000000", "2054726B20000000"};
constexpr AbbrPatch kTrail{"Trail/Tr", "204F76616C200000204F766C20000000", "20547261696C20002054722000000000"};

constexpr std::array<const AbbrPatch*, 2> kNone{nullptr, nullptr};

constexpr std::array<PatchOption, kOptionCount> kCatalogue{{
    {1, R"(Change "St" to "Street" instead of "Saint")", &kStreet, kNone, nullptr},
    {2, R"(Change "FM" to "Farm Road" instead of "FM" or "Fed. State of Micronesia")", &kFarmRoad, kNone,
     nullptr},
    {3, R"(Change "Dr" to "Drive" instead of "Doctor")", &kDrive, kNone, nullptr},
    {4, R"(Change "SR" to "State Road" instead of "Stage Road")", &kStateRoad, kNone, nullptr},
    {5, R"(Change "Cl" to "Clinic" instead of "Close")", &kClinic, kNone, nullptr},
    {6, R"(Change "O" to "West" instead of "Oest")", &kWest, {&kWestAngle, nullptr}, nullptr},
    {7, R"(Change "Boul." to "Boulevard" instead of "Boul+pause")", &kBoulevard, kNone, nullptr},
    {8, R"(Change "Br" to "Business Route" instead of "Branch")", &kBusinessRoute, {&kBranch, nullptr},
     nullptr},
    {9, R"(Change "HwY" to "Highway" instead of "H-W-Y")", &kHighway, kNone, nullptr},
    {10, R"(Change "Boul." to "Boulevard" instead of "Boul+pause" (French countries))", &kBoulevardFrench,
     kNone, nullptr},
    {11, R"(Change "O" to "West" instead of "O" (French countries))", &kWestFrench, kNone, nullptr},
    {12, R"(Change "AuT" to "Highway" instead of "A-U-T" (French countries))", &kHighwayFrench, kNone,
     nullptr},
    {13, R"(Change "Hov" to "H-O-V" instead of "Hove")", &kHov, kNone, nullptr},
    {14, R"(Change "WA" to "Washington" instead of "W-A")", &kWashington, kNone, nullptr},
    {15, R"(Change "Ct"and "Ct-" to "Connecticut" instead of "C-T" or "Court")", &kConnecticut,
     {&kCourt, &kConnecticutDash}, &kConnecticutDash},
    {16, R"(Change "RM" to "Ranch Road" instead of "RM")", &kRanchRoad, kNone, nullptr},
    {17, R"(Change "La" to "La" instead of "Lane" (Spanish area))", &kLane, kNone, nullptr},
    {18, R"(Change "Eisenhower" to "Eisenhower" instead of "Eesenhower")", &kEisenhower, kNone, nullptr},
    {19, R"(Change "Expwy" to "Expressway" instead of "Expwy")", &kExpressway, kNone, nullptr},
    {20, R"(Change "Tr" to "Trail" instead of "Track")", &kTrack, {&kTrail, nullptr}, nullptr},
}};

constexpr std::array kEnglish{1, 2, 3, 16, 17, 19, 20};
constexpr std::array kJackJillSamantha{4, 8, 13, 15};
constexpr std::array kKarenLee{5, 14, 18};
constexpr std::array kJulieFelix{6, 7};
constexpr std::array kDanielEmilySerena{9, 10, 11, 12};

constexpr std::array<OptionTab, kTabCount> kTabs{{
    {"English", kEnglish},
    {"Jack && Jill && Samantha", kJackJillSamantha},
    {"Karen && Lee", kKarenLee},
    {"Julie && Felix", kJulieFelix},
    {"Daniel && Emily && Serena", kDanielEmilySerena},
}};

}  // namespace

std::span<const PatchOption, kOptionCount> patch_catalogue() { return kCatalogue; }

std::span<const OptionTab, kTabCount> option_tabs() { return kTabs; }

std::optional<int> tab_of(int option) {
    for (int tab = 0; tab < kTabCount; ++tab) {
        for (const int k : kTabs[static_cast<std::size_t>(tab)].options) {
            if (k == option) return tab;
        }
    }
    return std::nullopt;
}

std::array<const AbbrPatch*, 4> patches_of(const PatchOption& option) {
    return {option.lead, option.follow_ups[0], option.follow_ups[1], option.fallback};
}

std::vector<ByteString> patterns_of(const PatchOption& option) {
    std::vector<ByteString> patterns;
    for (const AbbrPatch* patch : patches_of(option)) {
        if (patch == nullptr) continue;
        patterns.push_back(hex2str(patch->original_hex));
        patterns.push_back(hex2str(patch->replacement_hex));
    }
    return patterns;
}

}  // namespace tarnwick
