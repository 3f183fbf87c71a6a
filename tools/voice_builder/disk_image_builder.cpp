#include "tools/voice_builder/disk_image_builder.h"

#include <array>
#include <string_view>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "engine/patch_catalogue.h"

namespace tarnwick::voices {
namespace {

constexpr std::int64_t kContainerPrefix = 60;
constexpr std::size_t kDirectoryUnit = 2;  // the directory starts at 2 * 512
constexpr std::size_t kEntrySize = 512;
constexpr std::int64_t kDefaultDataLength = 64 * 1024;

void put_ascii(ByteString& out, std::size_t at, std::string_view text) {
    std::copy(text.begin(), text.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

void put_u16(ByteString& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_u32(ByteString& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct SubFile {
    std::string_view name8;
    std::string_view ext3;
    std::uint16_t first_block;
    std::uint16_t blocks;
};

// One directory entry, as writers of the format lay it out.
void put_entry(ByteString& out, std::size_t at, const SubFile& file, std::uint32_t size) {
    if (at + kEntrySize > out.size()) return;
    std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(at), kEntrySize, std::uint8_t{0});
    out[at] = 1;  // used
    put_ascii(out, at + 0x01, file.name8);
    put_ascii(out, at + 0x09, file.ext3);
    put_u32(out, at + 0x0C, size);
    for (std::size_t slot = 0; slot < 240; ++slot) {
        const bool used = slot < file.blocks;
        put_u16(out, at + 0x20 + 2 * slot,
                used ? static_cast<std::uint16_t>(file.first_block + slot) : std::uint16_t{0xFFFF});
    }
}

}  // namespace

void fill_text_like(std::uint8_t* data, std::size_t size, std::uint32_t seed) {
    // A 64 KiB pattern repeated keeps building gigabyte images fast.
    constexpr std::size_t kPattern = 64 * 1024;
    std::uint8_t pattern[kPattern];
    std::uint32_t state = seed * 2654435761u + 1;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    std::size_t i = 0;
    while (i < kPattern) {
        const std::uint32_t word = 2 + next() % 9;
        pattern[i++] = ' ';
        for (std::uint32_t k = 0; k < word && i < kPattern; ++k) {
            pattern[i++] = static_cast<std::uint8_t>('a' + next() % 26);
        }
        if (next() % 3 == 0) {
            const std::uint32_t zeros = 1 + next() % 6;
            for (std::uint32_t k = 0; k < zeros && i < kPattern; ++k) pattern[i++] = 0;
        }
    }
    for (std::size_t at = 0; at < size; at += kPattern) {
        std::memcpy(data + at, pattern, std::min(kPattern, size - at));
    }
}

void fill_table_like(std::uint8_t* data, std::size_t size, std::uint32_t seed) {
    // How the catalogue's runs begin, so that near misses are everywhere.
    static constexpr std::array<std::string_view, 36> kStems{
        "St", "Sta", "Bo", "Bou", "Dr", "Ro", "Rou", "Hi", "Hig", "Ba", "Ta", "As", "Ma", "Co", "Cou", "Na", "Ad", "La",
        "De", "Ex", "Tr", "Ov", "Am", "Br", "Pe", "Ci", "Oe", "We", "Fa", "Cl", "Bu", "Wa", "Ra", "Ag", "Ph", "Ln"};
    constexpr std::size_t kPattern = 64 * 1024;
    std::vector<std::uint8_t> pattern(kPattern);
    std::uint32_t state = seed * 2246822519u + 7;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    std::size_t i = 0;
    const auto put = [&](std::uint8_t b) {
        if (i < kPattern) pattern[i++] = b;
    };
    while (i < kPattern) {
        // A long form, then one or two short forms, each padded with zero bytes.
        for (int form = 0, forms = 2 + static_cast<int>(next() % 2); form < forms; ++form) {
            put(' ');
            for (const char c : kStems[next() % kStems.size()]) put(static_cast<std::uint8_t>(c));
            const std::uint32_t letters = form == 0 ? 2 + next() % 8 : next() % 3;
            for (std::uint32_t k = 0; k < letters; ++k) put(static_cast<std::uint8_t>('a' + next() % 26));
            for (std::uint32_t k = 0, zeros = 1 + next() % 5; k < zeros; ++k) put(0);
        }
    }
    for (std::size_t at = 0; at < size; at += kPattern) {
        std::memcpy(data + at, pattern.data(), std::min(kPattern, size - at));
    }
}

void fill_phrase_like(std::uint8_t* data, std::size_t size, std::uint32_t seed) {
    // The phrases: each run of the catalogue cut at every space that follows
    // a zero byte, without their zero bytes.
    std::vector<ByteString> phrases;
    std::vector<ByteString> runs;
    for (const PatchOption& option : patch_catalogue()) {
        for (ByteString& run : patterns_of(option)) {
            for (std::size_t from = 0; from < run.size();) {
                std::size_t to = from + 1;
                while (to < run.size() && !(run[to] == ' ' && run[to - 1] == 0)) ++to;
                ByteString phrase(run.begin() + static_cast<std::ptrdiff_t>(from), run.begin() + static_cast<std::ptrdiff_t>(to));
                while (!phrase.empty() && phrase.back() == 0) phrase.pop_back();
                phrases.push_back(std::move(phrase));
                from = to;
            }
            runs.push_back(std::move(run));
        }
    }
    std::sort(phrases.begin(), phrases.end());
    phrases.erase(std::unique(phrases.begin(), phrases.end()), phrases.end());
    std::size_t longest = 0;
    for (const ByteString& run : runs) longest = std::max(longest, run.size());

    constexpr std::size_t kPattern = 64 * 1024;
    ByteString pattern;
    pattern.reserve(kPattern + 64);
    std::uint32_t state = seed * 2654435761u + 11;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    // Whether a catalogue run now ends in the last `fresh` bytes.
    const auto holds_a_run = [&](std::size_t fresh) {
        const std::size_t from = pattern.size() > fresh + longest ? pattern.size() - fresh - longest : 0;
        for (const ByteString& run : runs) {
            const auto hit = std::search(pattern.begin() + static_cast<std::ptrdiff_t>(from), pattern.end(), run.begin(), run.end());
            if (hit != pattern.end()) return true;
        }
        return false;
    };
    while (pattern.size() < kPattern - 1) {
        for (int attempt = 0;; ++attempt) {
            const ByteString& phrase = phrases[next() % phrases.size()];
            const std::size_t zeros = 1 + next() % 6;
            pattern.insert(pattern.end(), phrase.begin(), phrase.end());
            pattern.insert(pattern.end(), zeros, std::uint8_t{0});
            if (!holds_a_run(phrase.size() + zeros)) break;
            pattern.resize(pattern.size() - phrase.size() - zeros);
            if (attempt > 1000) {  // every phrase would complete a run here: start afresh
                pattern.push_back(0xFF);
                break;
            }
        }
    }
    pattern.resize(kPattern - 1);
    // No run holds this byte, so none spans the seam where the pattern repeats.
    pattern.push_back(0xFF);
    for (std::size_t at = 0; at < size; at += kPattern) {
        std::memcpy(data + at, pattern.data(), std::min(kPattern, size - at));
    }
}

DiskImageBuilder& DiskImageBuilder::filler(Filler kind) {
    filler_ = kind;
    return *this;
}

DiskImageBuilder& DiskImageBuilder::container(Container kind) {
    container_ = kind;
    return *this;
}

DiskImageBuilder& DiskImageBuilder::block_exp(std::uint8_t exponent) {
    block_exp_ = exponent;
    return *this;
}

DiskImageBuilder& DiskImageBuilder::dllimg_first_block(std::uint16_t block) {
    dllimg_block_ = block;
    return *this;
}

DiskImageBuilder& DiskImageBuilder::without_dllimg() {
    with_dllimg_ = false;
    return *this;
}

DiskImageBuilder& DiskImageBuilder::length(std::int64_t file_length) {
    length_ = file_length;
    return *this;
}

DiskImageBuilder& DiskImageBuilder::place(std::int64_t file_offset, ByteView bytes) {
    placed_.emplace_back(file_offset, ByteString(bytes.begin(), bytes.end()));
    return *this;
}

DiskImageBuilder& DiskImageBuilder::place(std::int64_t file_offset, std::string_view ascii) {
    return place(file_offset, ascii_bytes(ascii));
}

std::int64_t DiskImageBuilder::header_offset() const {
    return container_ == Container::rgn ? kContainerPrefix : 0;
}

std::int64_t DiskImageBuilder::dllimg_name_offset() const {
    // Entry 0 covers header and directory, entry 1 another sub-file, entry 2 DLLIMG.
    return header_offset() + static_cast<std::int64_t>(kDirectoryUnit * 512 + 2 * kEntrySize + 1);
}

std::int64_t DiskImageBuilder::dllimg_data_start() const {
    if (dllimg_block_ == 0) return 0;
    if (block_exp_ >= 22) return -1;
    return std::int64_t{dllimg_block_} << (9 + block_exp_);
}

ByteString DiskImageBuilder::build() const {
    const std::int64_t start = std::max<std::int64_t>(dllimg_data_start(), 0);
    std::int64_t size = length_ >= 0 ? length_ : start + kDefaultDataLength;
    if (length_ < 0) {
        for (const auto& [at, bytes] : placed_) {
            size = std::max<std::int64_t>(size, at + static_cast<std::int64_t>(bytes.size()));
        }
    }
    ByteString out(static_cast<std::size_t>(size));
    switch (filler_) {
        case Filler::table_like: fill_table_like(out.data(), out.size()); break;
        case Filler::phrase_like: fill_phrase_like(out.data(), out.size()); break;
        case Filler::text_like: fill_text_like(out.data(), out.size()); break;
    }

    // The image is laid out in a scratch header region first, then cut to size,
    // so that short files carry exactly the leading bytes of a real one.
    const auto h = static_cast<std::size_t>(header_offset());
    ByteString head(h + kDirectoryUnit * 512 + 4 * kEntrySize, 0);
    if (h > 0) {
        put_ascii(head, 0, "TARNWICK-TEST-CONTAINER");
        put_u32(head, 24, static_cast<std::uint32_t>(size));
    }
    head[h + 0x0A] = 11;   // update month
    head[h + 0x0B] = 124;  // update year, 2024
    put_ascii(head, h + 0x10, "DSKIMG");
    head[h + 0x17] = 0x02;
    put_u16(head, h + 0x18, 32);   // sectors
    put_u16(head, h + 0x1A, 128);  // heads
    put_u16(head, h + 0x1C, 4);    // cylinders
    put_u16(head, h + 0x39, 2024);
    head[h + 0x3B] = 11;
    head[h + 0x3C] = 7;
    head[h + 0x40] = static_cast<std::uint8_t>(kDirectoryUnit);
    put_ascii(head, h + 0x41, "GARMIN");
    put_ascii(head, h + 0x49, "TTS test voice      ");
    head[h + 0x61] = 9;
    head[h + 0x62] = block_exp_;
    const std::int64_t block_size = block_exp_ < 40 ? (std::int64_t{512} << block_exp_) : 0;
    const std::int64_t blocks = block_size > 0 ? (size + block_size - 1) / block_size : 0xFFFF;
    put_u16(head, h + 0x63, static_cast<std::uint16_t>(std::min<std::int64_t>(blocks, 0xFFFF)));
    put_ascii(head, h + 0x65, "                              ");
    head[h + 0x1BF] = 0x01;  // partition entry: start head, system id, end
    head[h + 0x1C2] = 0x00;
    head[h + 0x1C3] = 0x7F;
    head[h + 0x1FE] = 0x55;
    head[h + 0x1FF] = 0xAA;

    const std::size_t directory = h + kDirectoryUnit * 512;
    put_entry(head, directory, {"        ", "   ", 0, 6}, 6 * 512);
    head[directory + 0x10] = 3;
    put_entry(head, directory + kEntrySize, {"LEXICON ", "DAT", 6, 3}, 3 * 512);
    if (with_dllimg_) {
        put_entry(head, directory + 2 * kEntrySize, {"DLLIMG  ", "BIN", dllimg_block_, 8}, 8 * 512);
    } else {
        put_entry(head, directory + 2 * kEntrySize, {"PHONEME ", "DAT", dllimg_block_, 8}, 8 * 512);
    }
    put_entry(head, directory + 3 * kEntrySize, {"VOICECFG", "INI", 9, 1}, 300);

    std::copy_n(head.begin(), std::min(head.size(), out.size()), out.begin());
    for (const auto& [at, bytes] : placed_) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const std::int64_t pos = at + static_cast<std::int64_t>(i);
            if (pos >= 0 && pos < size) out[static_cast<std::size_t>(pos)] = bytes[i];
        }
    }
    return out;
}

ByteString demo_voice(Container kind, std::int64_t length, Filler filler) {
    DiskImageBuilder builder;
    builder.container(kind).block_exp(1).dllimg_first_block(24).filler(filler);
    // In a large voice the runs sit near its end, as far as a search can go.
    std::int64_t at = std::max(builder.dllimg_data_start() + 512, length - 16 * 1024);
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
    return builder.length(std::max(at + 4096, length)).build();
}

}  // namespace tarnwick::voices
