// The command line as real processes: two saves of one file at once, and a
// look at a file whose save was interrupted.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <algorithm>
#include <functional>
#include <iterator>

#include <gtest/gtest.h>

#include "engine/open_voice.h"
#include "engine/patch_run.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/faulty_calls.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::string text_of(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};

// Starts the command line once per argument list, every process held at one
// barrier until all are started, then lets them go at once.
std::vector<Finished> run_together(const TempDir& dir, const std::vector<std::vector<std::string>>& runs) {
    int barrier[2];
    EXPECT_EQ(::pipe(barrier), 0);
    std::vector<pid_t> children;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::string out = (dir / ("out" + std::to_string(i))).string();
        const std::string err = (dir / ("err" + std::to_string(i))).string();
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(barrier[1]);
            char ignored;
            while (::read(barrier[0], &ignored, 1) > 0) {
            }
            ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            std::vector<char*> argv{const_cast<char*>(TARNWICK_CLI)};
            for (const std::string& argument : runs[i]) argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
            ::execv(TARNWICK_CLI, argv.data());
            ::_exit(127);
        }
        children.push_back(child);
    }
    ::close(barrier[0]);
    ::close(barrier[1]);  // every child goes now
    std::vector<Finished> finished;
    for (std::size_t i = 0; i < children.size(); ++i) {
        int status = 0;
        ::waitpid(children[i], &status, 0);
        finished.push_back({WIFEXITED(status) ? WEXITSTATUS(status) : -1, text_of(dir / ("out" + std::to_string(i))),
                            text_of(dir / ("err" + std::to_string(i)))});
    }
    return finished;
}

ByteString patched_with(const ByteString& voice, std::initializer_list<int> options) {
    VoiceImage image;
    image.assign(voice);
    testing::RecordingWindow window;
    window.enable_all();
    window.tick(options);
    RunDetails details;
    EXPECT_EQ(rehearse_patch(image, window, details), RunOutcome::rehearsed);
    for (const ChangedRange& range : details.changes) image.put_str(static_cast<std::int32_t>(range.offset), range.new_bytes);
    return ByteString(image.file_buf().begin(), image.file_buf().end());
}

ByteString patched_with_every_option(const ByteString& voice) {
    return patched_with(voice, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20});
}

// A save of `options` (every one where none are named) killed after
// `writes` writes into the file; with kAfterItsWrites, once every write is
// done and read back, before it recorded itself.
constexpr int kAfterItsWrites = -1;
RunOutcome interrupted_save(const std::filesystem::path& file, const std::filesystem::path& journals,
                            std::vector<int> options = {}, int writes = 1) {
    VoiceImage image;
    EXPECT_TRUE(image.load_image(file, journals, system_file_calls()).ok());
    testing::FaultyCalls calls;
    bool journal_written = false;
    int written = 0;
    calls.before_call = [&](const std::string& name) {
        journal_written = journal_written || name == "rename_in_folder";
        const bool now = writes == kAfterItsWrites ? journal_written && name == "create_in_folder"
                                                   : journal_written && name == "write" && ++written == writes + 1;
        if (now && calls.crash_at == 0) calls.crash_at = static_cast<int>(calls.calls.size()) + 1;
    };
    testing::RecordingWindow window;
    window.enable_all();
    if (options.empty()) window.ticked.fill(true);
    for (const int k : options) window.ticked[static_cast<std::size_t>(k)] = true;
    return run_patch(image, window, journals, calls);
}

const std::string kSaved = "File patched successfully! Copy the VPM voice file back to your GSP.\n";

