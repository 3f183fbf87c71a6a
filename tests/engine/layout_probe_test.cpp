#include <cmath>

#include <gtest/gtest.h>

#include "engine/layout_probe.h"
#include "tools/voice_builder/disk_image_builder.h"

namespace tarnwick {
namespace {

using voices::Container;
using voices::DiskImageBuilder;

VoiceImage image_of(const DiskImageBuilder& builder) {
    VoiceImage image;
    image.assign(builder.build());
    return image;
}

VoiceImage image_of(ByteString bytes) {
    VoiceImage image;
    image.assign(std::move(bytes));
    return image;
}

TEST(DetectContainer, DecidesByTheMarkAlone) {
    EXPECT_EQ(detect_container(image_of(DiskImageBuilder().container(Container::vpm))), ContainerKind::vpm);
    EXPECT_EQ(detect_container(image_of(DiskImageBuilder().container(Container::rgn))), ContainerKind::rgn);

    // Both marks: the disk image itself wins.
    EXPECT_EQ(detect_container(image_of(DiskImageBuilder().container(Container::rgn).place(16, "DSKIMG"))),
              ContainerKind::vpm);

    ByteString shifted(200, 0);
    std::copy_n("DSKIMG", 6, shifted.begin() + 17);
    EXPECT_EQ(detect_container(image_of(shifted)), ContainerKind::none);
    ByteString lower(200, 0);
    std::copy_n("dskimg", 6, lower.begin() + 16);
    EXPECT_EQ(detect_container(image_of(lower)), ContainerKind::none);
    EXPECT_EQ(detect_container(image_of(ByteString{})), ContainerKind::none);
}

TEST(DetectContainer, ShortFilesOnlyMatchWhereTheMarkFits) {
    const ByteString full = DiskImageBuilder().build();
    EXPECT_EQ(detect_container(image_of(ByteString(full.begin(), full.begin() + 21))), ContainerKind::none);
    EXPECT_EQ(detect_container(image_of(ByteString(full.begin(), full.begin() + 22))), ContainerKind::vpm);
    const ByteString rgn = DiskImageBuilder().container(Container::rgn).build();
    EXPECT_EQ(detect_container(image_of(ByteString(rgn.begin(), rgn.begin() + 81))), ContainerKind::none);
    EXPECT_EQ(detect_container(image_of(ByteString(rgn.begin(), rgn.begin() + 82))), ContainerKind::rgn);
}

TEST(ProbeLayout, ReadsTheExponentAtTheContainersOffsetAndDoesNotShiftTheStart) {
    for (const Container kind : {Container::vpm, Container::rgn}) {
        const DiskImageBuilder builder = DiskImageBuilder().container(kind).block_exp(2).dllimg_first_block(3);
        VoiceImage image = image_of(builder);
        const Layout layout = probe_layout(image, detect_container(image));
        ASSERT_EQ(layout.result, ProbeResult::located);
        EXPECT_EQ(layout.block_exp, 2);
        EXPECT_EQ(layout.dllimg_start, 6144);
        EXPECT_EQ(layout.dllimg_start, builder.dllimg_data_start());
    }
    // Both marks: the exponent comes from 98, not 158.
    DiskImageBuilder both = DiskImageBuilder().container(Container::rgn).block_exp(1).dllimg_first_block(4);
    both.place(16, "DSKIMG").place(98, ByteString{0});
    VoiceImage image = image_of(both);
    const Layout layout = probe_layout(image, detect_container(image));
    ASSERT_EQ(layout.result, ProbeResult::located);
    EXPECT_EQ(layout.block_exp, 0);
    EXPECT_EQ(layout.dllimg_start, 2048);
}

// The first block number as a little-endian pair, planted after a name at `n`.
VoiceImage image_with_name_at(std::int64_t n, std::uint8_t exponent, std::uint8_t low, std::uint8_t high,
                              std::int64_t length = 70000) {
    ByteString bytes = DiskImageBuilder().without_dllimg().length(length).build();
    bytes[98] = exponent;
    const std::string_view name = "DLLIMG  BIN";
    std::copy(name.begin(), name.end(), bytes.begin() + n);
    if (n + 32 < length) {
        bytes[static_cast<std::size_t>(n + 31)] = low;
        bytes[static_cast<std::size_t>(n + 32)] = high;
    }
    return image_of(std::move(bytes));
}

struct StartCase {
    std::uint8_t exponent;
    std::uint16_t block;
    std::int64_t expected;  // -1: no valid start
};

TEST(ProbeLayout, ComputesTheDataStartExactlyAtTheExponentLimits) {
    const std::vector<StartCase> cases = {
        {0, 256, 131072},       {2, 3, 6144},           {6, 65535, 2147450880}, {7, 32767, 2147418112},
        {7, 32768, -1},         {8, 16383, 2147352576}, {8, 16384, -1},         {21, 1, 1073741824},
        {21, 2, -1},            {22, 0, 0},             {22, 1, -1},            {255, 0, 0},
        {255, 1, -1},           {0, 32768, 16777216},   {64, 1, -1},            {9, 0, 0},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE("exponent " + std::to_string(c.exponent) + " block " + std::to_string(c.block));
        EXPECT_EQ(data_start(c.block, c.exponent).value_or(-1), c.expected);
        VoiceImage image = image_with_name_at(600, c.exponent, static_cast<std::uint8_t>(c.block & 0xFF),
                                              static_cast<std::uint8_t>(c.block >> 8));
        const Layout layout = probe_layout(image, ContainerKind::vpm);
        if (c.expected < 0) {
            EXPECT_EQ(layout.result, ProbeResult::start_out_of_range);
            EXPECT_FALSE(layout.located());
        } else {
            EXPECT_EQ(layout.result, ProbeResult::located);
            EXPECT_EQ(layout.block_exp, c.exponent);
            EXPECT_EQ(layout.dllimg_start, c.expected);
        }
    }
}

TEST(ProbeLayout, EveryExponentGivesTheExactProduct) {
    for (int exponent = 0; exponent <= 255; ++exponent) {
        for (const std::uint32_t block : {0u, 1u, 2u, 255u, 256u, 32768u, 65535u}) {
            const long double exact = static_cast<long double>(block) * 512.0L * std::pow(2.0L, exponent);
            const std::int64_t expected = exact > 2147483647.0L ? -1 : static_cast<std::int64_t>(exact);
            EXPECT_EQ(data_start(static_cast<std::uint16_t>(block), static_cast<std::uint8_t>(exponent)).value_or(-1), expected)
                << "exponent " << exponent << " block " << block;
        }
    }
}

TEST(ProbeLayout, FindsTheNameFromOffsetOneTo65537) {
    VoiceImage at_one = image_with_name_at(1, 0, 0x00, 0x01);
    ASSERT_EQ(probe_layout(at_one, ContainerKind::vpm).result, ProbeResult::located);
    EXPECT_EQ(probe_layout(at_one, ContainerKind::vpm).dllimg_start, 131072);  // block bytes read from 32 and 33

    VoiceImage last = image_with_name_at(65537, 0, 2, 0);
    ASSERT_EQ(probe_layout(last, ContainerKind::vpm).result, ProbeResult::located);
    EXPECT_EQ(probe_layout(last, ContainerKind::vpm).dllimg_start, 1024);

    VoiceImage too_far = image_with_name_at(65538, 0, 2, 0);
    EXPECT_EQ(probe_layout(too_far, ContainerKind::vpm).result, ProbeResult::name_not_found);

    ByteString at_zero = DiskImageBuilder().without_dllimg().build();
    std::copy_n("DLLIMG  BIN", 11, at_zero.begin());
    VoiceImage zero = image_of(at_zero);
    EXPECT_EQ(probe_layout(zero, ContainerKind::vpm).result, ProbeResult::name_not_found);

    VoiceImage high_byte = image_with_name_at(600, 0, 0x00, 0x80);
    ASSERT_EQ(probe_layout(high_byte, ContainerKind::vpm).result, ProbeResult::located);
    EXPECT_EQ(probe_layout(high_byte, ContainerKind::vpm).dllimg_start, 32768 * 512);
}

TEST(ProbeLayout, UsesTheFirstEntryWhenTheNameIsTwiceThere) {
    ByteString bytes = DiskImageBuilder().without_dllimg().length(20000).build();
    for (const std::size_t at : {std::size_t{600}, std::size_t{9000}}) {
        std::copy_n("DLLIMG  BIN", 11, bytes.begin() + static_cast<std::ptrdiff_t>(at));
        bytes[at + 31] = at == 600 ? 5 : 9;
        bytes[at + 32] = 0;
    }
    bytes[98] = 0;
    VoiceImage image = image_of(bytes);
    ASSERT_EQ(probe_layout(image, ContainerKind::vpm).result, ProbeResult::located);
    EXPECT_EQ(probe_layout(image, ContainerKind::vpm).dllimg_start, 5 * 512);
}

TEST(ProbeLayout, NeverReadsOutsideTheImage) {
    const ByteString vpm = DiskImageBuilder().build();
    VoiceImage short_vpm = image_of(ByteString(vpm.begin(), vpm.begin() + 98));
    EXPECT_EQ(probe_layout(short_vpm, ContainerKind::vpm).result, ProbeResult::outside_image);

    const ByteString rgn = DiskImageBuilder().container(Container::rgn).build();
    VoiceImage short_rgn = image_of(ByteString(rgn.begin(), rgn.begin() + 158));
    EXPECT_EQ(probe_layout(short_rgn, ContainerKind::rgn).result, ProbeResult::outside_image);

    // The name ends the file: its block bytes would lie past the end.
    for (const std::int64_t tail : {0, 20, 21}) {
        SCOPED_TRACE(tail);
        VoiceImage near_end = image_with_name_at(1000, 0, 1, 0, 1000 + 11 + tail);
        EXPECT_EQ(probe_layout(near_end, ContainerKind::vpm).result, ProbeResult::outside_image);
    }
    VoiceImage just_fits = image_with_name_at(1000, 0, 1, 0, 1033);
    EXPECT_EQ(probe_layout(just_fits, ContainerKind::vpm).result, ProbeResult::located);

    VoiceImage missing = image_of(DiskImageBuilder().without_dllimg());
    EXPECT_EQ(probe_layout(missing, ContainerKind::vpm).result, ProbeResult::name_not_found);
}

}  // namespace
}  // namespace tarnwick
