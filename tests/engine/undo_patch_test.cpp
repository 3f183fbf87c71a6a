// Taking patches back: exactly, on any copy with their result, never on
// other bytes, whole or not at all when cut off, and never misled by the history.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <functional>

#include <gtest/gtest.h>

#include "engine/journal_format.h"
#include "engine/memory_files.h"
#include "engine/open_voice.h"
#include "engine/patch_run.h"
#include "engine/save_history.h"
#include "engine/undo_patch.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/faulty_calls.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

using testing::FaultyCalls;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

struct Device {
    TempDir dir;
    std::filesystem::path journals = dir / "data" / "journals";
    std::filesystem::path history = dir / "data" / "history";
    ByteString original = voices::demo_voice(voices::Container::vpm);

    std::filesystem::path voice(const std::string& name, const ByteString& bytes) const {
        write_file(dir / name, bytes);
        return dir / name;
    }
    RunOutcome patch(const std::filesystem::path& path, std::initializer_list<int> options) const {
        VoiceImage image;
        const OpenedVoice opened = open_voice(image, path, journals, system_file_calls(), RecoveryMode::record, {});
        WindowControls controls = opened.controls;
        controls.tick(options);
        return run_patch(image, controls, journals, system_file_calls()).outcome;
    }
    UndoReport undo(const std::filesystem::path& path, FileSystemCalls& calls = system_file_calls()) const {
        VoiceImage image;
        open_voice(image, path, journals, system_file_calls(), RecoveryMode::record, {});
        return undo_last_patch(image, journals, calls, false);
    }
};

TEST(UndoPatch, WalksBackSaveBySaveOnAnyCopyAndNeverOnOtherBytes) {
    Device device;
    const auto path = device.voice("voice.vpm", device.original);
    ASSERT_EQ(device.patch(path, {1, 2, 3}), RunOutcome::saved);
    const ByteString after_first = read_file(path);
    ASSERT_EQ(device.patch(path, {5}), RunOutcome::saved);
    const ByteString after_second = read_file(path);

    // A copy elsewhere with the same bytes, and one with a byte changed.
    const auto copy = device.voice("backup of voice.vpm", after_second);
    ByteString bent = after_second;
    bent[20000] ^= 1;
    const auto other = device.voice("other.vpm", bent);

    struct Step {
        std::filesystem::path file;
        UndoOutcome outcome;
        ByteString left;
        std::string said;
    };
    const std::vector<Step> steps = {
        {other, UndoOutcome::nothing_to_undo, bent, messages::undo::never_saved(other.string())},
        {copy, UndoOutcome::undone, after_first, ""},
        {path, UndoOutcome::undone, after_first, ""},
        {path, UndoOutcome::undone, device.original, ""},
        {path, UndoOutcome::nothing_to_undo, device.original, messages::undo::all_undone(path.string())},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.file.filename().string());
        const UndoReport report = device.undo(step.file);
        EXPECT_EQ(report.outcome, step.outcome);
        EXPECT_EQ(read_file(step.file), step.left);
        ASSERT_EQ(report.messages.size(), 1u);
        if (!step.said.empty()) {
            EXPECT_EQ(report.messages[0].text, step.said);
        }
    }
    // Patched again after all was undone, then changed by another program.
    ASSERT_EQ(device.patch(path, {19}), RunOutcome::saved);
    ByteString edited = read_file(path);
    edited[100] ^= 1;
    write_file(path, edited);
    const UndoReport report = device.undo(path);
    EXPECT_EQ(report.outcome, UndoOutcome::nothing_to_undo);
    EXPECT_EQ(report.messages[0].text, messages::undo::changed_since(path.string()));
    EXPECT_EQ(read_file(path), edited);
}

// Cut off at any call, an undo leaves the patched bytes, the original ones,
// or a file half-way through it that is put back, when asked, to the patched.
TEST(UndoPatch, CutOffAtEveryCallLeavesOneSideOrAHalfWayThatIsPutBack) {
    int half_way = 0;
    for (int n = 1;; ++n) {
        SCOPED_TRACE("crash at call " + std::to_string(n));
        ASSERT_LT(n, 400) << "the undo never completed";
        Device device;
        const auto path = device.voice("voice.vpm", device.original);
        ASSERT_EQ(device.patch(path, {1, 3, 19}), RunOutcome::saved);
        const ByteString patched = read_file(path);
        FaultyCalls calls;
        calls.crash_at = n;
        device.undo(path, calls);
        const bool completed = calls.failed.empty();
        const ByteString at_crash = read_file(path);
        VoiceImage reopened;
        const OpenedVoice opened = open_voice(reopened, path, device.journals, system_file_calls(), RecoveryMode::record, {});
        EXPECT_EQ(read_file(path), at_crash);
        if (at_crash != patched && at_crash != device.original) {
            ++half_way;
            ASSERT_TRUE(opened.half_way.has_value());
            EXPECT_EQ(opened.half_way->kind, SaveRecord::Kind::undo);
            EXPECT_EQ(device.undo(path).outcome, UndoOutcome::undone);
            EXPECT_EQ(read_file(path), patched);
        }
        if (completed) {
            EXPECT_EQ(at_crash, device.original);
            break;
        }
    }
    EXPECT_GT(half_way, 0);
}

