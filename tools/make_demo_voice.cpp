// Writes a synthetic voice file that holds every original run of the patch
// catalogue behind a disk-image header, so the program can be tried without a
// real voice. Usage: make-demo-voice [--rgn] [--size MIB] [--table-like] FILE
// (--size makes a large voice with the runs near its end; --table-like fills
// it with an abbreviation table's look instead of lower-case words).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/disk_image_builder.h"
#include "tests/support/test_files.h"

int main(int argc, char** argv) {
    using namespace tarnwick;
    bool rgn = false;
    long long mib = 0;
    auto filler = testing::Filler::text_like;
    const char* out = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rgn") == 0) {
            rgn = true;
        } else if (std::strcmp(argv[i], "--table-like") == 0) {
            filler = testing::Filler::table_like;
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            mib = std::atoll(argv[++i]);
        } else {
            out = argv[i];
        }
    }
    if (out == nullptr || mib < 0 || mib > 2047) {
        std::fprintf(stderr, "usage: %s [--rgn] [--size MIB] [--table-like] FILE\n", argv[0]);
        return 2;
    }

    try {
        testing::write_file(out, testing::demo_voice(rgn ? testing::Container::rgn : testing::Container::vpm,
                                                     mib * 1024 * 1024, filler));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("Wrote %s: a demo voice with every abbreviation run the options look for.\n", out);
    return 0;
}
