// Every text the program shows people: messages, captions and the page's own words.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/byte_string.h"
#include "engine/outcomes.h"

namespace tarnwick {

// How much a message weighs: told for information, a refusal (nothing was
// done, and why), or a failure (something went wrong while doing it). The
// window shows them alike; the command line sends refusals and failures to
// its standard error.
enum class MessageKind { information, refusal, failure };

struct Message {
    MessageKind kind = MessageKind::information;
    std::string text;

    bool operator==(const Message&) const = default;
};

// A question a front end asks with Yes and No, in the engine's words.
struct Question {
    std::string text;
    bool yes_by_default = false;

    bool operator==(const Question&) const = default;
};

// How the engine reaches the person at the screen: a modal box with the text,
// the single button OK, no icon and the caption kApplicationTitle. The call
// returns once the box has been dismissed.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void show_message(const Message& message) = 0;
};

// Messages kept in the order they were told, for a report to hand on.
class MessageList final : public MessageSink {
public:
    void show_message(const Message& message) override { messages.push_back(message); }
    std::vector<Message> messages;
};

// Every message the engine and the windows show a person, and the words for
// what the engine reports as values, in one place. (The survey's words for a
// voice are in voice_survey, the command line's own in cli/.)
namespace messages {

inline constexpr std::string_view kApplicationTitle = "TTS_Tarnwick";

// The windows' captions and texts as stored (a doubled ampersand shows as
// one), for every front end that shows them.
namespace captions {
inline constexpr std::string_view kTitle = "TTS_Tarnwick v";  // then the version
inline constexpr std::string_view kAboutMenu = "About";
inline constexpr std::string_view kOpen = "Open TTS Voice File";
inline constexpr std::string_view kPatch = "Patch && Save";
inline constexpr std::string_view kOpenDialogTitle = "Open Garmin TTS Voice File...";
inline constexpr std::string_view kOpenDialogFilter = "Garmin TTS (*.vpm;*.rgn)";
// The extensions the filter offers, for a dialog that takes them one by one.
inline constexpr std::array<std::string_view, 2> kVoiceExtensions{".vpm", ".rgn"};
inline constexpr std::string_view kInstructions =
    "Select changes you want to apply to your voice file. The 'English' tab can be used for all English "
    "voices. You can check items in multiple tabs. Click the \"Patch && Save\" button to scan the TTS file "
    "and apply the selected changes. The modified file will be automatically saved. Make sure to keep a "
    "backup of the original TTS file.";
inline constexpr std::string_view kAboutTitle = "About TTSTarnwick";
inline constexpr std::string_view kAboutName = "Garmin TTS Tarnwick v";  // then the version
inline constexpr std::string_view kAboutMaker = "Created by Pellbrook";
inline constexpr std::string_view kAboutFind = "Find latest version here:";
inline constexpr std::string_view kMakerAddress = "https://example.com/tarnwick";
inline constexpr std::string_view kAboutClose = "Close";
}  // namespace captions

inline constexpr std::string_view kNotVoiceFile = "The specified file is not a valid TTS voice file.";
inline constexpr std::string_view kPatchedSuccessfully =
    "File patched successfully! Copy the VPM voice file back to your GSP.";
inline constexpr std::string_view kNothingToPatch = "Could not find any abbreviation to patch.";
// Asked after a file that looks half-way through an interrupted save; No is the default.
inline constexpr std::string_view kPutBackHalfWay = "Put it back as it was before that save?";
inline constexpr std::string_view kAreaNotLocated =
    "Could not locate the abbreviation area in the voice file. The file was not changed.";

// Why a file could not be read or written, in words that fit after
// "Could not open the file "...": " and "Could not save the file "...": ".
std::string reason_text(const Problem& problem);

// A count with its thousands set apart: "35,584".
std::string grouped_digits(std::int64_t count);

// A path as UTF-8 text, whatever the system's own encoding of it.
std::string path_for_people(const std::filesystem::path& path);

std::string already_patched(std::string_view patch_name);
std::string not_found(std::string_view patch_name);
std::string cannot_open(std::string_view path, std::string_view reason);
std::string cannot_save(std::string_view path, std::string_view reason);
std::string cannot_save_not_put_back(std::string_view path, std::string_view reason);
// The browser page's own: a file it could not write, nor put back as it was.
std::string cannot_save_in_browser(std::string_view path, std::string_view reason);

// Told once, when a voice file is opened, about earlier saves.
Message recovery_message(const RecoveryEvent& event, std::string_view path);
std::string recovery_text(const RecoveryEvent& event, std::string_view path);
// The file at `path` looks cut off half-way through the save of `saved_path`
// begun at `saved_ns`.
std::string looks_half_way(std::string_view path, std::string_view saved_path, std::int64_t saved_ns);
// The text of a failed save, as the patch run shows it.
std::string save_failure_text(std::string_view path, SaveStatus status, const Problem& problem);
std::string browser_unavailable(std::string_view address);

// Taking a patch back, and the history of saves it reads.
namespace undo {
// "8 December 2026 at 14:31", in the computer's own time zone.
std::string when(std::int64_t ns);
// "7 options", "1 option".
std::string option_count(std::size_t options);
std::string undone(std::string_view path, std::int64_t saved_ns, std::size_t options);
std::string would_undo(std::string_view path, std::int64_t saved_ns, std::size_t options);
// A file an interrupted save left half-written, put back as it was before it.
std::string put_back(std::string_view path, std::int64_t saved_ns, std::size_t options);
std::string would_put_back(std::string_view path, std::int64_t saved_ns, std::size_t options);
std::string never_saved(std::string_view path);
std::string changed_since(std::string_view path);
std::string all_undone(std::string_view path);
std::string record_does_not_fit(std::string_view path);
std::string history_unreadable(std::string_view reason);
// After a save that stands but could not be recorded yet.
std::string not_recorded(std::string_view reason);
// `history --forget`: how many records of the file's saves went.
std::string forgot(int records);
// The window's line about the recorded save that left a voice as it is:
// "Patched with this program on 8 December 2026: 7 options".
std::string last_patch_line(std::int64_t saved_ns, std::size_t options);
// The same for a voice that looks half-way through an interrupted save:
// "Interrupted half-way on 8 December 2026: 7 options".
std::string half_way_line(std::int64_t saved_ns, std::size_t options);
// An option that save changed, as its state reads: "changed 8 Dec" (no
// longer than "already changed", so that it fits where that does).
std::string changed_on(std::int64_t saved_ns);
// Asked before an undo.
std::string undo_question(std::int64_t saved_ns, std::size_t options);
inline constexpr std::string_view kUndoButton = "Undo Last Patch";
}  // namespace undo

// The browser page's own words, beside the window's.
namespace page {
// A folder was dropped that holds no voice of its own (its subfolders are not looked in).
inline constexpr std::string_view kFolderHoldsNoVoice = "No voice file (.vpm or .rgn) lies directly in that folder.";
inline constexpr std::string_view kNewVersion = "A new version is available —";
inline constexpr std::string_view kReload = "Reload";
inline constexpr std::string_view kDownloadCopy = "Download Patched Copy";
inline constexpr std::string_view kOpenAgain = "Open Again";
// Told once, where the browser keeps the page's history only as long as it likes.
inline constexpr std::string_view kHistoryMayGo =
    "This browser may clear what this page records of your patches without a word (it did not agree to keep it, or "
    "this is a private window), and \"Undo Last Patch\" with it: taking a patch back may not outlive this visit.";
inline constexpr std::string_view kDropHint =
    "You can also drop a voice file anywhere on this page. It stays on your computer: nothing is sent anywhere.";
// A fault of the page itself, caught where a command ends.
inline constexpr std::string_view kUnexpected =
    "Something went wrong in this page that it did not expect. Open the file again to see what it holds before you "
    "patch it.";
std::string reading(std::string_view name);
// What the last save did, kept on the page until another file is opened.
std::string saved(std::string_view name, std::size_t options);
// Where the page may not write into the file: what a patch or an undo left
// is a download, and the file on the device is as it was until it is copied over.
std::string downloaded(std::string_view name);
std::string undo_downloaded(std::string_view name, std::int64_t saved_ns, std::size_t options);
// The survey's line once what the page shows is the copy it downloaded.
std::string downloaded_copy(std::string_view description);
// Several voices the page could only read, patched (or taken back) and
// downloaded together as one zip of that name.
inline constexpr std::string_view kPatchedVoicesZip = "TTS_Tarnwick patched voices.zip";
inline constexpr std::string_view kVoicesBeforeZip = "TTS_Tarnwick voices as before.zip";
std::string batch_downloaded(std::string_view zip);
std::string batch_undo_downloaded(std::string_view zip);
// After an in-place save failed with the file unchanged.
std::string download_offered(std::string_view name);
// After an in-place save refused because the file is not as it was opened.
std::string open_again_offered(std::string_view name);
}  // namespace page

// Several voices at once: the window's and the page's words for a batch.
namespace batch {
inline constexpr std::string_view kTitle = "TTS_Tarnwick: Several Voices";
inline constexpr std::string_view kInstructions =
    "Tick the changes you want. Each is made in every voice where it is ready; a voice that already has it, or "
    "never had the abbreviation, is left as it is. \"Patch && Save All\" saves each voice in turn.";
inline constexpr std::string_view kOptionHeading = "Change";
inline constexpr std::string_view kPatchAll = "Patch && Save All";
inline constexpr std::string_view kUndoAll = "Undo All";
inline constexpr std::string_view kClose = "Close";
inline constexpr std::string_view kRefused = "Refused: the file is as it was.";
inline constexpr std::string_view kNothingToChange = "Nothing to change: the file is as it was.";
inline constexpr std::string_view kNotSaved = "Not saved: the file is as it was.";
inline constexpr std::string_view kCutOff =
    "Not saved, and the save was cut off: open this file alone to put it back.";
inline constexpr std::string_view kHalfWayOpenAlone = "Open this file alone to put it back, or to patch it as it is.";
inline constexpr std::string_view kTakenBack = "Taken back: the file is as it was before this batch.";
inline constexpr std::string_view kNotPatchedHere = "Not patched in this batch: left alone.";
inline constexpr std::string_view kNotTakenBack = "Not taken back: the file holds what this batch saved.";
// A voice's column heading: its name, then its kind and size, or that it was not read.
std::string voice_heading(std::string_view name, std::string_view kind, std::int64_t size);
std::string unread_heading(std::string_view name);
// While `done` of `voices` are finished: "Voice 2 of 3" for the one worked on, the last once all are.
std::string progress(std::size_t done, std::size_t voices);
// "Saved with 3 changes."
std::string saved_with(std::size_t changes);
// After the open: "3 voices opened; 2 can be patched."
std::string opened(std::size_t voices, std::size_t patchable);
// "Saved 2 of 3 voices."
std::string patched(std::size_t saved, std::size_t voices);
std::string undo_question(std::size_t voices);
// "Took back the patch of 2 of 2 voices."
std::string undone(std::size_t taken_back, std::size_t of);
// A voice's line in the summary: "demo.vpm: Saved with 3 changes."
std::string summary_line(std::string_view name, std::string_view summary);
}  // namespace batch

// The command line's own words, beside the window's.
namespace cli {
inline constexpr std::string_view kProgram = "tts-tarnwick-cli";
inline constexpr std::string_view kNoInterruptedSave = "No interrupted save was found in this file; nothing was changed.";
inline constexpr std::string_view kChooseOptions = "choose what to apply with --options, --tab or --all";
// An option's word in `apply`'s list, for one the run found ready.
std::string_view ready_option_word(bool dry_run, bool saved);
std::string recover_hint(std::string_view file);
// `apply` on a file that looks half-way through an interrupted save.
std::string half_way_refusal(std::string_view file);
std::string dry_run_summary(int options, std::int64_t bytes, std::int64_t places);
std::string no_command();
// "unknown command "stat"; did you mean "status"?", or a pointer to --help where nothing is near.
std::string unknown_word(std::string_view what, std::string_view word, const std::string* nearest);
std::string name_a_file(std::string_view command);
std::string not_an_option_number(std::string_view whole, int count);
std::string option_out_of_range(std::string_view number, int count);
std::string empty_list_item(std::string_view list);
std::string range_backwards(std::string_view range);
std::string no_such_tab(std::string_view name, const std::vector<std::string>& captions);
// `history`: one recorded save, newest first; the first is what `undo` takes back.
std::string history_line(std::int64_t saved_ns, std::size_t options, std::int64_t bytes, bool undo_takes_it);
// The interrupted save the file looks cut off half-way through, which undo puts back.
std::string half_way_line(std::int64_t saved_ns, std::size_t options, std::int64_t bytes);
inline constexpr std::string_view kNoHistory = "No recorded save of this program left the file as it is.";
// `status`: the recorded save that left the file as it is.
std::string last_save_line(std::int64_t saved_ns, std::size_t options);
// `status`: where the voice's data starts, then its table of options.
std::string data_start_line(std::int64_t offset);
std::string status_header();
std::string status_row(int number, std::string_view tab, std::string_view state, std::string_view label);
// `apply`: an option the run met, and with --verbose the bytes it changed.
std::string apply_row(int number, std::string_view word, std::string_view label);
std::vector<std::string> change_lines(std::int64_t offset, ByteView old_bytes, ByteView new_bytes);
// `history`: an option a recorded save changed.
std::string history_option_line(int number, std::string_view label);
}  // namespace cli

}  // namespace messages
}  // namespace tarnwick
