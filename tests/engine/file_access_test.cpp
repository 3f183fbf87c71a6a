#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/voice_image.h"
#include "tests/support/faulty_calls.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

using testing::FaultyCalls;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

ByteString counting_bytes(std::size_t n, std::uint8_t from = 0) { return testing::numbered_bytes(n, from); }

unsigned permissions_of(const std::filesystem::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return static_cast<unsigned>(st.st_mode) & 07777u;
}

// A loaded image whose state the refusals below must leave alone.
struct LoadedImage {
    TempDir dir;
    std::filesystem::path path = dir / "voice.vpm";
    ByteString bytes = counting_bytes(300);
    VoiceImage image;

    LoadedImage() {
        write_file(path, bytes);
        EXPECT_TRUE(image.load_image(path).ok);
        image.set_layout(3, 4096);
    }

    void expect_unchanged() const {
        EXPECT_EQ(ByteString(image.file_buf().begin(), image.file_buf().end()), bytes);
        EXPECT_EQ(image.file_path(), path);
        EXPECT_EQ(image.block_exp(), 3);
        EXPECT_EQ(image.dllimg_start(), 4096);
    }
};

TEST(LoadImage, ReadsTheWholeFile) {
    TempDir dir;
    const ByteString bytes = counting_bytes(5000);
    write_file(dir / "a.vpm", bytes);
    write_file(dir / "empty.vpm", {});
    VoiceImage image;
    ASSERT_TRUE(image.load_image(dir / "a.vpm").ok);
    EXPECT_EQ(image.file_len(), 5000);
    EXPECT_EQ(ByteString(image.file_buf().begin(), image.file_buf().end()), bytes);
    EXPECT_EQ(image.file_path(), dir / "a.vpm");
    ASSERT_TRUE(image.load_image(dir / "empty.vpm").ok);
    EXPECT_EQ(image.file_len(), 0);
}

TEST(LoadImage, RefusesWhatItCannotLoadAndKeepsThePreviousImage) {
    LoadedImage loaded;
    const auto& dir = loaded.dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "folder");
    {
        // Sparse: 2^31 bytes on paper, nothing on disk.
        write_file(dir / "huge.vpm", {});
        std::filesystem::resize_file(dir / "huge.vpm", std::uintmax_t{1} << 31);
    }

    struct Case {
        std::filesystem::path path;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {dir / "missing.vpm", "No such file or directory"},
        {dir / "folder", "it is a folder, not a file"},
        {dir / "fifo", "it is not a regular file"},
        {"/dev/zero", "it is not a regular file"},
        {dir / "huge.vpm", "it is larger than 2,147,483,647 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        const FileResult result = loaded.image.load_image(c.path);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.reason, c.reason);
        loaded.expect_unchanged();
    }
}

TEST(LoadImage, RefusesAShortRead) {
    LoadedImage loaded;
    write_file(loaded.dir / "other.vpm", counting_bytes(100, 7));
    FaultyCalls calls;
    calls.read_budget = 60;
    const FileResult result = loaded.image.load_image(loaded.dir / "other.vpm", calls);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.reason, "only 60 of its 100 bytes could be read");
    loaded.expect_unchanged();
}

TEST(SaveImage, LeavesExactlyTheImageWhateverTheFileBecameMeanwhile) {
    for (const std::size_t on_disk : {std::size_t{150}, std::size_t{80}, std::size_t{100}, std::size_t{0}}) {
        SCOPED_TRACE(on_disk);
        TempDir dir;
        const auto path = dir / "voice.vpm";
        write_file(path, counting_bytes(100));
        VoiceImage image;
        ASSERT_TRUE(image.load_image(path).ok);
        ASSERT_TRUE(image.put_str(10, ByteString{0xAB, 0xCD}));
        write_file(path, counting_bytes(on_disk, 99));

        ASSERT_TRUE(image.save_image().ok);
        EXPECT_EQ(read_file(path), ByteString(image.file_buf().begin(), image.file_buf().end()));
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"voice.vpm"});
    }
}

TEST(SaveImage, RecreatesAFileRemovedMeanwhile) {
    TempDir dir;
    const auto path = dir / "voice.vpm";
    write_file(path, counting_bytes(64));
    VoiceImage image;
    ASSERT_TRUE(image.load_image(path).ok);
    std::filesystem::remove(path);
    ASSERT_TRUE(image.save_image().ok);
    EXPECT_EQ(read_file(path), counting_bytes(64));
}

TEST(SaveImage, FollowsASymbolicLinkAndKeepsIt) {
    TempDir dir;
    std::filesystem::create_directory(dir / "real");
    write_file(dir / "real" / "voice.vpm", counting_bytes(64));
    std::filesystem::create_symlink("real/voice.vpm", dir / "link.vpm");
    VoiceImage image;
    ASSERT_TRUE(image.load_image(dir / "link.vpm").ok);
    image.put_str(0, ByteString{0xFF});

    ASSERT_TRUE(image.save_image().ok);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.vpm"));
    EXPECT_EQ(read_file(dir / "real" / "voice.vpm")[0], 0xFF);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link.vpm", "real"}));
}

TEST(SaveImage, KeepsPermissionBitsWhateverTheUmask) {
    const mode_t old_mask = ::umask(077);
    for (const unsigned mode : {0640u, 0755u, 0600u}) {
        TempDir dir;
        const auto path = dir / "voice.vpm";
        write_file(path, counting_bytes(10));
        ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
        VoiceImage image;
        ASSERT_TRUE(image.load_image(path).ok);
        ASSERT_TRUE(image.save_image().ok);
        EXPECT_EQ(permissions_of(path), mode);
    }
    ::umask(old_mask);
}

TEST(SaveImage, HandlesShortWrites) {
    TempDir dir;
    const auto path = dir / "voice.vpm";
    write_file(path, counting_bytes(1000));
    VoiceImage image;
    ASSERT_TRUE(image.load_image(path).ok);
    image.put_str(999, ByteString{0});
    FaultyCalls calls;
    calls.max_write = 7;
    ASSERT_TRUE(image.save_image(calls).ok);
    EXPECT_EQ(read_file(path), ByteString(image.file_buf().begin(), image.file_buf().end()));
    EXPECT_GT(std::count(calls.calls.begin(), calls.calls.end(), "write"), 100);
}

TEST(SaveImage, RefusesAFolderAndAPathBelowAFile) {
    TempDir dir;
    const auto path = dir / "voice.vpm";
    write_file(path, counting_bytes(10));
    VoiceImage image;
    ASSERT_TRUE(image.load_image(path).ok);

    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    FileResult result = image.save_image();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.reason, "it is a folder, not a file");

    VoiceImage below_file;
    write_file(dir / "plain", counting_bytes(3));
    below_file.assign(counting_bytes(10), dir / "plain" / "voice.vpm");
    result = below_file.save_image();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.reason, "Not a directory");
    EXPECT_EQ(read_file(dir / "plain"), counting_bytes(3));
}

}  // namespace
}  // namespace tarnwick
