#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tarnwick {

// How the engine reaches the person at the screen: a modal box with the text,
// the single button OK, no icon and the caption kApplicationTitle. The call
// returns once the box has been dismissed.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void show_message(const std::string& text) = 0;
};

// Every text the program shows a person, in one place.
namespace messages {

inline constexpr std::string_view kApplicationTitle = "TTS_Tarnwick";
inline constexpr std::string_view kNotVoiceFile = "The specified file is not a valid TTS voice file.";
inline constexpr std::string_view kPatchedSuccessfully =
    "File patched successfully! Copy the VPM voice file back to your GSP.";
inline constexpr std::string_view kNothingToPatch = "Could not find any abbreviation to patch.";
inline constexpr std::string_view kAreaNotLocated =
    "Could not locate the abbreviation area in the voice file. The file was not changed.";

// Why a file could not be read or written, where the system gives no reason of its own.
inline constexpr std::string_view kReasonFolder = "it is a folder, not a file";
inline constexpr std::string_view kReasonNotRegularFile = "it is not a regular file";
inline constexpr std::string_view kReasonTooLarge = "it is larger than 2,147,483,647 bytes";
inline constexpr std::string_view kReasonNoFileOpen = "no voice file is open";
inline constexpr std::string_view kReasonGone = "it was moved or deleted after it was opened";
inline constexpr std::string_view kReasonReadOnlyMedium = "the disk it is on is read-only";
inline constexpr std::string_view kReasonNotWritable =
    "you may not write to it (it is read-only, or it belongs to someone else)";
inline constexpr std::string_view kReasonChangedSinceOpened =
    "it was changed by another program after it was opened; open it again";
inline constexpr std::string_view kReasonUnreadable = "its bytes could not be read back to check them";
inline constexpr std::string_view kReasonNoJournalFolder =
    "there is no folder for its save journal (neither XDG_DATA_HOME nor HOME is set)";
std::string reason_short_read(std::size_t got, std::size_t expected);
std::string reason_out_of_memory(std::int64_t size);
std::string reason_journal_failed(const std::filesystem::path& folder, std::string_view why);
std::string reason_journal_in_the_way(const std::filesystem::path& journal);

// A path as UTF-8 text, whatever the system's own encoding of it.
std::string path_for_people(const std::filesystem::path& path);

std::string already_patched(std::string_view patch_name);
std::string not_found(std::string_view patch_name);
std::string cannot_open(std::string_view path, std::string_view reason);
std::string cannot_save(std::string_view path, std::string_view reason);
std::string cannot_save_recovery_pending(std::string_view path, std::string_view reason);

// Told once, when a voice file is opened, about a save of it that was interrupted.
std::string recovered_interrupted_save(std::string_view path);
std::string recovery_left_alone(std::string_view path, const std::filesystem::path& journal);
std::string recovery_failed(std::string_view path, std::string_view reason);
std::string browser_unavailable(std::string_view address);

}  // namespace messages
}  // namespace tarnwick
