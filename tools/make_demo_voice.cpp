// Writes a synthetic voice file that holds every original run of the patch
// catalogue behind a disk-image header, so the program can be tried without a
// real voice.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "tools/voice_builder/disk_image_builder.h"

namespace {

constexpr const char* kUsage =
    "Usage: make-demo-voice [--rgn] [--size MIB] [--table-like | --phrase-like] FILE\n"
    "Writes FILE, a demo voice holding every abbreviation run the options look for.\n"
    "  --rgn          the container kind (.rgn) instead of a disk image (.vpm)\n"
    "  --size MIB     a voice of at least MIB mebibytes, the runs near its end\n"
    "  --table-like   filled with an abbreviation table's look instead of lower-case words\n"
    "  --phrase-like  filled with the table's own phrases, close to every run the options look for\n"
    "  --help         show this and write nothing\n";

int refuse(const std::string& why) {
    std::fprintf(stderr, "make-demo-voice: %s\n%s", why.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tarnwick;
    bool rgn = false;
    long long mib = 0;
    auto filler = voices::Filler::text_like;
    const char* out = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--rgn") {
            rgn = true;
        } else if (argument == "--table-like") {
            filler = voices::Filler::table_like;
        } else if (argument == "--phrase-like") {
            filler = voices::Filler::phrase_like;
        } else if (argument == "--size" && i + 1 < argc) {
            char* end = nullptr;
            mib = std::strtoll(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || mib < 0 || mib > 2047) {
                return refuse("--size takes a number of mebibytes from 0 to 2047");
            }
        } else if (argument.starts_with("-")) {
            // Never a file named like an option.
            return refuse("unknown option \"" + std::string(argument) + "\"");
        } else if (out != nullptr) {
            return refuse("name one file only");
        } else {
            out = argv[i];
        }
    }
    if (out == nullptr) return refuse("name the file to write");

    try {
        const ByteString voice = voices::demo_voice(rgn ? voices::Container::rgn : voices::Container::vpm,
                                                    mib * 1024 * 1024, filler);
        std::ofstream file(out, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(voice.data()), static_cast<std::streamsize>(voice.size()));
        if (!file.flush()) return refuse(std::string("cannot write ") + out);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make-demo-voice: %s\n", e.what());
        return 1;
    }
    std::printf("Wrote %s: a demo voice with every abbreviation run the options look for.\n", out);
    return 0;
}