// Records that are not what their names say, or that lie where others may
// write, are never used: nothing is written and the file is left as it is.
TEST(UndoPatch, AHostileHistoryNeverWrites) {
    struct Case {
        std::string name;
        std::function<void(const Device&, const std::filesystem::path& record)> arrange;
        UndoOutcome outcome;
    };
    const auto rewrite = [](const std::filesystem::path& record, const std::function<void(ByteString&)>& change) {
        ByteString bytes = read_file(record);
        change(bytes);
        write_file(record, bytes);
    };
    const std::vector<Case> cases = {
        {"huge", [&](const Device&, const auto& record) {
             rewrite(record, [](ByteString& b) { b.resize(kMaxRecordBytes + 1, 0); });
         }, UndoOutcome::nothing_to_undo},
        {"truncated", [&](const Device&, const auto& record) {
             rewrite(record, [](ByteString& b) { b.resize(b.size() / 2); });
         }, UndoOutcome::nothing_to_undo},
        {"another file's record under this file's name", [&](const Device& d, const auto& record) {
             SaveRecord other{SaveRecord::Kind::patch, "/elsewhere.vpm", 1, {{1, "x"}}, digest_of(ByteString(9, 1)),
                              digest_of(ByteString(9, 2)), 9, {{0, {1}, {2}}}};
             (void)d;
             write_file(record, encode_record(other));
         }, UndoOutcome::nothing_to_undo},
        {"ranges that do not fit the file", [&](const Device&, const auto& record) {
             std::optional<SaveRecord> read = decode_record(read_file(record));
             ASSERT_TRUE(read.has_value());
             read->ranges.front().new_bytes.front() ^= 1;
             write_file(record, encode_record(*read));
         }, UndoOutcome::refused},
#ifndef _WIN32
        {"a link to a record", [&](const Device& d, const auto& record) {
             std::filesystem::rename(record, d.dir / "planted");
             std::filesystem::create_symlink(d.dir / "planted", record);
         }, UndoOutcome::nothing_to_undo},
        {"a folder others may write to", [&](const Device& d, const auto&) {
             ::chmod(d.history.c_str(), 0777);
         }, UndoOutcome::refused},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Device device;
        const auto path = device.voice("voice.vpm", device.original);
        ASSERT_EQ(device.patch(path, {1}), RunOutcome::saved);
        const ByteString patched = read_file(path);
        std::vector<std::filesystem::path> records;
        for (const auto& entry : std::filesystem::directory_iterator(device.history)) records.push_back(entry.path());
        ASSERT_EQ(records.size(), 1u);
        c.arrange(device, records.front());

        const UndoReport report = device.undo(path);
        EXPECT_EQ(report.outcome, c.outcome);
        EXPECT_EQ(read_file(path), patched);
        ASSERT_EQ(report.messages.size(), 1u);
        EXPECT_NE(report.messages[0].text, "");
    }
}

