#include "tests/support/test_files.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarnwick::testing {

TempDir::TempDir() {
    std::random_device entropy;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Names of one length, so that what depends on a path's length (a
        // save journal) is the same from one folder to the next.
        char digits[16];
        std::snprintf(digits, sizeof digits, "%010u", static_cast<unsigned>(entropy()));
        auto candidate = base / ("tarnwick-test-" + std::string(digits));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::operator/(const std::string& name) const {
    return path_ / std::u8string(name.begin(), name.end());
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        const std::u8string name = entry.path().filename().u8string();
        names.emplace_back(name.begin(), name.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

ByteString numbered_bytes(std::size_t n, std::uint8_t from, std::uint8_t step) {
    ByteString bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(from + i * step);
    return bytes;
}

void write_file(const std::filesystem::path& path, ByteView bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void make_sparse_file(const std::filesystem::path& path, std::uint64_t size) {
    write_file(path, {});
#ifdef _WIN32
    // The C runtime's resize cannot always pass 2 GiB on Windows; the system call can.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    const bool sized = file != INVALID_HANDLE_VALUE && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) &&
                       SetEndOfFile(file);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!sized) throw std::runtime_error("cannot size " + path.string());
#else
    std::filesystem::resize_file(path, size);
#endif
}

ByteString read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return ByteString(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tarnwick::testing
