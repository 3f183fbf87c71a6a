#pragma once

#include <filesystem>
#include <string>

#include "engine/voice_image.h"

namespace tarnwick::testing {

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // `name` is UTF-8 on every system.
    std::filesystem::path operator/(const std::string& name) const;
    // Names of the entries in the folder, sorted, in UTF-8.
    std::vector<std::string> entries() const;

private:
    std::filesystem::path path_;
};

// `n` bytes counting up from `from` in steps of `step`, wrapping at 256.
ByteString numbered_bytes(std::size_t n, std::uint8_t from = 0, std::uint8_t step = 1);

void write_file(const std::filesystem::path& path, ByteView bytes);

// A file of `size` zero bytes that takes no room where the file system
// allows: length set without writing.
void make_sparse_file(const std::filesystem::path& path, std::uint64_t size);
ByteString read_file(const std::filesystem::path& path);

}  // namespace tarnwick::testing
