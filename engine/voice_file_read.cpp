#include "engine/voice_file_read.h"

#include "engine/journal_folder.h"
#include "engine/journal_records.h"
#include "engine/save_history.h"

namespace tarnwick {

using What = RecoveryEvent::What;

VoiceFileRead read_voice_file(const std::filesystem::path& path, const std::filesystem::path& journal_folder,
                              RecoveryMode mode, std::int64_t max_length, FileSystemCalls& calls) {
    VoiceFileRead out;
    JournalFolder journals(calls);
    SaveHistory history(calls, history_folder_beside(journal_folder));
    bool untrusted = false;
    if (!journal_folder.empty()) {
        Problem problem = journals.open(journal_folder, false);
        if (!problem) problem = history.open(false);
        untrusted = static_cast<bool>(problem);
        if (problem) out.events.push_back({What::folder_untrusted, {}, std::move(problem), {}, 0});
    }

    // Looking opens the file for reading and takes no lock, so that it never
    // stands in a save's way; nor does a real open, which never writes to it.
    Handle file{};
    FileInfo info;
    bool saving_now = false;
    if (const std::error_code ec = calls.open_for_reading(path, file, info)) {
        out.problem = Problem::from_system(ec);
    } else {
        Closer closer(calls, file);
        if (info.is_regular) {
            bool held = false;
            saving_now = !calls.lock_held(file, held) && held;
        }
        out.problem = read_whole_open_file(calls, file, info, max_length, out.bytes);
        if (!out.problem) out.identity = info.identity;
    }
    if (out.problem) out.bytes.clear();

    // Where either folder cannot be trusted nothing is written in it.
    const bool look_only = mode == RecoveryMode::look_only || untrusted;
    RetiredJournals retired = retire_journals(journals, history, look_only, out.bytes);
    for (RecoveryEvent& event : retired.events) out.events.push_back(std::move(event));
    out.pending = std::move(retired.pending);
    if (saving_now) out.events.push_back({What::another_run_saving, {}, {}, {}, 0});
    return out;
}

}  // namespace tarnwick
