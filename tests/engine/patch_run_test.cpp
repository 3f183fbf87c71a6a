#include <gtest/gtest.h>

#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "engine/voice_survey.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/faulty_calls.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

using voices::Container;
using voices::DiskImageBuilder;
using testing::FaultyCalls;
using testing::read_file;
using testing::RecordingWindow;
using testing::TempDir;
using testing::write_file;

const AbbrPatch& lead(int k) { return *patch_catalogue()[static_cast<std::size_t>(k - 1)].lead; }
ByteString original(const AbbrPatch& p) { return hex2str(p.original_hex); }

const std::string kSuccess{messages::kPatchedSuccessfully};
const std::string kNothing{messages::kNothingToPatch};
const std::string kInvalid{messages::kNotVoiceFile};

// A voice file on disk, loaded, with a window whose twenty boxes are enabled.
struct LoadedVoice {
    TempDir dir;
    std::filesystem::path path = dir / "voice.vpm";
    std::filesystem::path journals = dir / "journals";
    ByteString on_disk;
    VoiceImage image;
    RecordingWindow window;
    FaultyCalls calls;

    explicit LoadedVoice(DiskImageBuilder builder) { reset(builder.build()); }
    explicit LoadedVoice(ByteString bytes) { reset(std::move(bytes)); }

    void reset(ByteString bytes) {
        on_disk = std::move(bytes);
        write_file(path, on_disk);
        EXPECT_TRUE(image.load_image(path, journals, system_file_calls()).ok());
        window.enable_all();
    }

    RunOutcome run() { return run_patch(image, window, journals, calls); }
    ByteString image_bytes() const { return ByteString(image.file_buf().begin(), image.file_buf().end()); }
    std::ptrdiff_t saves() const { return calls.count("open_for_update"); }
};

DiskImageBuilder voice_with(std::initializer_list<int> leads_present, Container kind = Container::vpm) {
    DiskImageBuilder builder;
    builder.container(kind).block_exp(1).dllimg_first_block(40);
    std::int64_t at = builder.dllimg_data_start() + 64;
    for (int k : leads_present) {
        builder.place(at, original(lead(k)));
        at += 256;
    }
    return builder;
}

TEST(RunPatch, PatchesSavesReportsAndCloses) {
    for (const Container kind : {Container::vpm, Container::rgn}) {
        LoadedVoice r(voice_with({1, 3, 19}, kind));
        r.window.tick({1, 3, 19});
        EXPECT_EQ(r.run(), RunOutcome::saved);
        EXPECT_EQ(r.window.events, (std::vector<std::string>{"message: " + kSuccess, "close"}));
        EXPECT_EQ(read_file(r.path), r.image_bytes());
        EXPECT_NE(r.image_bytes(), r.on_disk);
        EXPECT_EQ(r.saves(), 1);
        EXPECT_TRUE(r.window.patch_enabled);
    }
}

TEST(RunPatch, FailuresBeforeASuccessAreReportedThenTheFileIsWrittenOnce) {
    LoadedVoice r(voice_with({3}));
    r.window.tick({1, 3, 8});
    ByteString at_success_message;
    struct Spy : RecordingWindow {
        std::filesystem::path path;
        ByteString* seen = nullptr;
        void show_message(const Message& message) override {
            if (message.text == kSuccess) *seen = read_file(path);
            RecordingWindow::show_message(message);
        }
    } spy;
    spy.enable_all();
    spy.tick({1, 3, 8});
    spy.path = r.path;
    spy.seen = &at_success_message;

    EXPECT_EQ(run_patch(r.image, spy, r.journals, r.calls), RunOutcome::saved);
    EXPECT_EQ(spy.events, (std::vector<std::string>{
                              "disable box 1",
                              "disable box 8",
                              "message: " + messages::not_found("Street/Saint"),
                              "message: " + messages::not_found("Business Route/Branch"),
                              "message: " + kSuccess,
                              "close",
                          }));
    EXPECT_EQ(at_success_message, r.image_bytes());
    EXPECT_EQ(r.saves(), 1);
}

TEST(RunPatch, TheDemoVoiceTakesEveryOption) {
    for (const Container kind : {Container::vpm, Container::rgn}) {
        LoadedVoice r(voices::demo_voice(kind));
        r.window.ticked.fill(true);
        EXPECT_EQ(r.run(), RunOutcome::saved);
        EXPECT_EQ(r.window.events, (std::vector<std::string>{"message: " + kSuccess, "close"}));
        // (An original may still be found: 20b's replacement ends with 20a's original.)
        for (const PatchOption& option : patch_catalogue()) {
            const ByteString replacement = hex2str(option.lead->replacement_hex);
            const ByteView after = r.image.file_buf();
            EXPECT_NE(std::search(after.begin(), after.end(), replacement.begin(), replacement.end()), after.end())
                << option.number;
        }
    }
}

