// A batch of voices: each voice gets exactly what it would get alone, and a
// failure in one never touches another.
#include <gtest/gtest.h>

#include "engine/open_voice.h"
#include "engine/patch_run.h"
#include "engine/voice_batch.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/faulty_calls.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

using testing::FaultyCalls;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// A device whose file named `read_only` may not be written.
struct ReadOnlyFile : FaultyCalls {
    std::string read_only;
    std::error_code open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) override {
        if (path.filename() == read_only) return std::make_error_code(std::errc::read_only_file_system);
        return FaultyCalls::open_for_update(path, handle, info);
    }
};

struct Voice {
    const char* name;
    ByteString bytes;
    bool changed_after_survey;  // another program writes it between the open and the save
    Verdict verdict;            // of the patch, alone and in the batch
    std::string_view summary;
};

// What the voice gets alone, as the command line's `apply` does it.
struct Alone {
    Verdict verdict = Verdict::refused;
    std::vector<Message> messages;
    ByteString left;
};

ByteString other_bytes(ByteString bytes) {
    bytes[40] ^= 0x20;
    return bytes;
}

TEST(VoiceBatch, EachVoiceGetsItsOwnOutcomeAndBytesAndUndoAllTakesBackOnlyThisBatch) {
    const ByteString vpm = voices::demo_voice(voices::Container::vpm);
    const ByteString rgn = voices::demo_voice(voices::Container::rgn);
    const std::vector<Voice> table = {
        {"English.vpm", vpm, false, Verdict::done, "Saved with 3 changes."},
        {"Karen.rgn", rgn, false, Verdict::done, "Saved with 3 changes."},
        {"locked.vpm", vpm, false, Verdict::refused, messages::batch::kNotSaved},
        {"notes.vpm", ascii_bytes("no disk image here"), false, Verdict::refused, messages::batch::kRefused},
        {"edited.vpm", vpm, true, Verdict::refused, messages::batch::kNotSaved},
        {"English again.vpm", vpm, false, Verdict::done, "Saved with 3 changes."},
    };
    TempDir dir;
    const std::filesystem::path journals = dir / "data" / "journals";
    ReadOnlyFile calls;
    calls.read_only = "locked.vpm";
    std::array<bool, kOptionCount> chosen{};
    for (const int k : {1, 2, 19}) chosen[static_cast<std::size_t>(k - 1)] = true;
    const auto lay_out = [&] {
        std::filesystem::remove_all(dir / "data");
        for (const Voice& voice : table) write_file(dir / voice.name, voice.bytes);
    };

    // Each alone, one after the other, as `apply --options 1,2,19` runs them.
    lay_out();
    std::vector<Alone> alone;
    for (const Voice& voice : table) {
        VoiceImage image;
        const OpenedVoice opened = open_voice(image, dir / voice.name, journals, calls, RecoveryMode::record, {});
        Alone& result = alone.emplace_back();
        result.messages = opened.messages;
        result.verdict = opened.verdict();
        if (opened.accepted()) {
            if (voice.changed_after_survey) write_file(dir / voice.name, other_bytes(voice.bytes));
            WindowControls controls = opened.controls;
            controls.tick({1, 2, 19});
            const RunReport run = run_patch(image, controls, journals, calls);
            result.verdict = run.verdict();
            result.messages.insert(result.messages.end(), run.messages.begin(), run.messages.end());
        }
        result.left = read_file(dir / voice.name);
    }

    // All of them in one batch.
    lay_out();
    VoiceBatch batch(journals);
    std::vector<std::filesystem::path> paths;
    for (const Voice& voice : table) paths.push_back(dir / voice.name);
    paths.push_back(dir / "Karen.rgn");  // chosen twice: opened once
    std::vector<std::size_t> progress;
    const BatchReport opened = batch.open(paths, calls, [&](std::size_t done, std::size_t) { progress.push_back(done); });
    ASSERT_EQ(batch.voices().size(), table.size());
    EXPECT_EQ(opened.closing, "6 voices opened; 5 can be patched.");
    EXPECT_EQ(batch.voices()[0].state(1), OptionState::ready);
    EXPECT_EQ(batch.voices()[3].state(1), std::nullopt);  // no voice
    EXPECT_TRUE(batch.tickable(19));
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].changed_after_survey) write_file(paths[i], other_bytes(table[i].bytes));
    }
    progress.clear();
    const BatchReport patched = batch.patch_all(chosen, calls, [&](std::size_t done, std::size_t) { progress.push_back(done); });
    EXPECT_EQ(progress, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(patched.voices.size(), table.size());
    EXPECT_EQ(patched.verdict(), Verdict::refused);
    EXPECT_EQ(patched.closing, "Saved 3 of 6 voices.");
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Voice& voice = table[i];
        const BatchEntry& entry = patched.voices[i];
        SCOPED_TRACE(voice.name);
        EXPECT_EQ(entry.name, voice.name);
        EXPECT_EQ(entry.verdict, voice.verdict);
        EXPECT_EQ(alone[i].verdict, voice.verdict);
        EXPECT_EQ(entry.summary, voice.summary);
        EXPECT_EQ(read_file(paths[i]), alone[i].left);
        EXPECT_EQ(voice.verdict == Verdict::done, read_file(paths[i]) != (voice.changed_after_survey ? other_bytes(voice.bytes) : voice.bytes));
        // The voice is told what it is told alone: the open's messages when
        // the batch was opened, the patch's now, but for a save's success,
        // which its summary says; a refused one its reasons again.
        std::vector<Message> told = entry.messages;
        if (batch.voices()[i].patchable()) told.insert(told.begin(), opened.voices[i].messages.begin(), opened.voices[i].messages.end());
        std::erase(alone[i].messages, Message{MessageKind::information, std::string(messages::kPatchedSuccessfully)});
        EXPECT_EQ(told, alone[i].messages);
        EXPECT_EQ(entry.patched_options, (voice.verdict == Verdict::done ? std::vector<int>{1, 2, 19} : std::vector<int>{}));
    }
    // Shown anew after the save: what it changed reads as changed on its day.
    EXPECT_EQ(batch.voices()[0].view->text.states[0].rfind("changed ", 0), 0u);
    EXPECT_EQ(batch.voices()[0].view->text.states[2], "ready");

    ASSERT_EQ(batch.undoable(), 3u);
    EXPECT_EQ(batch.undo_question().text, "Take back the patch this batch saved in 3 voices?");
    EXPECT_FALSE(batch.undo_question().yes_by_default);
    const BatchReport undone = batch.undo_all(calls);
    EXPECT_EQ(undone.closing, "Took back the patch of 3 of 3 voices.");
    for (std::size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(table[i].name);
        EXPECT_EQ(undone.voices[i].summary, table[i].verdict == Verdict::done ? messages::batch::kTakenBack
                                                                              : messages::batch::kNotPatchedHere);
        EXPECT_EQ(read_file(paths[i]), table[i].changed_after_survey ? other_bytes(table[i].bytes) : table[i].bytes);
    }
    EXPECT_EQ(batch.undoable(), 0u);
}

// The progress line names the voice being worked on, counted from those done,
// and stays on the last once all are done.
TEST(VoiceBatch, ProgressNamesTheVoiceBeingWorkedOn) {
    struct Case { std::size_t done, total; const char* shown; };
    for (const Case& c : {Case{0, 3, "Voice 1 of 3"}, Case{1, 3, "Voice 2 of 3"}, Case{2, 3, "Voice 3 of 3"},
                          Case{3, 3, "Voice 3 of 3"}, Case{0, 1, "Voice 1 of 1"}}) {
        EXPECT_EQ(messages::batch::progress(c.done, c.total), c.shown) << c.done << " of " << c.total;
    }
}

}  // namespace
}  // namespace tarnwick
