#ifndef _WIN32
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "engine/user_messages.h"
#include "engine/voice_image.h"
#ifndef _WIN32
#include "tests/support/child_process.h"
#endif
#include "tests/support/faulty_calls.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

using testing::FaultyCalls;
using testing::read_file;
using testing::TempDir;
#ifndef _WIN32
using testing::in_child;
using testing::running_as_root;
#endif
using testing::write_file;

ByteString counting_bytes(std::size_t n, std::uint8_t from = 0) { return testing::numbered_bytes(n, from); }

// A voice file on disk, loaded, with a journal folder of its own.
struct LoadedImage {
    TempDir dir;
    std::filesystem::path path;
    std::filesystem::path journals = dir / "journals";
    ByteString bytes = counting_bytes(300);
    VoiceImage image;

    explicit LoadedImage(const std::string& name = "voice.vpm") : path(dir / name) {
        write_file(path, bytes);
        EXPECT_TRUE(image.load_image(path, journals, system_file_calls()).ok());
    }

    // Changes two bytes at 10 and one at 299 and saves them.
    SaveResult patch_and_save(FileSystemCalls& calls = system_file_calls()) {
        EditLog edits(image);
        image.put_str(10, ByteString{0xAB, 0xCD});
        image.put_str(299, ByteString{0xEE});
        SaveResult saved = image.save_image(edits.changed_ranges(), journals, calls);
        if (!saved.ok()) edits.undo();
        return saved;
    }

    ByteString patched() const {
        ByteString b = bytes;
        b[10] = 0xAB;
        b[11] = 0xCD;
        b[299] = 0xEE;
        return b;
    }

    void expect_unchanged() const {
        EXPECT_EQ(ByteString(image.file_buf().begin(), image.file_buf().end()), bytes);
        EXPECT_EQ(image.file_path(), path);
    }
};

// Reads made from several threads at once, one of which fails or falls short.
struct Broken final : FaultyCalls {
    std::int64_t ends_at = -1;   // a read that takes in this byte ends before it, as at the file's end
    std::int64_t fails_at = -1;  // a read that takes in this byte fails
    bool reads_may_overlap() const override { return true; }
    std::error_code read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                            std::size_t& got) override {
        const auto end = offset + static_cast<std::int64_t>(size);
        if (fails_at >= offset && fails_at < end) return std::make_error_code(std::errc::io_error);
        if (ends_at >= offset && ends_at < end) size = static_cast<std::size_t>(ends_at - offset);
        return system_file_calls().read_at(handle, offset, data, size, got);
    }
};

// Every size, small ones from the heap and large ones (8 MiB and more) in
// memory of their own, one after another into the same image.
TEST(LoadImage, ReadsTheWholeFile) {
    TempDir dir;
    VoiceImage image;
    for (const std::size_t size : {std::size_t{5000}, std::size_t{9} << 20 | 3, std::size_t{0},
                                   (std::size_t{8} << 20) - 1, std::size_t{8} << 20, (std::size_t{21} << 20) + 5,
                                   std::size_t{5000}}) {
        SCOPED_TRACE(size);
        ByteString bytes(size);  // no period, so a piece read to the wrong place shows
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
        const auto path = dir / ("voice-" + std::to_string(size) + ".vpm");
        write_file(path, bytes);
        ASSERT_TRUE(image.load_image(path, dir / "j", system_file_calls()).ok());
        EXPECT_EQ(image.file_len(), static_cast<std::int32_t>(size));
        EXPECT_TRUE(std::equal(image.file_buf().begin(), image.file_buf().end(), bytes.begin(), bytes.end()));
        EXPECT_EQ(image.file_path(), path);
    }
}

// A large file is read by several threads at once; a read that fails or
// falls short in one of its blocks gives the reason a read from the start would.
TEST(LoadImage, AReadInBlocksFailsAsOneReadWould) {
    struct Case {
        std::int64_t ends_at, fails_at;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {(9 << 20) + 11, -1, "only 9437195 of its 20971523 bytes could be read"},
        {8 << 20, -1, "only 8388608 of its 20971523 bytes could be read"},
        {-1, 13 << 20, "Input/output error"},
        {(2 << 20) + 1, 17 << 20, "only 2097153 of its 20971523 bytes could be read"},
    };
    LoadedImage loaded;
    write_file(loaded.dir / "large.vpm", counting_bytes((20 << 20) + 3, 3));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        Broken calls;
        calls.ends_at = c.ends_at;
        calls.fails_at = c.fails_at;
        const LoadResult result = loaded.image.load_image(loaded.dir / "large.vpm", loaded.journals, calls);
        EXPECT_EQ(messages::reason_text(result.problem), c.reason);
        loaded.expect_unchanged();
    }
}

