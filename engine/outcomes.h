// What became of reading and saving, as values: problems, save statuses, recovery events.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace tarnwick {

// What became of reading and saving a voice file, as values: the engine
// passes them on, and user_messages turns them into words for people.

// Why a voice file, or its save journal, could not be read or written.
enum class FileProblem {
    none,
    system_error,          // the system's own words are in `system_words`
    gone,                  // moved or deleted after it was opened
    read_only_medium,
    not_writable,
    folder,
    not_regular_file,
    too_large,             // beyond what signed 32-bit offsets address
    out_of_memory,         // `count` bytes could not be held
    short_read,            // only `count` of `of` bytes could be read
    changed_since_opened,
    unreadable,            // bytes to compare could not be read
    read_back_mismatch,    // the device did not hold what was written to it
    another_run_saving,    // another run of this program is saving the file now
    in_use,                // another program has it open for writing
    no_space,              // the device has no room for what must be written
    no_file_open,
    no_journal_folder,
    journal_failed,        // in the folder `where`, for the reason in `system_words`
    link,                  // a link where a file of this program's own belongs
    journal_too_long,      // longer than any journal of this program
    not_a_journal,         // not in this program's journal format, or damaged
    journal_folder_is_link,        // `where`
    journal_folder_not_folder,     // `where`
    journal_folder_foreign,        // `where` belongs to another user
    journal_folder_open_to_others, // others may write in `where`
    history_failed,                // the history folder `where` could not be used (`system_words`)
    history_folder_untrusted,      // `where` is not a folder of the user's own that only they may write to
};

// The system's own words for an error.
std::string system_words(std::error_code ec);

struct Problem {
    FileProblem what = FileProblem::none;
    std::string system_words;
    std::filesystem::path where;
    std::int64_t count = 0;
    std::int64_t of = 0;

    explicit operator bool() const { return what != FileProblem::none; }

    static Problem of_kind(FileProblem what) { return {what, {}, {}, 0, 0}; }
    static Problem at(FileProblem what, std::filesystem::path where) { return {what, {}, std::move(where), 0, 0}; }
    // A system error, mapped to a problem of its own where there is one.
    static Problem from_system(std::error_code ec);
    // A system error met while opening a file to write it, where a missing
    // file means one moved or deleted since it was opened.
    static Problem opening_to_write(std::error_code ec);
};

// What became of a command on one file, the same for every report: done,
// nothing there to do (the file left alone), or refused or failed. A front
// end that ends with a status takes the worst over its files.
enum class Verdict { done = 0, nothing_to_do = 1, refused = 2 };

enum class SaveStatus {
    saved,
    refused,       // nothing was written to the file
    rolled_back,   // a write failed and the file was put back as it was (read back to be sure)
    not_put_back,  // a write failed and the file could not be put back; the save is recorded as interrupted
};

// What opening a voice file found out about earlier saves, told once,
// before the file is used. Nothing found here ever writes to a file.
struct RecoveryEvent {
    enum class What {
        looks_half_way,      // the file looks cut off half-way through the save of `saved_path` begun at `saved_ns`
        not_recorded,        // the journal `journal` could not be made a record (`problem`); it is kept
        another_run_saving,  // a save of it is running now: what is shown may change
        not_a_journal,       // `journal` lies in the folder but is none of ours (`problem`); left alone
        folder_untrusted,    // the journal or history folder is not the user's own (`problem`); not read
    };
    What what;
    std::filesystem::path journal;  // the journal concerned, where there is one
    Problem problem;
    std::string saved_path;     // the path the save was of, UTF-8
    std::int64_t saved_ns = 0;  // when that save began
};

}  // namespace tarnwick