TEST(CommandLineProcesses, TwoSavesOfOneFileAtOnceEndInTheCleanResultAndOneSuccess) {
    const ByteString voice = voices::demo_voice(voices::Container::vpm);
    const ByteString clean = patched_with_every_option(voice);
    int second_nothing = 0, second_refused = 0;
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir dir;
        const std::string file = (dir / "voice.vpm").string();
        write_file(file, voice);
        const std::vector<Finished> runs = run_together(dir, {{"apply", "--all", file}, {"apply", "--all", file}});
        EXPECT_EQ(read_file(file), clean);
        const int successes = (runs[0].status == 0) + (runs[1].status == 0);
        ASSERT_EQ(successes, 1) << runs[0].out << runs[0].err << runs[1].out << runs[1].err;
        const Finished& saved = runs[0].status == 0 ? runs[0] : runs[1];
        const Finished& other = runs[0].status == 0 ? runs[1] : runs[0];
        EXPECT_TRUE(saved.out.ends_with(kSaved)) << saved.out;
        if (other.status == 1) {
            ++second_nothing;
            EXPECT_TRUE(other.out.ends_with("Could not find any abbreviation to patch.\n")) << other.out;
        } else {
            ++second_refused;
            EXPECT_EQ(other.status, 2);
            const bool clear = other.err.find("another run of this program is saving it right now") != std::string::npos ||
                               other.err.find("it was changed by another program after it was opened") != std::string::npos;
            EXPECT_TRUE(clear) << other.err;
        }
        EXPECT_TRUE(std::filesystem::is_empty(dir / "data" / "tts-tarnwick" / "journals"));
    }
    std::printf("[          ] second run: %d found nothing to patch, %d refused\n", second_nothing, second_refused);
}

std::vector<std::string> names_in(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    if (!std::filesystem::exists(folder)) return names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A file cut off half-way through a save: looking writes nothing anywhere,
// patching it is refused, and only `recover` (or undo) puts it back.
TEST(CommandLineProcesses, AnInterruptedSaveIsToldAndPutBackOnlyWhenAsked) {
    TempDir dir;
    const auto file = dir / "voice.vpm";
    const auto journals = dir / "data" / "tts-tarnwick" / "journals";
    const auto history = dir / "data" / "tts-tarnwick" / "history";
    const ByteString voice = voices::demo_voice(voices::Container::vpm);
    write_file(file, voice);
    EXPECT_EQ(interrupted_save(file, journals), RunOutcome::save_failed);
    const ByteString half = read_file(file);
    ASSERT_NE(half, voice);
    const std::vector<std::string> journals_before = names_in(journals);
    ASSERT_EQ(journals_before.size(), 1u);
    const std::string told = "tts-tarnwick-cli: " + file.string() + ": The file \"" + file.string() +
                             "\" looks half-way through a save interrupted on ";
    for (const std::vector<std::string>& look : {std::vector<std::string>{"status", file.string()},
                                                 std::vector<std::string>{"apply", "--all", "--dry-run", file.string()},
                                                 std::vector<std::string>{"history", file.string()}}) {
        SCOPED_TRACE(look[0]);
        const Finished seen = run_together(dir, {look})[0];
        EXPECT_EQ(seen.status, look[0] == "history" ? 0 : 2) << seen.err;
        EXPECT_NE(seen.err.find(told), std::string::npos) << seen.err;
        EXPECT_EQ(read_file(file), half);
        EXPECT_EQ(names_in(journals), journals_before);
        EXPECT_TRUE(names_in(history).empty());
    }
    const Finished refused = run_together(dir, {{"apply", "--all", file.string()}})[0];
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("recover \"" + file.string() + "\", or patch it as it is with --as-is"), std::string::npos)
        << refused.err;
    EXPECT_EQ(read_file(file), half);
    EXPECT_EQ(names_in(journals), std::vector<std::string>{});  // made a record

    const Finished recovered = run_together(dir, {{"recover", file.string()}})[0];
    EXPECT_EQ(recovered.status, 0) << recovered.err;
    EXPECT_NE(recovered.out.find("Put the file \"" + file.string() + "\" back as it was before the save interrupted on "),
              std::string::npos) << recovered.out;
    EXPECT_EQ(recovered.err, "");
    EXPECT_EQ(read_file(file), voice);
    EXPECT_EQ(run_together(dir, {{"recover", file.string()}})[0].status, 1);

    const Finished applied = run_together(dir, {{"apply", "--all", file.string()}})[0];
    EXPECT_EQ(applied.status, 0) << applied.err;
    EXPECT_TRUE(applied.out.ends_with(kSaved)) << applied.out;
    EXPECT_EQ(read_file(file), patched_with_every_option(voice));
    EXPECT_TRUE(std::filesystem::is_empty(journals));
}

