// Writes seed corpora for the fuzzers, built with the test image builder:
// both container kinds, every option's original present, and near-miss
// headers. Usage: fuzz_seeds FOLDER (creates FOLDER/<fuzzer>/...).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "engine/patch_catalogue.h"
#include "engine/journal_format.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/test_files.h"

namespace {

using namespace tarnwick;
using voices::Container;
using voices::DiskImageBuilder;

// Small voices, so that the fuzzers spend their time on many inputs: 512-byte
// blocks, data from 4 KiB (just past the directory) on.
DiskImageBuilder small_voice(Container kind) {
    DiskImageBuilder builder;
    builder.container(kind).block_exp(0).dllimg_first_block(8).length(4096 + 4096);
    return builder;
}

DiskImageBuilder with_every_original(Container kind) {
    DiskImageBuilder builder = small_voice(kind);
    std::int64_t at = builder.dllimg_data_start() + 16;
    for (const PatchOption& option : patch_catalogue()) {
        for (const AbbrPatch* patch : {option.lead, option.follow_ups[0], option.follow_ups[1], option.fallback}) {
            if (patch == nullptr) continue;
            builder.place(at, hex2str(patch->original_hex));
            at += 64;
        }
    }
    return builder;
}

void write(const std::filesystem::path& folder, const std::string& name, const ByteString& bytes) {
    std::filesystem::create_directories(folder);
    testing::write_file(folder / name, bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];

    const auto run = root / "fuzz_patch_run";
    write(run, "vpm-every-original", with_every_original(Container::vpm).build());
    write(run, "rgn-every-original", with_every_original(Container::rgn).build());
    write(run, "vpm-empty-area", small_voice(Container::vpm).build());
    for (const PatchOption& option : patch_catalogue()) {
        DiskImageBuilder one = small_voice(option.number % 2 ? Container::vpm : Container::rgn);
        one.place(one.dllimg_data_start() + 100, hex2str(option.lead->original_hex));
        write(run, "option-" + std::to_string(option.number), one.build());
    }
    ByteString shifted_mark = small_voice(Container::vpm).build();
    std::memcpy(shifted_mark.data() + 16, "XDSKIMG", 7);
    write(run, "mark-at-17", shifted_mark);
    ByteString lower_mark = small_voice(Container::vpm).build();
    std::memcpy(lower_mark.data() + 16, "dskimg", 6);
    write(run, "mark-lower-case", lower_mark);
    write(run, "no-dllimg", small_voice(Container::vpm).without_dllimg().build());
    write(run, "block-too-far", small_voice(Container::vpm).block_exp(7).dllimg_first_block(32768).build());
    const ByteString whole = with_every_original(Container::vpm).build();
    write(run, "cut-at-98", ByteString(whole.begin(), whole.begin() + 98));
    write(run, "cut-in-directory", ByteString(whole.begin(), whole.begin() + 0x810));

    const auto hex = root / "fuzz_hex2str";
    int n = 0;
    for (const PatchOption& option : patch_catalogue()) {
        write(hex, "hex-" + std::to_string(++n), ascii_bytes(option.lead->original_hex));
    }
    write(hex, "mixed", ascii_bytes("4GG4a0FfzZ0x9"));

    const auto find = root / "fuzz_find_str";
    ByteString search_seed = {1, 0, 0, 0, 0, 0, 1, 0, 4, 11};
    const ByteString name = ascii_bytes("DLLIMG  BIN");
    search_seed.insert(search_seed.end(), name.begin(), name.end());
    const ByteString voice = small_voice(Container::vpm).build();
    search_seed.insert(search_seed.end(), voice.begin(), voice.begin() + 4096);
    write(find, "name-search", search_seed);
    write(find, "extremes", ByteString{0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0x80, 0x80, 3, 1, 2, 3, 1, 2, 3, 0, 1, 2, 3});

    // The one-pass searches: every option, starts near the area, on voices
    // holding originals; and the catalogue's runs as a dictionary, so that
    // mutations build and break matches.
    const auto one_pass = root / "fuzz_one_pass";
    for (const std::uint8_t start_low : {std::uint8_t{0}, std::uint8_t{16}, std::uint8_t{200}}) {
        ByteString seed{0xFF, 0xFF, 0x3F, start_low, 0};
        const ByteString body = with_every_original(Container::vpm).build();
        seed.insert(seed.end(), body.begin() + 4096, body.end());
        write(one_pass, "every-original-from-" + std::to_string(start_low), seed);
    }
    std::string dictionary;
    for (const PatchOption& option : patch_catalogue()) {
        for (const ByteString& pattern : patterns_of(option)) {
            dictionary += '"';
            for (const std::uint8_t b : pattern) {
                char escaped[5];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
                dictionary += escaped;
            }
            dictionary += "\"\n";
        }
    }
    // The marks the probe looks for, which the engine compares with memcmp.
    dictionary += "\"DSKIMG\"\n\"DLLIMG  BIN\"\n";
    std::filesystem::create_directories(root);
    for (const char* fuzzer : {"fuzz_one_pass", "fuzz_patch_run"}) {
        testing::write_file(root / (std::string(fuzzer) + ".dict"), ascii_bytes(dictionary));
    }

    // A journal's bytes between its magic and its checksum, as the fuzzer takes them.
    SaveJournal journal;
    journal.save.file_path = "/media/GARMIN/Voice/voice.vpm";
    journal.identity = {1, 2, 1000, 4};
    journal.save.ranges = {{100, {1, 2}, {3, 4}}, {900, {5}, {6}}};
    journal.save.before = digest_of(ByteString(1000, 7));
    journal.save.options = {{1, "Change \"St\" to \"Street\""}};
    journal.save.token = 0x1234;
    const ByteString encoded = encode_journal(journal);
    const ByteString body(encoded.begin() + 8, encoded.end() - 8);
    write(root / "fuzz_journal", "two-ranges", body);

    // Recovery: flags, ranges (offset, length, new bytes there or not), then the file.
    const auto recovery = root / "fuzz_recovery";
    const ByteString file = small_voice(Container::vpm).build();
    for (const int flags : {0x01, 0x03, 0x00, 0x02, 0x09, 0x13, 0x12}) {
        ByteString seed{static_cast<std::uint8_t>(flags), 3, 0x00, 0x21, 8, 1, 0x40, 0x21, 16, 0, 0x00, 0x30, 31, 1};
        seed.insert(seed.end(), file.begin(), file.end());
        write(recovery, "three-ranges-" + std::to_string(flags), seed);
    }
    ByteString raw{0x15, 0};
    raw.insert(raw.end(), body.begin(), body.end());
    write(recovery, "raw-journal", raw);
    return 0;
}