// The history keeps the newest records within its bounds, and follows a
// chain of saves back from the bytes it is asked about, newest first.
TEST(SaveHistory, KeepsTheNewestWithinItsBoundsAndFollowsTheChain) {
    const auto digest = [](int n) {
        return digest_of(ByteString{static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)});
    };
    const auto record = [&](int from, int to, std::int64_t time, std::size_t size) {
        return SaveRecord{SaveRecord::Kind::patch, "/voice.vpm", time, {{1, "x"}}, digest(from), digest(to), 1 << 20,
                          {{0, ByteString(size, 1), ByteString(size, 2)}}};
    };
    struct Case {
        std::string name;
        int saves;
        std::size_t range_bytes;
        std::size_t kept;
    };
    const std::vector<Case> cases = {
        {"under the bounds", 5, 10, 5},
        {"more records than kept", static_cast<int>(kMaxHistoryRecords) + 3, 10, kMaxHistoryRecords},
        {"more bytes than kept", 40, 300'000, 27},  // 16 MiB holds 27 records of about 600 KB
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFiles files;
        SaveHistory history(files, "/data/history");
        // Save n turns bytes n into bytes n + 1.
        for (int n = 0; n < c.saves; ++n) ASSERT_FALSE(history.add(record(n, n + 1, 1000 + n, c.range_bytes)));
        EXPECT_EQ(files.entries("/data/history").size(), c.kept);
        std::vector<SaveRecord> chain;
        ASSERT_FALSE(history.leading_to(digest(c.saves), 1 << 20, chain));
        ASSERT_EQ(chain.size(), c.kept);
        EXPECT_EQ(chain.front().time_ns, 1000 + c.saves - 1);
        EXPECT_EQ(chain.back().time_ns, 1000 + c.saves - static_cast<int>(c.kept));
        EXPECT_EQ(history.unreadable(), 0);
    }
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// Where the page may not write into the file, what a save writes is a download.
struct DownloadCalls : FaultyCalls {
    bool writes_a_download() const override { return true; }
};

// What each report gives a front end to show, in the engine's words: the undo
// row and its question, the download's lines, and one verdict.
TEST(Reports, CarryEveryLineAndQuestionAFrontEndShows) {
    struct Shown {
        Verdict verdict;
        std::string first_message;  // its start; empty for no message
        std::string description;    // its start
        std::string last_patch;     // its start; empty for no undo offered
        std::string question;       // its start
        bool download = false;
    };
    struct Row {
        const char* what;
        std::function<Shown(Device&, const std::filesystem::path&)> act;
        Shown expected;
    };
    const auto view_of = [](Verdict verdict, const std::vector<Message>& told, const std::optional<VoiceView>& view,
                            bool download) {
        return Shown{verdict, told.empty() ? "" : told.front().text, view ? view->text.description : "-",
                     view ? view->last_patch : "-", view ? view->undo_question.text : "-", download};
    };
    const auto opened = [&](Device& device, const std::filesystem::path& path) {
        VoiceImage image;
        const OpenedVoice o = open_voice(image, path, device.journals, system_file_calls(), RecoveryMode::record, {});
        EXPECT_FALSE(o.question.has_value());
        return view_of(o.verdict(), o.messages, o.view, false);
    };
    const auto undone = [&](Device& device, const std::filesystem::path& path, FileSystemCalls& calls) {
        const UndoReport r = device.undo(path, calls);
        return view_of(r.verdict(), r.messages, r.view, r.download);
    };
    for (const Row& row : {
             Row{"a voice never saved, opened", opened,
                 {Verdict::done, "", "voice.vpm: disk image (.vpm), ", "", ""}},
             Row{"a voice saved with three options, opened",
                 [&](Device& d, const std::filesystem::path& p) {
                     d.patch(p, {1, 2, 3});
                     return opened(d, p);
                 },
                 {Verdict::done, "", "voice.vpm: disk image (.vpm), ", "Patched with this program on ",
                  "Take back the patch saved on "}},
             Row{"its undo, in place",
                 [&](Device& d, const std::filesystem::path& p) {
                     d.patch(p, {1, 2, 3});
                     return undone(d, p, system_file_calls());
                 },
                 {Verdict::done, "Took back the patch saved on ", "voice.vpm: disk image (.vpm), ", "", ""}},
             Row{"its undo, as a download",
                 [&](Device& d, const std::filesystem::path& p) {
                     d.patch(p, {1, 2, 3});
                     DownloadCalls calls;
                     return undone(d, p, calls);
                 },
                 {Verdict::done, "The voice as it was before the patch saved on ",
                  "The downloaded copy of voice.vpm: disk image (.vpm), ", "", "", true}},
             Row{"an undo with nothing to take back",
                 [&](Device& d, const std::filesystem::path& p) { return undone(d, p, system_file_calls()); },
                 {Verdict::nothing_to_do, "Nothing to undo in the file \"", "-", "-", "-"}},
             Row{"text named .vpm, opened",
                 [&](Device& d, const std::filesystem::path&) { return opened(d, d.voice("voice.vpm", ByteString(64, 'x'))); },
                 {Verdict::refused, "The specified file is not a valid TTS voice file.", "voice.vpm: ", "", ""}},
         }) {
        SCOPED_TRACE(row.what);
        Device device;
        const Shown shown = row.act(device, device.voice("voice.vpm", device.original));
        EXPECT_EQ(shown.verdict, row.expected.verdict);
        EXPECT_TRUE(shown.first_message.starts_with(row.expected.first_message)) << shown.first_message;
        EXPECT_EQ(row.expected.first_message.empty(), shown.first_message.empty()) << shown.first_message;
        EXPECT_TRUE(shown.description.starts_with(row.expected.description)) << shown.description;
        EXPECT_TRUE(shown.last_patch.starts_with(row.expected.last_patch)) << shown.last_patch;
        EXPECT_EQ(row.expected.last_patch.empty(), shown.last_patch.empty()) << shown.last_patch;
        EXPECT_TRUE(shown.question.starts_with(row.expected.question)) << shown.question;
        EXPECT_EQ(shown.download, row.expected.download);
    }

    // A run saved as a download says so, beside what it saved.
    Device device;
    const auto path = device.voice("voice.vpm", device.original);
    VoiceImage image;
    const OpenedVoice o = open_voice(image, path, device.journals, system_file_calls(), RecoveryMode::record, {});
    WindowControls controls = o.controls;
    controls.tick({1, 19});
    DownloadCalls calls;
    const RunReport run = run_patch(image, controls, device.journals, calls);
    EXPECT_EQ(run.verdict(), Verdict::done);
    EXPECT_TRUE(run.download);
    EXPECT_EQ(run.saved_line, "Saved \"voice.vpm\" with 2 changes:");
    EXPECT_TRUE(run.download_line.starts_with("The patched voice was downloaded as \"voice.vpm\"")) << run.download_line;
}

}  // namespace
}  // namespace tarnwick
