#include "engine/voice_file_read.h"

#include <algorithm>

#include "engine/journal_folder.h"

namespace tarnwick {

using What = RecoveryEvent::What;

namespace {

// The voice file as a read that deals with journals holds it.
struct OpenVoice {
    FileSystemCalls& calls;
    JournalFolder& journals;
    Handle file;
    RecoveryMode mode;
    std::error_code cannot_update;  // why it could not be opened to write, when it could not
};

// Deals with what one journal's save left in the file, as recovery_rules
// decides and the mode allows, and tells of it in `out`. True when it wrote,
// or tried to.
bool deal_with_journal(const OpenVoice& open, const JournalEntry& entry, JournalMatch pass, std::int64_t modified_ns,
                       VoiceFileRead& out) {
    FileSystemCalls& calls = open.calls;
    JournalFolder& journals = open.journals;
    const std::error_code& cannot_update = open.cannot_update;
    const std::filesystem::path journal_path = journals.path_of(entry.name);
    const JournalReading reading = reading_of(entry, pass, out.bytes, modified_ns, journals);
    const RecoveryAction action = decide_recovery(reading).action;
    const bool asked = action == RecoveryAction::tell_torn_copy && open.mode == RecoveryMode::repair_copies;
    RecoveryEvent told{What::torn_copy, journal_path, {}, entry.journal.file_path, entry.written_ns};
    if (action == RecoveryAction::ignore) return false;
    if (action == RecoveryAction::leave_alone) {
        told.what = What::changed_since;
        out.events.push_back(std::move(told));
        return false;
    }
    if (action == RecoveryAction::tell_torn_copy && !asked) {
        out.events.push_back(std::move(told));
        return false;
    }
    if (open.mode == RecoveryMode::look_only) {
        if (action == RecoveryAction::put_back) {
            told.what = What::would_roll_back;
            out.events.push_back(std::move(told));
        }
        return false;
    }
    if (cannot_update) {
        if (action == RecoveryAction::retire) return false;  // told of by the next open that can
        told.what = What::failed;
        told.problem = Problem::opening_to_write(cannot_update);
        out.events.push_back(std::move(told));
        return false;
    }
    if (action == RecoveryAction::retire) {
        // A save killed after its writes left them in the system's
        // cache: they reach the device before the journal goes.
        if (!calls.flush(open.file)) journals.remove_journal(entry.name);
        return false;
    }
    // A journal as new as these writes, so that the file's time
    // after them never reads as a change made since. The old one
    // goes once the new one is whole; either puts the file back.
    // Not for a copy's: renewed, it would look newer than a later
    // change of the file it was written for.
    const std::string journal_name = asked ? entry.name : journals.renew(entry);
    told.journal = journals.path_of(journal_name);
    if (Problem problem = write_verified(calls, open.file, entry.journal.ranges, RangeSide::old_bytes)) {
        told.what = What::failed;
        told.problem = std::move(problem);
        out.events.push_back(std::move(told));
        return true;  // tried: the file may hold part of it
    }
    for (const ChangedRange& range : entry.journal.ranges) {
        std::copy(range.old_bytes.begin(), range.old_bytes.end(),
                  out.bytes.begin() + static_cast<std::ptrdiff_t>(range.offset));
    }
    // A copy's journal stays for the file it was written for.
    if (!asked) journals.remove_journal(journal_name);
    told.what = asked ? What::copy_put_back : What::rolled_back;
    out.events.push_back(std::move(told));
    return true;
}

// Opens the journal folder where there is one, telling of an untrusted folder
// and of files in it that are no journals of this program.
void open_journal_folder(JournalFolder& journals, const std::filesystem::path& journal_folder,
                         std::vector<RecoveryEvent>& events) {
    if (!journal_folder.empty()) {
        if (Problem problem = journals.open(journal_folder, false)) {
            events.push_back({What::folder_untrusted, {}, std::move(problem), {}, 0});
        }
    }
    std::vector<std::pair<std::string, Problem>> strangers;
    journals.scan(&strangers);
    for (auto& [name, problem] : strangers) {
        events.push_back({What::not_a_journal, journals.path_of(name), std::move(problem), {}, 0});
    }
}

}  // namespace

VoiceFileRead read_voice_file(const std::filesystem::path& path, const std::filesystem::path& journal_folder,
                              RecoveryMode mode, std::int64_t max_length, FileSystemCalls& calls) {
    VoiceFileRead out;
    JournalFolder journals(calls);
    open_journal_folder(journals, journal_folder, out.events);

    const auto read_plainly = [&] {
        out.problem = read_whole_file(path, max_length, out.bytes, out.identity, calls);
        return std::move(out);
    };
    const std::filesystem::path key = calls.resolved(path);
    if (journals.journals().empty() && !journals.has_partials(key)) return read_plainly();

    // Looking opens the file for reading and takes no lock, so that it never
    // stands in a save's way.
    const bool looking = mode == RecoveryMode::look_only;
    Handle file{};
    FileInfo info;
    std::error_code cannot_update = std::make_error_code(std::errc::permission_denied);
    if (!looking) cannot_update = calls.open_for_update(path, file, info);
    if (cannot_update && calls.open_for_reading(path, file, info)) return read_plainly();
    Closer closer(calls, file);

    const std::string key_text = utf8(key);
    const auto related = [&] {
        return journals.has_partials(key) || std::any_of(journals.journals().begin(), journals.journals().end(), [&](const JournalEntry& entry) {
            return match_of(entry.journal, key_text, info.identity) != JournalMatch::none;
        });
    };
    const auto read_open_file = [&] {
        out.problem = read_whole_open_file(calls, file, info, max_length, out.bytes);
        if (!out.problem) out.identity = info.identity;
        if (out.problem) out.bytes.clear();
        return !out.problem;
    };
    if (!info.is_regular || !related()) {
        read_open_file();
        return out;
    }
    const auto saving_now = [&] {
        out.events.push_back({What::another_run_saving, {}, {}, {}, 0});
        read_open_file();
        return std::move(out);
    };
    // Windows refuses a second writer while a save has the file open.
    if (cannot_update == std::errc::device_or_resource_busy) return saving_now();
    if (looking) {
        bool held = false;
        if (!calls.lock_held(file, held) && held) return saving_now();
    } else if (!cannot_update) {
        if (calls.try_lock(file) == std::errc::resource_unavailable_try_again) return saving_now();
        // Under the lock: the run that held it may have finished its journal.
        journals.scan(nullptr);
        journals.remove_partials(key);
    }
    if (!read_open_file()) return out;

    // Journals of this very file first, then those that know it by content.
    const OpenVoice open{calls, journals, file, mode, cannot_update};
    bool wrote = false;
    for (const JournalMatch pass : {JournalMatch::by_path, JournalMatch::by_identity, JournalMatch::by_content}) {
        for (const JournalEntry& entry : journals.journals()) {
            if (match_of(entry.journal, key_text, info.identity) != pass) continue;
            wrote = deal_with_journal(open, entry, pass, info.identity.modified_ns, out) || wrote;
        }
    }
    if (wrote) {
        // What the file holds now, after every write that was tried.
        if (calls.describe(file, info) || !read_open_file()) out.bytes.clear();
    }
    return out;
}

}  // namespace tarnwick
