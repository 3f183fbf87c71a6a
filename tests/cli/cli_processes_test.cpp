// The command line as real processes: two saves of one file at once, and a
// look at a file whose save was interrupted.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

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

ByteString patched_with_every_option(const ByteString& voice) {
    VoiceImage image;
    image.assign(voice);
    testing::RecordingWindow window;
    window.enable_all();
    window.ticked.fill(true);
    RunDetails details;
    EXPECT_EQ(rehearse_patch(image, window, details), RunOutcome::rehearsed);
    for (const ChangedRange& range : details.changes) image.put_str(static_cast<std::int32_t>(range.offset), range.new_bytes);
    return ByteString(image.file_buf().begin(), image.file_buf().end());
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

TEST(CommandLineProcesses, LookingAtAnInterruptedSaveWritesNothing) {
    TempDir dir;
    const auto file = dir / "voice.vpm";
    const auto journals = dir / "data" / "tts-tarnwick" / "journals";
    const ByteString voice = voices::demo_voice(voices::Container::vpm);
    write_file(file, voice);
    {
        // A save that dies after its journal and its first write.
        VoiceImage image;
        ASSERT_TRUE(image.load_image(file, journals).ok());
        testing::FaultyCalls calls;
        bool journal_written = false;
        int writes = 0;
        calls.before_call = [&](const std::string& name) {
            journal_written = journal_written || name == "rename_in_folder";
            if (journal_written && name == "write" && ++writes == 2) calls.crash_at = static_cast<int>(calls.calls.size()) + 1;
        };
        testing::RecordingWindow window;
        window.enable_all();
        window.ticked.fill(true);
        ASSERT_EQ(run_patch(image, window, journals, calls), RunOutcome::save_failed);
    }
    const ByteString half = read_file(file);
    ASSERT_NE(half, voice);
    const auto journal_files = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(journals)) names.push_back(entry.path().string());
        return names;
    };
    const std::vector<std::string> journals_before = journal_files();
    ASSERT_EQ(journals_before.size(), 1u);
    const std::string pending = "An earlier save of the file \"" + file.string() +
                                "\" was interrupted. Opening it to patch will put it back as it was before that save; "
                                "nothing was changed now.\n";
    for (const std::vector<std::string>& look : {std::vector<std::string>{"status", file.string()},
                                                 std::vector<std::string>{"apply", "--all", "--dry-run", file.string()}}) {
        SCOPED_TRACE(look[0]);
        const Finished seen = run_together(dir, {look})[0];
        EXPECT_EQ(seen.status, 2);
        EXPECT_NE(seen.err.find(pending), std::string::npos) << seen.err;
        EXPECT_EQ(read_file(file), half);
        EXPECT_EQ(journal_files(), journals_before);
    }
    // Opening it to patch puts it back first, then patches it whole.
    const Finished applied = run_together(dir, {{"apply", "--all", file.string()}})[0];
    EXPECT_EQ(applied.status, 0) << applied.err;
    EXPECT_TRUE(applied.out.starts_with(file.string() + "\nAn earlier save of the file \"" + file.string() +
                                        "\" was interrupted. The file was put back as it was before that save.\n"))
        << applied.out;
    EXPECT_TRUE(applied.out.ends_with(kSaved)) << applied.out;
    EXPECT_EQ(read_file(file), patched_with_every_option(voice));
    EXPECT_TRUE(std::filesystem::is_empty(journals));
}

}  // namespace
}  // namespace tarnwick
