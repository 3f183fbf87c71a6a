#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/voice_image.h"

namespace tarnwick::voices {

enum class Container { vpm, rgn };

// What fills the data area: lower-case words (the default), or an
// abbreviation table's look, capitalised words and their short forms, many
// beginning as the catalogue's runs begin, so that a search meets near misses
// at every word.
// begin as the catalogue's runs begin, so that a search meets near misses
// at every word; or the table's own phrases (" Ct", " Court", " Tr" and the
// catalogue's other words, each between a space and zero bytes), as close to
// every run as can be without holding one.
enum class Filler { text_like, table_like, phrase_like };

// Builds voice files in memory the way real ones are laid out: a disk-image
// header ("DSKIMG", block-size exponents 9 and E2 at 0x61 and 0x62), a
// directory of 512-byte entries naming sub-files in 8+3 form with their block
// numbers, and a data area filled with text-like bytes (lower-case letters,
// blanks and zero runs, so no catalogue run or mark appears by chance) into
// which tests place byte runs at chosen file offsets.
class DiskImageBuilder {
public:
    DiskImageBuilder& container(Container kind);
    DiskImageBuilder& block_exp(std::uint8_t exponent);
    DiskImageBuilder& dllimg_first_block(std::uint16_t block);
    // Leaves "DLLIMG  BIN" out of the directory.
    DiskImageBuilder& without_dllimg();
    // The whole file's length; by default the data start plus 64 KiB.
    DiskImageBuilder& length(std::int64_t file_length);
    DiskImageBuilder& place(std::int64_t file_offset, ByteView bytes);
    DiskImageBuilder& place(std::int64_t file_offset, std::string_view ascii);
    DiskImageBuilder& filler(Filler kind);

    // Where the disk image starts in the file: 0, or 60 in a container.
    std::int64_t header_offset() const;
    // The file offset of the "DLLIMG  BIN" name in the directory.
    std::int64_t dllimg_name_offset() const;
    // first block * 512 * 2^E2: the data start the probe must compute.
    std::int64_t dllimg_data_start() const;

    ByteString build() const;

private:
    Container container_ = Container::vpm;
    Filler filler_ = Filler::text_like;
    std::uint8_t block_exp_ = 0;
    std::uint16_t dllimg_block_ = 16;
    bool with_dllimg_ = true;
    std::int64_t length_ = -1;
    std::vector<std::pair<std::int64_t, ByteString>> placed_;
};

// A voice holding every original run of the patch catalogue once, so that
// every option can be tried on it; at least `length` bytes long, the runs
// then near its end.
ByteString demo_voice(Container kind, std::int64_t length = 0, Filler filler = Filler::text_like);

// Text-like filler: lower-case words, blanks and runs of zero bytes.
void fill_text_like(std::uint8_t* data, std::size_t size, std::uint32_t seed = 1);

// Table-like filler: " Boulder", zero bytes, " Bldr", zero bytes, and so on;
// never a blank after a word, so no catalogue run appears by chance.
void fill_table_like(std::uint8_t* data, std::size_t size, std::uint32_t seed = 1);

// Phrase-like filler: the catalogue's own phrases in random order and
// padding, checked as they are laid so that no catalogue run appears whole.
void fill_phrase_like(std::uint8_t* data, std::size_t size, std::uint32_t seed = 1);

}  // namespace tarnwick::voices