TEST(LoadImage, RefusesWhatItCannotLoadAndKeepsThePreviousImage) {
    LoadedImage loaded;
    const auto& dir = loaded.dir;
    std::filesystem::create_directory(dir / "folder");
    {
        // Sparse: 2^31 bytes on paper, nothing on disk.
        testing::make_sparse_file(dir / "huge.vpm", std::uint64_t{1} << 31);
    }

    struct Case {
        std::filesystem::path path;
        std::string reason;
    };
    std::vector<Case> cases = {
        {dir / "missing.vpm", "No such file or directory"},
        {dir / "folder", "it is a folder, not a file"},
        {dir / "huge.vpm", "it is larger than 2,147,483,647 bytes"},
    };
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    cases.push_back({dir / "fifo", "it is not a regular file"});
    cases.push_back({"/dev/zero", "it is not a regular file"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        const LoadResult result = loaded.image.load_image(c.path, loaded.journals, system_file_calls());
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(messages::reason_text(result.problem), c.reason);
        loaded.expect_unchanged();
    }

    FaultyCalls short_reads;
    short_reads.read_budget = 60;
    const LoadResult result = loaded.image.load_image(dir / "huge.vpm", loaded.journals, short_reads);
    EXPECT_FALSE(result.ok());
    loaded.expect_unchanged();
    write_file(dir / "other.vpm", counting_bytes(100, 7));
    EXPECT_EQ(messages::reason_text(loaded.image.load_image(dir / "other.vpm", loaded.journals, short_reads).problem),
              "only 60 of its 100 bytes could be read");
    loaded.expect_unchanged();
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(_WIN32)
TEST(LoadImage, RefusesAFileLargerThanMemoryWithAReason) {
    TempDir dir;
    testing::make_sparse_file(dir / "big.vpm", std::uint64_t{1500} << 20);
    const auto answer = in_child([&] {
        constexpr rlim_t kCap = rlim_t{512} << 20;
        const struct rlimit cap {kCap, kCap};
        ::setrlimit(RLIMIT_AS, &cap);
        VoiceImage image;
        return messages::reason_text(image.load_image(dir / "big.vpm", dir / "j", system_file_calls()).problem);
    });
    EXPECT_EQ(answer, "there is not enough memory to hold its 1572864000 bytes");
}
#endif

// How the file is changed, or who saves it, between the load and the save.
struct Refusal {
    std::string name;
    std::function<void(const LoadedImage&)> meanwhile;
    std::string reason;
    std::function<bool(const LoadedImage&)> in_child_first;  // false: cannot be tried here
};

#ifndef _WIN32
bool become_nobody() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
           ::setresuid(65534, 65534, 65534) == 0;
}

bool mount_read_only(const std::filesystem::path& folder) {
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}
#endif

void mark_read_only(const std::filesystem::path& path) {
    using std::filesystem::perms;
    std::filesystem::permissions(path, perms::owner_write | perms::group_write | perms::others_write,
                                 std::filesystem::perm_options::remove);
}

TEST(SaveImage, RefusesAFileThatIsNoLongerTheOneOpenedAndLeavesItUntouched) {
    const std::string changed{"it was changed by another program after it was opened; open it again"};
    const std::vector<Refusal> refusals = {
        {"same size and restored time, other bytes",
         [](const LoadedImage& l) {
             const auto before = std::filesystem::last_write_time(l.path);
             ByteString other = l.bytes;
             other[11] ^= 0xFF;
             write_file(l.path, other);
             std::filesystem::last_write_time(l.path, before);
         },
         changed, {}},
        {"grown", [](const LoadedImage& l) { write_file(l.path, counting_bytes(301)); }, changed, {}},
        {"replaced by an identical copy",
         [](const LoadedImage& l) {
             write_file(l.dir / "copy", l.bytes);
             std::filesystem::rename(l.dir / "copy", l.path);
         },
         changed, {}},
        {"deleted", [](const LoadedImage& l) { std::filesystem::remove(l.path); },
         std::string("it was moved or deleted after it was opened"), {}},
        {"became a folder",
         [](const LoadedImage& l) {
             std::filesystem::remove(l.path);
             std::filesystem::create_directory(l.path);
         },
         std::string("it is a folder, not a file"), {}},
        {"marked read-only", [](const LoadedImage& l) { mark_read_only(l.path); },
         std::string("you may not write to it (it is read-only, or it belongs to someone else)"), {}},
#ifndef _WIN32
        {"read-only to an unprivileged user",
         [](const LoadedImage& l) { ::chmod(l.path.c_str(), 0644); },
         std::string("you may not write to it (it is read-only, or it belongs to someone else)"), [](const LoadedImage&) { return become_nobody(); }},
        {"on a read-only bind mount", {}, std::string("the disk it is on is read-only"),
         [](const LoadedImage& l) { return mount_read_only(l.dir.path()); }},
#endif
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        LoadedImage loaded;
        if (r.meanwhile) r.meanwhile(loaded);
        const bool regular = std::filesystem::is_regular_file(loaded.path);
        const ByteString on_disk = regular ? read_file(loaded.path) : ByteString{};
        std::string reason;
#ifndef _WIN32
        if (r.in_child_first) {
            if (!running_as_root()) {
                std::printf("[  SKIPPED ] %s: needs root to change user or mount\n", r.name.c_str());
                continue;
            }
            const auto answer = in_child([&] {
                if (!r.in_child_first(loaded)) return std::string("cannot be tried here");
                return messages::reason_text(loaded.patch_and_save().problem);
            });
            ASSERT_TRUE(answer.has_value());
            if (*answer == "cannot be tried here") {
                std::printf("[  SKIPPED ] %s: this sandbox does not allow it\n", r.name.c_str());
                continue;
            }
            reason = *answer;
        } else
#endif
        {
            const SaveResult saved = loaded.patch_and_save();
            EXPECT_EQ(saved.status, SaveStatus::refused);
            reason = messages::reason_text(saved.problem);
            loaded.expect_unchanged();
        }
        EXPECT_EQ(reason, r.reason);
        if (regular) {
            EXPECT_EQ(read_file(loaded.path), on_disk);
        }
        EXPECT_FALSE(std::filesystem::exists(loaded.journals) && !std::filesystem::is_empty(loaded.journals));
    }
}

// A large file is checked in blocks, read by several threads at once: a
// byte changed anywhere, next to a changed range or inside the old bytes of
// one that runs across two blocks, is found; so is a block that cannot be
// read, unless a block before it has changed.
TEST(SaveImage, ALargeFileIsCheckedInBlocksAsOneReadWould) {
    constexpr std::int64_t kMiB = 1 << 20;
    const std::string changed{"it was changed by another program after it was opened; open it again"};
    struct Case {
        std::string name;
        std::vector<std::int64_t> flipped;  // bytes changed on disk after the open
        std::int64_t fails_at;
        std::string reason;  // empty: saved
    };
    const std::vector<Case> cases = {
        {"nothing else changed", {}, -1, ""},
        {"a byte in the third block", {9 * kMiB + 1}, -1, changed},
        {"an old byte of the range across two blocks", {4 * kMiB - 1}, -1, changed},
        {"the byte after that range", {4 * kMiB + 3}, -1, changed},
        {"the last byte", {13 * kMiB + 6}, -1, changed},
        {"an unreadable last block", {}, 12 * kMiB + 5, "its bytes could not be read back to check them"},
        {"a changed byte before an unreadable block", {5 * kMiB}, 12 * kMiB + 5, changed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadedImage loaded;
        ByteString bytes = counting_bytes(13 * kMiB + 7, 5);
        write_file(loaded.path, bytes);
        ASSERT_TRUE(loaded.image.load_image(loaded.path, loaded.journals, system_file_calls()).ok());
        EditLog edits(loaded.image);
        loaded.image.put_str(static_cast<std::int32_t>(4 * kMiB - 2), ByteString{1, 2, 3, 4, 5});
        loaded.image.put_str(static_cast<std::int32_t>(13 * kMiB), ByteString{9});
        ByteString on_disk = bytes;
        for (const std::int64_t at : c.flipped) on_disk[static_cast<std::size_t>(at)] ^= 0x5A;
        if (!c.flipped.empty()) {
            const auto time = std::filesystem::last_write_time(loaded.path);
            write_file(loaded.path, on_disk);
            std::filesystem::last_write_time(loaded.path, time);
        }
        Broken calls;
        calls.fails_at = c.fails_at;
        const SaveResult saved = loaded.image.save_image(edits.changed_ranges(), loaded.journals, calls);
        EXPECT_EQ(messages::reason_text(saved.problem), c.reason);
        if (c.reason.empty()) {
            EXPECT_TRUE(saved.ok());
            EXPECT_EQ(read_file(loaded.path), ByteString(loaded.image.file_buf().begin(), loaded.image.file_buf().end()));
        } else {
            EXPECT_EQ(read_file(loaded.path), on_disk);
        }
    }
}

TEST(SaveImage, WritesInPlaceAndKeepsWhatTheFileIs) {
    // A hard link sees the change; owner, attributes, mode and links stay.
    {
        LoadedImage loaded;
        std::filesystem::create_hard_link(loaded.path, loaded.dir / "other-name.vpm");
#ifndef _WIN32
        ASSERT_EQ(::setxattr(loaded.path.c_str(), "user.origin", "device", 6, 0), 0);
        ASSERT_EQ(::chmod(loaded.path.c_str(), 0640), 0);
        if (running_as_root()) {
            ASSERT_EQ(::chown(loaded.path.c_str(), 1234, 5678), 0);
        }
#endif
        ASSERT_TRUE(loaded.patch_and_save().ok());
        EXPECT_EQ(read_file(loaded.dir / "other-name.vpm"), loaded.patched());
#ifndef _WIN32  // the Windows standard library does not count links
        EXPECT_EQ(std::filesystem::hard_link_count(loaded.path), 2u);
        char value[16] = {};
        EXPECT_EQ(::getxattr(loaded.path.c_str(), "user.origin", value, sizeof value), 6);
        EXPECT_STREQ(value, "device");
        struct stat st {};
        ::stat(loaded.path.c_str(), &st);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        if (running_as_root()) {
            EXPECT_EQ(st.st_uid, 1234u);
        }
#endif
        EXPECT_TRUE(std::filesystem::is_empty(loaded.journals));
    }
    // Names of any length the file system takes, in any script.
    for (const std::string& name : {std::string(240, 'v'), std::string(" Voix française – Amélie .vpm")}) {
        LoadedImage loaded(name);
        ASSERT_TRUE(loaded.patch_and_save().ok()) << name;
        EXPECT_EQ(read_file(loaded.path), loaded.patched());
        const std::vector<std::string> entries = loaded.dir.entries();
        EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()),
                  (std::set<std::string>{name, "journals", "history"}));
    }
}