// Another copy's interrupted save, a folder nobody else may control, a save
// going on: what the command line does with each, as a person would see it.
TEST(CommandLineProcesses, InterruptedSavesOfOtherFilesAndOtherRuns) {
    const ByteString voice = voices::demo_voice(voices::Container::vpm);
    struct Row {
        const char* what;
        std::function<void(const TempDir&, const std::filesystem::path& journals)> act;
    };
    const auto device = [](const TempDir& dir) { return dir / "GARMIN" / "voice.vpm"; };
    const Row rows[] = {
        {"a backup saved whole before the device's save died",
         [&](const TempDir& dir, const std::filesystem::path& journals) {
             const auto backup = dir / "backup.vpm";
             write_file(backup, voice);
             EXPECT_EQ(run_together(dir, {{"apply", "--all", backup.string()}})[0].status, 0);
             interrupted_save(device(dir), journals);
             const Finished again = run_together(dir, {{"apply", "--options", "1", backup.string()}})[0];
             EXPECT_EQ(again.status, 1) << again.out << again.err;
             EXPECT_EQ(again.err, "");
             EXPECT_EQ(read_file(backup), patched_with_every_option(voice));
         }},
        {"a voice earlier in a batch, saved with two options, holding some of another's interrupted save",
         [&](const TempDir& dir, const std::filesystem::path& journals) {
             const auto earlier = dir / "a.vpm";
             write_file(earlier, voice);
             EXPECT_EQ(run_together(dir, {{"apply", "--options", "1,3", earlier.string()}})[0].status, 0);
             interrupted_save(device(dir), journals);
             // Its own finished save left exactly these bytes: nothing to tell.
             const Finished looked = run_together(dir, {{"status", earlier.string()}})[0];
             EXPECT_EQ(looked.status, 0);
             EXPECT_EQ(looked.err, "");
             const Finished applied = run_together(dir, {{"apply", "--options", "5", earlier.string()}})[0];
             EXPECT_EQ(applied.status, 0) << applied.err;
             EXPECT_EQ(read_file(earlier), patched_with(voice, {1, 3, 5}));
         }},
        {"a save under another account's journal folder, made seconds after an interrupted one",
         [&](const TempDir& dir, const std::filesystem::path&) {
             const auto other_account = dir / "other" / "journals";
             interrupted_save(device(dir), other_account);
             const Finished saved = run_together(dir, {{"apply", "--options", "1-3", device(dir).string()}})[0];
             EXPECT_EQ(saved.status, 0) << saved.err;
             const ByteString after = read_file(device(dir));
             EXPECT_EQ(after, patched_with(voice, {1, 2, 3}));
             // The other account sees a file that looks half-way through its
             // save, and writes nothing unless asked.
             VoiceImage there;
             const OpenedVoice opened =
                 open_voice(there, device(dir), other_account, system_file_calls(), RecoveryMode::record, {});
             EXPECT_TRUE(opened.half_way.has_value());
             EXPECT_EQ(opened.question, (Question{"Put it back as it was before that save?", false}));
             EXPECT_EQ(read_file(device(dir)), after);
         }},
        {"a journal folder others may write to",
         [&](const TempDir& dir, const std::filesystem::path& journals) {
             interrupted_save(device(dir), journals);
             std::filesystem::permissions(journals, std::filesystem::perms::owner_all | std::filesystem::perms::group_all);
             const ByteString half = read_file(device(dir));
             for (const std::vector<std::string>& look :
                  {std::vector<std::string>{"status", device(dir).string()},
                   std::vector<std::string>{"apply", "--all", "--dry-run", device(dir).string()},
                   std::vector<std::string>{"apply", "--all", device(dir).string()}}) {
                 SCOPED_TRACE(look[0] + (look.size() > 3 ? " --dry-run" : ""));
                 const Finished seen = run_together(dir, {look})[0];
                 EXPECT_EQ(seen.status, 2);
                 EXPECT_NE(seen.err.find("could not be looked for"), std::string::npos) << seen.err;
             }
             EXPECT_EQ(read_file(device(dir)), half);
         }},
        {"a save of the file going on",
         [&](const TempDir& dir, const std::filesystem::path&) {
             FileSystemCalls& calls = system_file_calls();
             FileSystemCalls::Handle saving{};
             FileSystemCalls::FileInfo info;
             ASSERT_FALSE(calls.open_for_update(device(dir), saving, info));
             ASSERT_FALSE(calls.try_lock(saving));
             const Finished looked = run_together(dir, {{"status", device(dir).string()}})[0];
             EXPECT_EQ(looked.status, 0);
             EXPECT_NE(looked.out.find("is saving the file \"" + device(dir).string() + "\" right now"), std::string::npos)
                 << looked.out;
             const Finished applied = run_together(dir, {{"apply", "--all", device(dir).string()}})[0];
             EXPECT_EQ(applied.status, 2);
             EXPECT_NE(applied.err.find("another run of this program is saving it right now"), std::string::npos)
                 << applied.err;
             calls.close(saving);
             EXPECT_EQ(read_file(device(dir)), voice);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const auto journals = dir / "data" / "tts-tarnwick" / "journals";
        std::filesystem::create_directories(device(dir).parent_path());
        write_file(device(dir), voice);
        row.act(dir, journals);
    }
}

// Each way a finished save was once undone, or an interrupted one lost, by
// taking a file's path or number for proof: as a person would meet it, with
// the bytes and the exit status asserted.
TEST(CommandLineProcesses, NoPathOrNumberIsTakenForProofThatAFileIsAnotherSaves) {
    const ByteString voice = voices::demo_voice(voices::Container::vpm);
    const ByteString option_1 = patched_with(voice, {1});
    const ByteString options_1_19 = patched_with(voice, {1, 19});
    struct Row {
        const char* what;
        std::function<void(const TempDir&, const std::filesystem::path& journals)> act;
    };
    const auto run = [](const TempDir& dir, std::vector<std::string> arguments) { return run_together(dir, {arguments})[0]; };
    const Row rows[] = {
        {"a torn file deleted, and a backup holding a finished save copied in under another name and number",
         [&](const TempDir& dir, const std::filesystem::path& journals) {
             const auto a = dir / "a.vpm", b = dir / "b.vpm", backup = dir / "backup.vpm";
             write_file(backup, voice);
             ASSERT_EQ(run(dir, {"apply", "--options", "1", backup.string()}).status, 0);
             write_file(a, voice);
             ASSERT_EQ(interrupted_save(a, journals, {1, 2, 3, 5}, 1), RunOutcome::save_failed);
             const auto inode = [](const std::filesystem::path& path) {
                 FileIdentity identity;
                 ByteString ignored;
                 EXPECT_FALSE(read_whole_file(path, kMaxImageLength, ignored, identity, system_file_calls()));
                 return identity;
             };
             const FileIdentity torn = inode(a);
             std::filesystem::remove(a);
             std::filesystem::copy_file(backup, b);
             std::printf("[          ] b.vpm %s the number a.vpm had\n", inode(b).same_file(torn) ? "got" : "did not get");
             const Finished applied = run(dir, {"apply", "--options", "19", b.string()});
             EXPECT_EQ(applied.status, 0) << applied.err;
             EXPECT_EQ(read_file(b), options_1_19);
         }},
        {"a torn file replaced at its path by a backup holding a finished save",
         [&](const TempDir& dir, const std::filesystem::path& journals) {
             const auto file = dir / "voice.vpm", backup = dir / "backup.vpm";
             write_file(backup, voice);
             ASSERT_EQ(run(dir, {"apply", "--options", "1", backup.string()}).status, 0);
             write_file(file, voice);
             ASSERT_EQ(interrupted_save(file, journals, {1, 2, 3, 5}, 1), RunOutcome::save_failed);
             std::filesystem::copy_file(backup, file, std::filesystem::copy_options::overwrite_existing);
             const Finished looked = run(dir, {"status", file.string()});
             EXPECT_EQ(looked.status, 0) << looked.err;
             EXPECT_EQ(looked.err, "");
             const Finished applied = run(dir, {"apply", "--options", "19", file.string()});
             EXPECT_EQ(applied.status, 0) << applied.err;
             EXPECT_EQ(read_file(file), options_1_19);
         }},
        {"a save killed after its writes, taken back",
         [&](const TempDir& dir, const std::filesystem::path& journals) {
             const auto file = dir / "voice.vpm";
             write_file(file, voice);
             ASSERT_EQ(interrupted_save(file, journals, {1}, kAfterItsWrites), RunOutcome::saved);
             ASSERT_EQ(read_file(file), option_1);
             const Finished looked = run(dir, {"status", file.string()});
             EXPECT_EQ(looked.status, 0) << looked.err;
             const Finished undone = run(dir, {"undo", file.string()});
             EXPECT_EQ(undone.status, 0) << undone.out << undone.err;
             EXPECT_EQ(read_file(file), voice);
         }},
        {"a file in the history named as if it were the largest and newest record",
         [&](const TempDir& dir, const std::filesystem::path& journals) {
             const auto file = dir / "voice.vpm";
             const auto history = journals.parent_path() / "history";
             write_file(file, voice);
             ASSERT_EQ(run(dir, {"apply", "--options", "1", file.string()}).status, 0);
             const std::string planted = std::string(32, '0') + "-9000000000000000000-17000000-0123456789abcdef.record";
             write_file(history / planted, ByteString{1, 2, 3, 4});
             const Finished applied = run(dir, {"apply", "--options", "19", file.string()});
             EXPECT_EQ(applied.status, 0) << applied.err;
             EXPECT_EQ(names_in(history).size(), 3u);  // both records, and the planted file left alone
             EXPECT_EQ(run(dir, {"undo", file.string()}).status, 0);
             EXPECT_EQ(run(dir, {"undo", file.string()}).status, 0);
             EXPECT_EQ(read_file(file), voice);
         }},
        {"the middle of three records deleted",
         [&](const TempDir& dir, const std::filesystem::path& journals) {
             const auto file = dir / "voice.vpm";
             const auto history = journals.parent_path() / "history";
             write_file(file, voice);
             ASSERT_EQ(run(dir, {"apply", "--options", "1", file.string()}).status, 0);
             const std::vector<std::string> first = names_in(history);
             ASSERT_EQ(run(dir, {"apply", "--options", "2", file.string()}).status, 0);
             std::vector<std::string> second = names_in(history);
             std::erase_if(second, [&](const std::string& name) { return std::count(first.begin(), first.end(), name) > 0; });
             ASSERT_EQ(second.size(), 1u);
             const ByteString after_second = read_file(file);
             ASSERT_EQ(run(dir, {"apply", "--options", "3", file.string()}).status, 0);
             std::filesystem::remove(history / second[0]);
             EXPECT_EQ(run(dir, {"undo", file.string()}).status, 0);
             EXPECT_EQ(read_file(file), after_second);
             const Finished again = run(dir, {"undo", file.string()});
             EXPECT_EQ(again.status, 1);
             EXPECT_NE(again.out.find("this program has no record of a save that left it as it is"), std::string::npos)
                 << again.out;
             EXPECT_EQ(read_file(file), after_second);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        row.act(dir, dir / "data" / "tts-tarnwick" / "journals");
    }
}

}  // namespace
}  // namespace tarnwick
