#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <set>

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

ByteString pattern_bytes(std::size_t n, std::uint8_t seed) { return testing::numbered_bytes(n, seed, 7); }

// A voice file on disk and an image of it with a few bytes changed.
struct SavedVoice {
    TempDir dir;
    std::filesystem::path path = dir / "voice.vpm";
    ByteString original = pattern_bytes(20000, 3);
    VoiceImage image;

    SavedVoice() {
        write_file(path, original);
        EXPECT_TRUE(image.load_image(path).ok);
        image.put_str(12345, ByteString{0xDE, 0xAD});
    }
    ByteString image_bytes() const { return ByteString(image.file_buf().begin(), image.file_buf().end()); }
};

TEST(SaveFaults, EveryFailingCallLeavesTheOriginalIntact) {
    std::set<std::string> failed_kinds;
    for (int n = 1;; ++n) {
        SCOPED_TRACE("failing call " + std::to_string(n));
        ASSERT_LT(n, 100) << "the save never succeeded";
        SavedVoice voice;
        FaultyCalls calls;
        calls.fail_call = n;
        calls.max_write = 4096;  // five writes for this image
        const FileResult result = voice.image.save_image(calls);
        const std::string failed = calls.failed;
        if (result.ok) {
            // Only the folder flush may fail after the rename; the file already holds the image.
            EXPECT_TRUE(failed.empty() || failed == "flush_folder") << failed;
            EXPECT_EQ(read_file(voice.path), voice.image_bytes());
            EXPECT_EQ(voice.dir.entries(), std::vector<std::string>{"voice.vpm"});
            if (failed.empty()) break;
            continue;
        }
        failed_kinds.insert(failed);
        EXPECT_EQ(result.reason, "Input/output error");
        EXPECT_EQ(read_file(voice.path), voice.original);
        EXPECT_EQ(voice.dir.entries(), std::vector<std::string>{"voice.vpm"});
    }
    EXPECT_EQ(failed_kinds, (std::set<std::string>{"read_link", "query", "create", "write", "set_permissions",
                                                   "flush", "close", "rename"}));
}

// Runs a save in a child process whose file-size limit is `limit` bytes and
// returns what the save reported.
FileResult save_with_size_limit(const VoiceImage& image, rlim_t limit) {
    int pipe_fds[2];
    EXPECT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit cap {limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &cap);
        const FileResult result = image.save_image();
        const std::string report = (result.ok ? "1" : "0") + result.reason;
        const ssize_t ignored = ::write(pipe_fds[1], report.data(), report.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string report;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_FALSE(report.empty());
    return report.starts_with("1") ? FileResult::success() : FileResult::failure(report.substr(1));
}

TEST(SaveFaults, AFullFileSystemShortWriteThenEfbigKeepsTheOriginal) {
    SavedVoice voice;
    const FileResult result = save_with_size_limit(voice.image, 10000);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.reason, "File too large");
    EXPECT_EQ(read_file(voice.path), voice.original);
    EXPECT_EQ(voice.dir.entries(), std::vector<std::string>{"voice.vpm"});

    EXPECT_TRUE(save_with_size_limit(voice.image, RLIM_INFINITY).ok);
    EXPECT_EQ(read_file(voice.path), voice.image_bytes());
}

TEST(SaveFaults, ADanglingLinkGetsItsTargetAndStaysALink) {
    TempDir dir;
    std::filesystem::create_symlink("target.vpm", dir / "link.vpm");
    VoiceImage image;
    image.assign(pattern_bytes(100, 1), dir / "link.vpm");
    ASSERT_TRUE(image.save_image().ok);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.vpm"));
    EXPECT_EQ(read_file(dir / "target.vpm"), pattern_bytes(100, 1));
}

TEST(SaveFaults, LinkLoopsAreRefused) {
    TempDir dir;
    std::filesystem::create_symlink("b.vpm", dir / "a.vpm");
    std::filesystem::create_symlink("a.vpm", dir / "b.vpm");
    VoiceImage image;
    image.assign(pattern_bytes(10, 1), dir / "a.vpm");
    const FileResult result = image.save_image();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.reason, "Too many levels of symbolic links");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "a.vpm"));
}

TEST(SaveFaults, NamesWithSpacesAndAccentsRoundTrip) {
    TempDir dir;
    const auto path = dir / " Voix française – Amélie .vpm";
    write_file(path, pattern_bytes(300, 9));
    VoiceImage image;
    ASSERT_TRUE(image.load_image(path).ok);
    image.put_str(0, ByteString{0});
    ASSERT_TRUE(image.save_image().ok);
    EXPECT_EQ(read_file(path), ByteString(image.file_buf().begin(), image.file_buf().end()));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{" Voix française – Amélie .vpm"});
}

}  // namespace
}  // namespace tarnwick