TEST(SaveImage, FollowsASymbolicLinkAndKeepsIt) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows that a user rarely has";
#endif
    TempDir dir;
    std::filesystem::create_directory(dir / "real");
    write_file(dir / "real" / "voice.vpm", counting_bytes(64));
    std::filesystem::create_symlink("real/voice.vpm", dir / "link.vpm");
    VoiceImage image;
    ASSERT_TRUE(image.load_image(dir / "link.vpm", dir / "j", system_file_calls()).ok());
    EditLog edits(image);
    image.put_str(1, ByteString{0xFF});
    ASSERT_TRUE(image.save_image(edits.changed_ranges(), dir / "j", system_file_calls()).ok());
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.vpm"));
    EXPECT_EQ(read_file(dir / "real" / "voice.vpm")[1], 0xFF);
}

#ifndef _WIN32
TEST(SaveImage, AWritableFileInAFolderTheUserMayNotWriteSaves) {
    if (!running_as_root()) GTEST_SKIP() << "needs root to change user";
    LoadedImage loaded;
    ::chmod(loaded.path.c_str(), 0666);
    // Its journals and history go to a folder of its own, as under its home.
    std::filesystem::create_directory(loaded.dir / "nobody-data");
    ASSERT_EQ(::chown((loaded.dir / "nobody-data").c_str(), 65534, 65534), 0);
    ::chmod((loaded.dir / "nobody-data").c_str(), 0700);
    loaded.journals = loaded.dir / "nobody-data" / "journals";
    const auto answer = in_child([&] {
        if (!become_nobody()) return std::string("cannot change user");
        return loaded.patch_and_save().ok() ? std::string("saved") : messages::reason_text(loaded.patch_and_save().problem);
    });
    EXPECT_EQ(answer, "saved");
    EXPECT_EQ(read_file(loaded.path), loaded.patched());
}