TEST(RunPatch, ASecondRunFindsEveryOptionAlreadyChanged) {
    // Option 20's Trail run ends with its Track original (" Tr" and four zero
    // bytes): a second run must not take that for a run still to patch.
    LoadedVoice r(voices::demo_voice(Container::vpm));
    r.window.ticked.fill(true);
    ASSERT_EQ(r.run(), RunOutcome::saved);
    const ByteString first = r.image_bytes();
    const VoiceSurvey after = survey_voice(r.image);
    for (int k = 1; k <= kOptionCount; ++k) EXPECT_EQ(after.state(k), OptionState::already_changed) << k;

    LoadedVoice again(first);
    again.window.tick({20});
    EXPECT_EQ(again.run(), RunOutcome::nothing_patched);
    EXPECT_EQ(again.window.messages(),
              (std::vector<std::string>{"The Track/Trk abbreviation is already patched.", kNothing}));
    EXPECT_EQ(read_file(again.path), first);
}

TEST(RunPatch, NothingPatchedDisablesAndLeavesTheFileAlone) {
    LoadedVoice r(voice_with({}));
    r.window.tick({2, 15});
    r.window.enabled[4] = false;
    r.window.tick({4});  // ticked but disabled: skipped silently
    EXPECT_EQ(r.run(), RunOutcome::nothing_patched);
    EXPECT_EQ(r.window.events, (std::vector<std::string>{
                                   "disable box 2",
                                   "disable box 15",
                                   "disable Patch",
                                   "message: " + messages::not_found("Farm Road/FM"),
                                   "message: " + messages::not_found("Connecticut/Ct"),
                                   "message: " + messages::not_found("Connecticut/Ct-"),
                                   "message: " + kNothing,
                               }));
    EXPECT_EQ(read_file(r.path), r.on_disk);
    EXPECT_EQ(r.image_bytes(), r.on_disk);
    EXPECT_EQ(r.saves(), 0);

    // A second run skips the boxes the first one disabled.
    r.window.events.clear();
    EXPECT_EQ(r.run(), RunOutcome::nothing_patched);
    EXPECT_EQ(r.window.events, (std::vector<std::string>{"disable Patch", "message: " + kNothing}));
}

TEST(RunPatch, NoTickedBoxPatchesNothing) {
    LoadedVoice r(voice_with({1}));
    EXPECT_EQ(r.run(), RunOutcome::nothing_patched);
    EXPECT_EQ(r.window.events, (std::vector<std::string>{"disable Patch", "message: " + kNothing}));
}

TEST(RunPatch, ConnecticutFallbackCountsAsPatchedButDisablesItsBox) {
    DiskImageBuilder builder = voice_with({});
    builder.place(builder.dllimg_data_start() + 300, original(*patch_catalogue()[14].fallback));
    LoadedVoice r(builder);
    r.window.tick({15});
    EXPECT_EQ(r.run(), RunOutcome::saved);
    EXPECT_EQ(r.window.events, (std::vector<std::string>{
                                   "disable box 15",
                                   "message: " + messages::not_found("Connecticut/Ct"),
                                   "message: " + kSuccess,
                                   "close",
                               }));
}

TEST(RunPatch, BoulevardSevenAndTenInOneRun) {
    LoadedVoice r(voice_with({7}));
    r.window.tick({7, 10});
    EXPECT_EQ(r.run(), RunOutcome::saved);
    EXPECT_EQ(r.window.messages(), (std::vector<std::string>{messages::already_patched("Boulevard/Boul."), kSuccess}));
}

TEST(RunPatch, RefusesAFileWithoutTheMark) {
    for (const ByteString& bytes : {ByteString{}, ByteString(500, 'x')}) {
        LoadedVoice r(bytes);
        r.window.tick({1});
        EXPECT_EQ(r.run(), RunOutcome::not_a_voice_file);
        EXPECT_EQ(r.window.events, (std::vector<std::string>{"disable Patch", "message: " + kInvalid}));
        EXPECT_TRUE(r.window.enabled[1]);
        EXPECT_EQ(read_file(r.path), bytes);
    }
}

TEST(RunPatch, StopsBeforeTheFirstOptionWhenTheAreaCannotBeLocated) {
    const std::vector<DiskImageBuilder> unlocatable = {
        voice_with({1}).without_dllimg(),
        voice_with({1}).block_exp(7).dllimg_first_block(32768).length(20000),
    };
    for (const DiskImageBuilder& builder : unlocatable) {
        LoadedVoice r(builder);
        r.window.tick({1});
        EXPECT_EQ(r.run(), RunOutcome::area_not_located);
        EXPECT_EQ(r.window.events,
                  (std::vector<std::string>{"disable Patch", "message: " + std::string(messages::kAreaNotLocated)}));
        EXPECT_EQ(r.image_bytes(), r.on_disk);
        EXPECT_EQ(read_file(r.path), r.on_disk);
        EXPECT_EQ(r.saves(), 0);
    }
}

