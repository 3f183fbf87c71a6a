// The save on the storage users really patch on: a FAT32 file system mounted
// through FUSE, as a navigation device shows up over USB, also when it is full.
#include <fcntl.h>
#include <spawn.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <thread>

#include <cstdio>
#include <regex>

#include <gtest/gtest.h>

#include "engine/patch_run.h"
#include "engine/undo_patch.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/faulty_calls.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

using testing::read_file;
using testing::RecordingWindow;
using testing::TempDir;
using testing::write_file;

struct Command {
    int status;
    std::string output;
};

Command run(const std::string& command) {
    Command result{-1, {}};
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
    result.status = ::pclose(pipe);
    return result;
}

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// Why FAT over FUSE cannot be tried here, or empty when it can.
std::string why_unavailable() {
    for (const char* tool : {"mkfs.fat", "fsck.fat", "fusefat", "fusermount"}) {
        if (run(std::string("command -v ") + tool).status != 0) return std::string(tool) + " is not installed";
    }
    const int fd = ::open("/dev/fuse", O_RDWR);
    if (fd < 0) return "/dev/fuse cannot be opened here";
    ::close(fd);
    return {};
}

// A FAT32 image file, mounted read-write through fusefat while it lives.
class FatDevice {
public:
    explicit FatDevice(const TempDir& dir) : image_(dir / "device.img"), mount_(dir / "GARMIN") {
        std::filesystem::create_directory(mount_);
        // 40,000 KiB is above the smallest FAT32 volume with 512-byte clusters.
        const Command made = run("mkfs.fat -F 32 -S 512 -s 1 -C " + quoted(image_) + " 40000");
        EXPECT_EQ(made.status, 0) << made.output;
    }
    ~FatDevice() { unmount(); }

    // fusefat stays in the foreground as our child: its last writes (the
    // clean-unmount mark among them) happen after fusermount returns, so an
    // unmount is over only when the child has exited.
    // Mounted again at `at`: the same device under another folder.
    bool mount_at(const std::filesystem::path& at) {
        std::filesystem::create_directories(at);
        mount_ = at;
        return mount();
    }
    bool mount() {
        const std::string image = image_.string(), mount_point = mount_.string();
        const char* argv[] = {"fusefat", "-f", "-o", "rw+", image.c_str(), mount_point.c_str(), nullptr};
        if (::posix_spawnp(&driver_, "fusefat", nullptr, nullptr, const_cast<char* const*>(argv), ::environ) != 0) {
            ADD_FAILURE() << "fusefat could not be started";
            return false;
        }
        constexpr long fuse_magic = 0x65735546;
        for (int tries = 0; tries < 1000; ++tries) {
            struct statfs fs {};
            if (::statfs(mount_point.c_str(), &fs) == 0 && fs.f_type == fuse_magic) {
                mounted_ = true;
                return true;
            }
            int status = 0;
            if (::waitpid(driver_, &status, WNOHANG) == driver_) {
                ADD_FAILURE() << "fusefat ended before mounting, status " << status;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "fusefat did not mount within 10 s";
        unmount();
        return false;
    }
    void unmount() {
        if (driver_ <= 0) return;
        if (mounted_) {
            const Command done = run("fusermount -u " + quoted(mount_));
            EXPECT_EQ(done.status, 0) << done.output;
        } else {
            ::kill(driver_, SIGTERM);
        }
        int status = 0;
        EXPECT_EQ(::waitpid(driver_, &status, 0), driver_);
        if (mounted_) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "fusefat status " << status;
        }
        driver_ = 0;
        mounted_ = false;
    }
    // fsck.fat in check-only mode: its verdict and its used/total clusters.
    Command check(long& used, long& total) const {
        const Command checked = run("fsck.fat -n " + quoted(image_));
        std::smatch m;
        if (std::regex_search(checked.output, m, std::regex(R"((\d+)/(\d+) clusters)"))) {
            used = std::stol(m[1]);
            total = std::stol(m[2]);
        }
        return checked;
    }
    const std::filesystem::path& root() const { return mount_; }

private:
    std::filesystem::path image_;
    std::filesystem::path mount_;
    pid_t driver_ = 0;
    bool mounted_ = false;
};

// Writes filler until the file system refuses another byte.
void fill_up(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const ByteString block(4096, 0x5A);
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    for (std::size_t size = 2048; size > 0; size /= 2) {
        while (::write(fd, block.data(), size) > 0) {
        }
    }
    ::fsync(fd);
    ::close(fd);
}

TEST(FatDevice, AFullPatchRunSavesExactlyAlsoOnAFullDisk) {
    if (const std::string why = why_unavailable(); !why.empty()) GTEST_SKIP() << why;
    for (const bool full : {false, true}) {
        SCOPED_TRACE(full ? "no cluster free" : "room to spare");
        TempDir dir;
        FatDevice device(dir);
        ASSERT_TRUE(device.mount());
        std::filesystem::create_directory(device.root() / "Voice");
        const auto voice = device.root() / "Voice" / "English voice (demo).vpm";
        const ByteString original = voices::demo_voice(voices::Container::vpm);
        write_file(voice, original);
        if (full) fill_up(device.root() / "filler.bin");
        device.unmount();
        long used = 0, total = -1;
        device.check(used, total);
        if (full) {
            EXPECT_EQ(used, total) << "the disk was not filled";
        }
        ASSERT_TRUE(device.mount());

        VoiceImage image;
        ASSERT_TRUE(image.load_image(voice, dir / "journals", system_file_calls()).ok());
        RecordingWindow window;
        window.enable_all();
        window.ticked.fill(true);
        ASSERT_EQ(run_patch(image, window, dir / "journals", system_file_calls()), RunOutcome::saved) << window.messages().back();
        const ByteString patched(image.file_buf().begin(), image.file_buf().end());
        EXPECT_NE(patched, original);
        EXPECT_EQ(read_file(voice), patched);
        EXPECT_TRUE(std::filesystem::is_empty(dir / "journals"));

        // What the device holds once it is unplugged and plugged in again.
        device.unmount();
        const Command checked = device.check(used, total);
        EXPECT_EQ(checked.status, 0) << checked.output;
        if (full) {
            EXPECT_EQ(used, total);
        }
        ASSERT_TRUE(device.mount());
        EXPECT_EQ(read_file(voice), patched);
    }
}

// A voice on the device, loaded, and a save of several options close together
// (several ranges share each 512-byte cluster).
struct DeviceVoice {
    std::filesystem::path path;
    std::filesystem::path journals;
    ByteString original = voices::demo_voice(voices::Container::vpm);
    ByteString patched;
    VoiceImage image;

