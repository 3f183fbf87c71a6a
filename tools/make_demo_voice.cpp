// Writes a synthetic voice file that holds every original run of the patch
// catalogue behind a disk-image header, so the program can be tried without a
// real voice. Usage: make-demo-voice [--rgn] FILE
#include <cstdio>
#include <cstring>

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

    try {
        testing::write_file(out, testing::demo_voice(rgn ? testing::Container::rgn : testing::Container::vpm));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("Wrote %s: a demo voice with every abbreviation run the options look for.\n", out);
    return 0;
}