#endif

TEST(SaveImage, ShortWritesAndASecondSaveAfterTheFirst) {
    LoadedImage loaded;
    FaultyCalls calls;
    calls.max_write = 1;
    ASSERT_TRUE(loaded.patch_and_save(calls).ok());
    EXPECT_EQ(read_file(loaded.path), loaded.patched());
    // The identity kept is the file's new one, so the next save is not refused.
    EditLog edits(loaded.image);
    loaded.image.put_str(0, ByteString{0x42});
    ASSERT_TRUE(loaded.image.save_image(edits.changed_ranges(), loaded.journals, system_file_calls()).ok());
    EXPECT_EQ(read_file(loaded.path)[0], 0x42);
}

TEST(EditLog, MergesOverlappingWritesWithTheBytesBeforeTheFirst) {
    VoiceImage image;
    image.assign(counting_bytes(40));
    EditLog edits(image);
    image.put_str(10, ByteString{0xA0, 0xA1, 0xA2});
    image.put_str(11, ByteString{0xB1, 0xB2, 0xB3});  // over the first write
    image.put_str(20, ByteString{20, 21});            // the bytes it already held
    image.put_str(30, ByteString{0xC0});
    image.put_str(14, ByteString{0xD4});  // adjoins: one range
    const std::vector<ChangedRange> expected = {
        {10, {10, 11, 12, 13, 14}, {0xA0, 0xB1, 0xB2, 0xB3, 0xD4}},
        {30, {30}, {0xC0}},
    };
    EXPECT_EQ(edits.changed_ranges(), expected);
    edits.undo();
    EXPECT_EQ(ByteString(image.file_buf().begin(), image.file_buf().end()), counting_bytes(40));
}

}  // namespace
}  // namespace tarnwick