    DeviceVoice(std::filesystem::path on_device, std::filesystem::path journal_folder)
        : path(std::move(on_device)), journals(std::move(journal_folder)) {
        std::filesystem::remove(path);  // the FAT driver takes no truncation
        write_file(path, original);
        patched = original;
        VoiceImage preview;
        preview.assign(original);
        RecordingWindow window;
        choose(window);
        RunDetails details;
        EXPECT_EQ(rehearse_patch(preview, window, details), RunOutcome::rehearsed);
        for (const ChangedRange& r : details.changes) std::copy(r.new_bytes.begin(), r.new_bytes.end(), patched.begin() + r.offset);
    }
    static void choose(RecordingWindow& window) {
        window.enable_all();
        window.tick({1, 3, 8, 15, 20});
    }
    RunOutcome save(FileSystemCalls& calls) {
        EXPECT_TRUE(image.load_image(path, journals, system_file_calls()).ok());
        RecordingWindow window;
        choose(window);
        return run_patch(image, window, journals, calls);
    }
};

TEST(FatDevice, EveryCrashOfASaveLeavesBytesAnUndoTakesBackAndACleanFileSystem) {
    if (const std::string why = why_unavailable(); !why.empty()) GTEST_SKIP() << why;
    TempDir dir;
    FatDevice device(dir);
    ASSERT_TRUE(device.mount());
    int half_way = 0;
    for (int n = 1;; ++n) {
        SCOPED_TRACE("crash at call " + std::to_string(n));
        ASSERT_LT(n, 300) << "the save never completed";
        // A history of its own for each crash, so that each save makes the same calls.
        DeviceVoice voice(device.root() / "voice.vpm", dir / ("data" + std::to_string(n)) / "journals");
        testing::FaultyCalls calls;
        calls.crash_at = n;
        voice.save(calls);
        const ByteString at_crash = read_file(voice.path);
        VoiceImage reopened;
        const LoadResult opened = reopened.load_image(voice.path, voice.journals, system_file_calls());
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(read_file(voice.path), at_crash);
        if (std::filesystem::exists(voice.journals)) {
            for (const auto& journal : std::filesystem::directory_iterator(voice.journals)) {
                EXPECT_TRUE(journal.path().string().ends_with(".partial")) << journal.path();
            }
        }
        // Whatever the crash left, an undo the person asks for takes it back.
        if (at_crash != voice.original) {
            half_way += at_crash != voice.patched ? 1 : 0;
            EXPECT_EQ(undo_last_patch(reopened, voice.journals, system_file_calls(), false).outcome, UndoOutcome::undone);
        }
        const ByteString now = read_file(voice.path);
        EXPECT_EQ(now, voice.original);
        device.unmount();
        long used = 0, total = 0;
        const Command checked = device.check(used, total);
        EXPECT_EQ(checked.status, 0) << checked.output;
        ASSERT_TRUE(device.mount());
        EXPECT_EQ(read_file(voice.path), now);
        if (calls.failed.empty()) break;
    }
    EXPECT_GT(half_way, 5);

    // A write that the device does not keep as written is a failed save, put back.
    DeviceVoice voice(device.root() / "voice.vpm", dir / "journals");
    testing::FaultyCalls bending;
    bending.corrupt_write = 3;  // the journal's write, then the first two ranges
    RecordingWindow window;
    DeviceVoice::choose(window);
    ASSERT_TRUE(voice.image.load_image(voice.path, voice.journals, system_file_calls()).ok());
    EXPECT_EQ(run_patch(voice.image, window, voice.journals, bending), RunOutcome::save_failed);
    EXPECT_EQ(window.messages().back(),
              "Could not save the file \"" + voice.path.string() +
                  "\": the device did not hold the bytes written to it when they were read back. The file was left "
                  "unchanged.");
    EXPECT_EQ(read_file(voice.path), voice.original);
}

// The command line run on the device with its data under `data`.
Command cli(const std::filesystem::path& data, const std::string& arguments) {
    return run("XDG_DATA_HOME=" + quoted(data) + " " + quoted(TARNWICK_CLI) + " " + arguments);
}

// Plugged in again elsewhere, the FUSE FAT driver numbers files by the order
// they are looked up in, so a file can get the identity another had when its
// save was cut off. Nothing of that save is ever written into it: a finished
// save there stays, and the file really cut off can still be put back.
TEST(FatDevice, IdentitiesReusedAfterARemountNeverUndoAFinishedSave) {
    if (const std::string why = why_unavailable(); !why.empty()) GTEST_SKIP() << why;
    TempDir dir;
    FatDevice device(dir);
    ASSERT_TRUE(device.mount());
    const auto data = dir / "data";
    const auto journals = data / "tts-tarnwick" / "journals";
    const ByteString original = voices::demo_voice(voices::Container::vpm);
    // Option 1's ranges come first in the file, so a save of 1, 2, 3 and 5
    // cut off after them leaves what a finished save of option 1 leaves.
    const auto ranges_of = [&](std::initializer_list<int> options) {
        VoiceImage preview;
        preview.assign(original);
        RecordingWindow window;
        window.enable_all();
        window.tick(options);
        RunDetails details;
        EXPECT_EQ(rehearse_patch(preview, window, details), RunOutcome::rehearsed);
        return details.changes;
    };
    const std::vector<ChangedRange> first = ranges_of({1});
    const std::vector<ChangedRange> all = ranges_of({1, 2, 3, 5});
    ASSERT_TRUE(std::equal(first.begin(), first.end(), all.begin()));
    ByteString option_1 = original;
    for (const ChangedRange& r : first) std::copy(r.new_bytes.begin(), r.new_bytes.end(), option_1.begin() + r.offset);

    const auto v = device.root() / "v.vpm";
    const auto w = device.root() / "w.vpm";
    write_file(v, original);
    write_file(w, original);
    FileIdentity v_before;
    {
        ByteString ignored;
        ASSERT_FALSE(read_whole_file(v, kMaxImageLength, ignored, v_before, system_file_calls()));
    }
    ASSERT_EQ(cli(data, "apply --options 1 " + quoted(w)).status, 0);
    {
        VoiceImage image;
        ASSERT_TRUE(image.load_image(v, journals, system_file_calls()).ok());
        testing::FaultyCalls calls;
        int range_writes = 0;
        bool journal_written = false;
        calls.before_call = [&](const std::string& name) {
            journal_written = journal_written || name == "rename_in_folder";
            if (journal_written && name == "write" && ++range_writes == static_cast<int>(first.size()) + 1) {
                calls.crash_at = static_cast<int>(calls.calls.size()) + 1;
            }
        };
        RecordingWindow window;
        window.enable_all();
        window.tick({1, 2, 3, 5});
        ASSERT_EQ(run_patch(image, window, journals, calls), RunOutcome::save_failed);
    }
    ASSERT_EQ(read_file(v), option_1);

    // Remounted elsewhere, w looked up first.
    device.unmount();
    ASSERT_TRUE(device.mount_at(dir / "media" / "GARMIN1"));
    const auto w2 = device.root() / "w.vpm";
    const auto v2 = device.root() / "v.vpm";
    FileIdentity w_after;
    {
        ByteString ignored;
        ASSERT_FALSE(read_whole_file(w2, kMaxImageLength, ignored, w_after, system_file_calls()));
    }
    std::printf("[          ] after the remount w.vpm %s the identity v.vpm had\n",
                w_after.same_file(v_before) ? "has" : "does not have");
    const Command patched = cli(data, "apply --options 19 " + quoted(w2));
    EXPECT_EQ(patched.status, 0) << patched.output;
    EXPECT_EQ(read_file(w2), [&] {
        ByteString b = option_1;
        for (const ChangedRange& r : ranges_of({19})) std::copy(r.new_bytes.begin(), r.new_bytes.end(), b.begin() + r.offset);
        return b;
    }());
    // v.vpm holds exactly what a finished save of option 1 leaves, so it is
    // told as that save, and undo takes it back to the bytes its own
    // interrupted save began with.
    const Command recovered = cli(data, "undo " + quoted(v2));
    EXPECT_EQ(recovered.status, 0) << recovered.output;
    EXPECT_EQ(read_file(v2), original);
}

// Another run changes the voice after this one opened it. The FUSE FAT
// driver keeps the file's time and number through the write, so only the
// bytes, read again under the lock, tell; the save is refused, untouched.
TEST(FatDevice, ASaveOfAStaleViewIsRefused) {
    if (const std::string why = why_unavailable(); !why.empty()) GTEST_SKIP() << why;
    TempDir dir;
    FatDevice device(dir);
    ASSERT_TRUE(device.mount());
    DeviceVoice voice(device.root() / "voice.vpm", dir / "journals");
    ASSERT_TRUE(voice.image.load_image(voice.path, voice.journals, system_file_calls()).ok());
    FileSystemCalls& calls = system_file_calls();
    FileSystemCalls::Handle other{};
    FileSystemCalls::FileInfo before, after;
    ASSERT_FALSE(calls.open_for_update(voice.path, other, before));
    const ByteString changed{static_cast<std::uint8_t>(voice.original[30000] ^ 0x20)};
    ASSERT_FALSE(write_all_at(calls, other, 30000, changed));
    ASSERT_FALSE(calls.flush(other));
    ASSERT_FALSE(calls.describe(other, after));
    calls.close(other);
    const ByteString edited = read_file(voice.path);
    RecordingWindow window;
    DeviceVoice::choose(window);
    EXPECT_EQ(run_patch(voice.image, window, voice.journals, system_file_calls()), RunOutcome::save_failed);
    EXPECT_EQ(window.messages().back(), "Could not save the file \"" + voice.path.string() +
                                            "\": it was changed by another program after it was opened; open it again. The file was left "
                                            "unchanged.");
    EXPECT_EQ(read_file(voice.path), edited);
    std::printf("[          ] the driver %s the file's time on write\n",
                before.identity == after.identity ? "keeps" : "moves");
}

// The FUSE FAT driver misplaces a write that lies below one it took just
// before in the same cluster. Reading back past the cache finds what the
// device really holds, as a remount shows it, not what was written.
TEST(FatDevice, TheReadBackSeesWhatTheDeviceHolds) {
    if (const std::string why = why_unavailable(); !why.empty()) GTEST_SKIP() << why;
    TempDir dir;
    FatDevice device(dir);
    ASSERT_TRUE(device.mount());
    const auto file = device.root() / "voice.vpm";
    write_file(file, testing::numbered_bytes(20000, 0, 7));
    FileSystemCalls& calls = system_file_calls();
    FileSystemCalls::Handle handle{};
    FileSystemCalls::FileInfo info;
    ASSERT_FALSE(calls.open_for_update(file, handle, info));
    const ByteString high{'B', 'B', 'B', 'B'}, low{'A', 'A', 'A', 'A'};
    ASSERT_FALSE(write_all_at(calls, handle, 1000, high));
    ASSERT_FALSE(write_all_at(calls, handle, 600, low));  // the same 512-byte cluster, below
    ASSERT_FALSE(calls.flush(handle));
    ByteString seen(20000, 0);
    std::size_t got = 0;
    ASSERT_FALSE(read_all_uncached(calls, handle, 0, seen.data(), seen.size(), got));
    EXPECT_EQ(got, seen.size());
    calls.close(handle);
    // What a save's read-back would find wrong, and so report and put back.
    EXPECT_NE(ByteString(seen.begin() + 600, seen.begin() + 604), low);
    device.unmount();
    ASSERT_TRUE(device.mount());
    EXPECT_EQ(seen, read_file(file));
}

}  // namespace
}  // namespace tarnwick