TEST(RunPatch, AFailedWriteBackKeepsFileImageAndWindowAndTheNextRunSaves) {
    LoadedVoice r(voice_with({1, 19}));
    r.window.tick({1, 19});
    // The second write fails: the first wrote the journal, this one the file.
    struct FailFirstWrite : FaultyCalls {
        bool failed_once = false;
        std::error_code write_at(Handle handle, std::int64_t offset, const std::uint8_t* data, std::size_t size,
                                 std::size_t& written) override {
            if (!failed_once && count("write") == 1) {
                failed_once = true;
                return std::make_error_code(std::errc::no_space_on_device);
            }
            return FaultyCalls::write_at(handle, offset, data, size, written);
        }
    } failing;
    EXPECT_EQ(run_patch(r.image, r.window, r.journals, failing), RunOutcome::save_failed);
    EXPECT_TRUE(failing.failed_once);
    EXPECT_EQ(r.window.messages(),
              std::vector<std::string>{"Could not save the file \"" + r.path.string() +
                                       "\": No space left on device. The file was left unchanged."});
    EXPECT_FALSE(r.window.closed);
    EXPECT_TRUE(r.window.patch_enabled);
    EXPECT_EQ(read_file(r.path), r.on_disk);
    EXPECT_EQ(r.image_bytes(), r.on_disk);
    EXPECT_TRUE(std::filesystem::is_empty(r.journals));

    // Once the cause is gone, the same run patches the real bytes.
    r.window.events.clear();
    EXPECT_EQ(r.run(), RunOutcome::saved);
    EXPECT_EQ(r.window.messages(), std::vector<std::string>{kSuccess});
    EXPECT_EQ(read_file(r.path), r.image_bytes());
    EXPECT_NE(read_file(r.path), r.on_disk);
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// What a run offers when its save does not happen: a patched copy only where
// the file still holds exactly what was opened, else opening it again.
TEST(RunPatch, OffersACopyOnlyOfAFileThatHoldsWhatWasOpened) {
    struct Failing : FaultyCalls {
        std::string call;  // the call that fails, with `error`
        std::errc error{};
        bool every_time = false;  // else once
        bool failed_once = false;
        std::error_code open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) override {
            if (call == "open_for_update") return std::make_error_code(error);
            return FaultyCalls::open_for_update(path, handle, info);
        }
        std::error_code try_lock(Handle handle) override {
            if (call == "try_lock") return std::make_error_code(error);
            return FaultyCalls::try_lock(handle);
        }
        std::error_code write_at(Handle handle, std::int64_t offset, const std::uint8_t* data, std::size_t size,
                                 std::size_t& written) override {
            // The first write is the journal's, the second the file's; a
            // write that fails every time leaves the file half-written.
            if (call == "write_at" && count("write") == 1 && (every_time || !failed_once)) {
                failed_once = true;
                return std::make_error_code(error);
            }
            return FaultyCalls::write_at(handle, offset, data, size, written);
        }
    };
    struct Row {
        const char* what;
        std::string call;
        std::errc error;
        bool changed_by_another;
        RunOffer offer;
        bool every_time = false;
    };
    for (const Row& row : {
             Row{"saved", "", {}, false, RunOffer::none},
             Row{"the file may not be written", "open_for_update", std::errc::permission_denied, false,
                 RunOffer::patched_copy},
             Row{"a read-only device", "open_for_update", std::errc::read_only_file_system, false, RunOffer::patched_copy},
             Row{"the device full at the file's write, put back", "write_at", std::errc::no_space_on_device, false,
                 RunOffer::patched_copy},
             Row{"another run saving it", "try_lock", std::errc::resource_unavailable_try_again, false,
                 RunOffer::open_again},
             Row{"another program changed a byte after the open", "", {}, true, RunOffer::open_again},
             Row{"every write failing, the file left half-written", "write_at", std::errc::io_error, false,
                 RunOffer::none, true},
         }) {
        SCOPED_TRACE(row.what);
        LoadedVoice r(voice_with({1, 19}));
        if (row.changed_by_another) {
            ByteString edited = r.on_disk;
            edited[100] ^= 0x20;
            write_file(r.path, edited);
        }
        Failing calls;
        calls.call = row.call;
        calls.error = row.error;
        calls.every_time = row.every_time;
        WindowControls shown = WindowControls{}.after_open();
        shown.tick({1, 19});
        const RunReport report = run_patch(r.image, shown, r.journals, calls);
        EXPECT_EQ(report.outcome, row.call.empty() && !row.changed_by_another ? RunOutcome::saved : RunOutcome::save_failed);
        EXPECT_EQ(report.offer, row.offer);
    }
}

}  // namespace
}  // namespace tarnwick
