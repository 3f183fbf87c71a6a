// Writes a synthetic voice file that holds every original run of the patch
// catalogue behind a disk-image header, so the program can be tried without a
// real voice. Usage: make-demo-voice [--rgn] FILE
#include <cstdio>
#include <cstring>
#include <set>

#include "engine/patch_catalogue.h"
#include "tests/support/disk_image_builder.h"
#include "tests/support/test_files.h"

int main(int argc, char** argv) {
    using namespace tarnwick;
    bool rgn = false;
    const char* out = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rgn") == 0) {
            rgn = true;
        } else {
            out = argv[i];
        }
    }
    if (out == nullptr) {
        std::fprintf(stderr, "usage: %s [--rgn] FILE\n", argv[0]);
        return 2;
    }

    testing::DiskImageBuilder builder;
    builder.container(rgn ? testing::Container::rgn : testing::Container::vpm).block_exp(1).dllimg_first_block(24);
    std::int64_t at = builder.dllimg_data_start() + 512;
    std::set<std::string_view> placed;
    for (const PatchOption& option : patch_catalogue()) {
        std::vector<const AbbrPatch*> patches{option.lead, option.fallback};
        patches.insert(patches.end(), option.follow_ups.begin(), option.follow_ups.end());
        for (const AbbrPatch* patch : patches) {
            if (patch == nullptr || !placed.insert(patch->original_hex).second) continue;
            builder.place(at, hex2str(patch->original_hex));
            at += 256;
        }
    }
    builder.length(at + 4096);
    try {
        testing::write_file(out, builder.build());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("Wrote %s: a demo voice with every abbreviation run the options look for.\n", out);
    return 0;
}
