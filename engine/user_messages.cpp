#include "engine/user_messages.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace tarnwick::messages {
namespace {

std::string join(std::initializer_list<std::string_view> pieces) {
    std::string text;
    for (std::string_view piece : pieces) text += piece;
    return text;
}

}  // namespace

namespace {

std::string in_quotes(const std::filesystem::path& path) { return "\"" + path_for_people(path) + "\""; }

// A time as `format` (strftime's) writes it in the computer's own time zone,
// without a leading zero: "8 December 2026 at 13:45".
std::string local_time_text(std::int64_t ns, const char* format) {
    const std::time_t seconds = static_cast<std::time_t>(ns / 1'000'000'000);
    std::tm local{};
#ifdef _WIN32
    // Windows' C runtime keeps this buffer per thread.
    const std::tm* converted = std::localtime(&seconds);
    if (converted == nullptr) return "an unknown time";
    local = *converted;
#else
    if (localtime_r(&seconds, &local) == nullptr) return "an unknown time";
#endif
    char text[64];
    if (std::strftime(text, sizeof text, format, &local) == 0) return "an unknown time";
    return text[0] == '0' ? text + 1 : text;
}

std::string when_text(std::int64_t ns) { return local_time_text(ns, "%d %B %Y at %H:%M"); }

std::string journal_folder(const Problem& problem, std::string_view what) {
    return join({"the folder of save journals ", in_quotes(problem.where), " ", what});
}

}  // namespace

std::string reason_text(const Problem& problem) {
    switch (problem.what) {
        case FileProblem::none: return {};
        case FileProblem::system_error: return problem.system_words;
#ifdef __EMSCRIPTEN__
        // A browser keeps a file only by its handle: a device pulled out looks the same.
        case FileProblem::gone: return "it was moved or deleted, or its device was removed, after it was opened";
        case FileProblem::not_writable: return "this page was not allowed to write to it";
        case FileProblem::another_run_saving: return "another tab of this page is saving it right now";
        // A browser writes a patched copy of the whole file beside it, then swaps it in.
        case FileProblem::no_space:
            return "there is not enough free space on its device: the browser writes a patched copy of the whole "
                   "file beside it before it replaces the file, so the device needs free space as large as the file";
#else
        case FileProblem::gone: return "it was moved or deleted after it was opened";
        case FileProblem::not_writable: return "you may not write to it (it is read-only, or it belongs to someone else)";
        case FileProblem::another_run_saving: return "another run of this program is saving it right now";
        case FileProblem::no_space: return "there is not enough free space on its device";
#endif
        case FileProblem::read_only_medium: return "the disk it is on is read-only";
        case FileProblem::folder: return "it is a folder, not a file";
        case FileProblem::not_regular_file: return "it is not a regular file";
        case FileProblem::too_large: return "it is larger than 2,147,483,647 bytes";
        case FileProblem::out_of_memory:
            return "there is not enough memory to hold its " + std::to_string(problem.count) + " bytes";
        case FileProblem::short_read:
            return "only " + std::to_string(problem.count) + " of its " + std::to_string(problem.of) +
                   " bytes could be read";
        case FileProblem::changed_since_opened: return "it was changed by another program after it was opened; open it again";
        case FileProblem::unreadable: return "its bytes could not be read back to check them";
        case FileProblem::read_back_mismatch:
            return "the device did not hold the bytes written to it when they were read back";
        case FileProblem::in_use: return "another program, or another run of this one, has it open for writing";
        case FileProblem::no_file_open: return "no voice file is open";
        case FileProblem::no_journal_folder:
#ifdef _WIN32
            return "there is no folder for its save journal (LOCALAPPDATA is not set)";
#else
            return "there is no folder for its save journal (neither XDG_DATA_HOME nor HOME is set)";
#endif
        case FileProblem::journal_failed:
            return join({"its save journal could not be written in the folder ", in_quotes(problem.where), ": ",
                         problem.system_words});
        case FileProblem::link: return "it is a link";
        case FileProblem::journal_too_long: return "it is longer than any journal of this program";
        case FileProblem::not_a_journal: return "it is not in this program's journal format, or it is damaged";
        case FileProblem::journal_folder_is_link: return journal_folder(problem, "is a link, not a folder of your own");
        case FileProblem::journal_folder_not_folder: return journal_folder(problem, "is not a folder");
        case FileProblem::journal_folder_foreign: return journal_folder(problem, "belongs to another user");
        case FileProblem::history_failed:
            return join({"the folder of patch history ", in_quotes(problem.where), " could not be used: ",
                         problem.system_words});
        case FileProblem::history_folder_untrusted:
            return join({"the folder of patch history ", in_quotes(problem.where),
                         " is not a folder of your own that only you may write to"});
        case FileProblem::journal_folder_open_to_others:
#ifdef _WIN32
            return journal_folder(problem, "may be written by other users; make it yours alone (its Security settings)");
#else
            return journal_folder(problem, "may be written by other users; make it yours alone (chmod 700)");
#endif
    }
    return {};
}

std::string grouped_digits(std::int64_t count) {
    std::string digits = std::to_string(count);
    const std::ptrdiff_t first = digits.starts_with('-') ? 1 : 0;
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > first; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return digits;
}

std::string path_for_people(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string already_patched(std::string_view patch_name) {
    return join({"The ", patch_name, " abbreviation is already patched."});
}

std::string not_found(std::string_view patch_name) {
    return join({"Could not find the ", patch_name,
                 " abbreviation. Make sure you opened the proper language voice."});
}

std::string cannot_open(std::string_view path, std::string_view reason) {
    return join({"Could not open the file \"", path, "\": ", reason, "."});
}

std::string cannot_save(std::string_view path, std::string_view reason) {
    return join({"Could not save the file \"", path, "\": ", reason,
                 ". The file was left unchanged."});
}

std::string save_failure_text(std::string_view path, SaveStatus status, const Problem& problem) {
    const std::string reason = reason_text(problem);
    if (status != SaveStatus::not_put_back) return cannot_save(path, reason);
#ifdef __EMSCRIPTEN__
    // A page keeps no journal past the tab: the person must look for themselves.
    return cannot_save_in_browser(path, reason);
#else
    return cannot_save_not_put_back(path, reason);
#endif
}

std::string cannot_save_not_put_back(std::string_view path, std::string_view reason) {
    return join({"Could not save the file \"", path, "\": ", reason,
                 ". It could not be put back as it was either; open it again with this program to put it back as it "
                 "was before this save."});
}

std::string cannot_save_in_browser(std::string_view path, std::string_view reason) {
    return join({"Could not save the file \"", path, "\": ", reason,
                 ". It could not be put back as it was either; open it again to see what it holds, and keep your copy "
                 "of the original at hand."});
}

std::string looks_half_way(std::string_view path, std::string_view saved_path, std::int64_t saved_ns) {
    const std::string of = saved_path == path || saved_path.empty() ? std::string()
                                                                     : join({" (a save of \"", saved_path, "\")"});
    return join({"The file \"", path, "\" looks half-way through a save interrupted on ", when_text(saved_ns), of,
                 ": it holds some of that save's changes and not the others. Nothing was changed."});
}

Message recovery_message(const RecoveryEvent& event, std::string_view path) {
    using What = RecoveryEvent::What;
    MessageKind kind = MessageKind::information;
    if (event.what == What::looks_half_way) kind = MessageKind::refusal;
    if (event.what == What::not_recorded || event.what == What::folder_untrusted) kind = MessageKind::failure;
    return {kind, recovery_text(event, path)};
}

std::string recovery_text(const RecoveryEvent& event, std::string_view path) {
    using What = RecoveryEvent::What;
    switch (event.what) {
        case What::looks_half_way: return looks_half_way(path, event.saved_path, event.saved_ns);
        case What::not_recorded:
            return join({"The journal ", in_quotes(event.journal), " of a save interrupted on ", when_text(event.saved_ns),
                         " could not be added to the history of patches: ", reason_text(event.problem),
                         ". It was left where it is, and is added the next time a voice is opened with this program."});
        case What::another_run_saving:
            return join({"Another run of this program is saving the file \"", path, "\" right now; what is shown may "
                         "change once that save ends."});
        case What::not_a_journal:
            return join({"The file ", in_quotes(event.journal), " lies among this program's save journals but is not one (",
                         reason_text(event.problem), "); it was left alone. Remove it if you do not know what it is."});
        case What::folder_untrusted:
            return join({"Interrupted saves of the file \"", path, "\" could not be looked for: ",
                         reason_text(event.problem), "."});
    }
    return {};
}

namespace page {

std::string reading(std::string_view name) { return join({"Reading \"", name, "\"…"}); }

std::string saved(std::string_view name, std::size_t options) {
    return join({"Saved \"", name, "\" with ", std::to_string(options), options == 1 ? " change:" : " changes:"});
}

std::string batch_downloaded(std::string_view zip) {
    return join({"The patched voices were downloaded together as \"", zip,
                 "\" (look in your browser's downloads). Copy each file in it over the file of the same name on your "
                 "device; until you do, those files are unchanged."});
}

std::string batch_undo_downloaded(std::string_view zip) {
    return join({"The voices as they were before this batch were downloaded together as \"", zip,
                 "\" (look in your browser's downloads). Copy each file in it over the file of the same name on your "
                 "device; until you do, those files still hold the patch."});
}

std::string downloaded(std::string_view name) {
    return join({"The patched voice was downloaded as \"", name, "\" (look in your browser's downloads). The file \"",
                 name, "\" on your device is unchanged until you copy the download over it."});
}

std::string undo_downloaded(std::string_view name, std::int64_t saved_ns, std::size_t options) {
    return join({"The voice as it was before the patch saved on ", when_text(saved_ns), " (", undo::option_count(options),
                 ") was downloaded as \"", name, "\" (look in your browser's downloads). The file \"", name,
                 "\" on your device still holds that patch until you copy the download over it."});
}

std::string downloaded_copy(std::string_view description) { return join({"The downloaded copy of ", description}); }

std::string download_offered(std::string_view name) {
    return join({"\"", name, "\" was left unchanged. You can download a patched copy instead and copy it over "
                 "the original yourself."});
}

std::string open_again_offered(std::string_view name) {
    return join({"\"", name, "\" was left unchanged, but it is no longer as it was when it was opened here, so a "
                 "patched copy of what was opened would lose that change. Open it again to patch it as it is now; "
                 "the options you ticked stay ticked."});
}

}  // namespace page

namespace undo {

std::string when(std::int64_t ns) { return when_text(ns); }

std::string option_count(std::size_t options) {
    return std::to_string(options) + (options == 1 ? " option" : " options");
}

std::string undone(std::string_view path, std::int64_t saved_ns, std::size_t options) {
    return join({"Took back the patch saved on ", when_text(saved_ns), " (", option_count(options), "): the file \"",
                 path, "\" is as it was before it."});
}

std::string would_undo(std::string_view path, std::int64_t saved_ns, std::size_t options) {
    return join({"Would take back the patch saved on ", when_text(saved_ns), " (", option_count(options),
                 ") from the file \"", path, "\"; the file was not written."});
}

std::string put_back(std::string_view path, std::int64_t saved_ns, std::size_t options) {
    return join({"Put the file \"", path, "\" back as it was before the save interrupted on ", when_text(saved_ns), " (",
                 option_count(options), ")."});
}

std::string would_put_back(std::string_view path, std::int64_t saved_ns, std::size_t options) {
    return join({"Would put the file \"", path, "\" back as it was before the save interrupted on ", when_text(saved_ns),
                 " (", option_count(options), "); the file was not written."});
}

std::string never_saved(std::string_view path) {
    return join({"Nothing to undo in the file \"", path,
                 "\": this program has no record of a save that left it as it is. It was left unchanged."});
}

std::string changed_since(std::string_view path) {
    return join({"Nothing to undo in the file \"", path,
                 "\": it was changed since this program last saved it. It was left unchanged."});
}

std::string all_undone(std::string_view path) {
    return join({"Nothing to undo in the file \"", path,
                 "\": every patch this program recorded of it has been taken back. It was left unchanged."});
}

std::string record_does_not_fit(std::string_view path) {
    return join({"Nothing was undone in the file \"", path,
                 "\": the record of its last save does not fit it. It was left unchanged."});
}

std::string history_unreadable(std::string_view reason) {
    return join({"The history of patches could not be read: ", reason, ". Nothing was changed."});
}

std::string last_patch_line(std::int64_t saved_ns, std::size_t options) {
    return join({"Patched with this program on ", local_time_text(saved_ns, "%d %B %Y"), ": ", option_count(options)});
}

std::string half_way_line(std::int64_t saved_ns, std::size_t options) {
    return join({"Interrupted half-way on ", local_time_text(saved_ns, "%d %B %Y"), ": ", option_count(options)});
}

std::string changed_on(std::int64_t saved_ns) { return "changed " + local_time_text(saved_ns, "%d %b"); }

std::string undo_question(std::int64_t saved_ns, std::size_t options) {
    return join({"Take back the patch saved on ", when_text(saved_ns), " (", option_count(options),
                 ")? The file will be as it was before it."});
}

std::string forgot(int records) {
    return records == 0 ? std::string("No recorded save of this file was found; nothing was forgotten.")
                        : join({"Forgot ", std::to_string(records), records == 1 ? " recorded save" : " recorded saves",
                                " of this file."});
}

std::string not_recorded(std::string_view reason) {
    return join({"This save could not be recorded yet: ", reason,
                 ". Its journal was kept, and it is recorded the next time a voice is opened with this program."});
}

}  // namespace undo

namespace batch {
namespace {
std::string voices_text(std::size_t voices) { return std::to_string(voices) + (voices == 1 ? " voice" : " voices"); }
}  // namespace

std::string voice_heading(std::string_view name, std::string_view kind, std::int64_t size) {
    return join({name, "\n", kind, ", ", grouped_digits(size), " bytes"});
}

std::string unread_heading(std::string_view name) { return join({name, "\nnot read"}); }

std::string progress(std::size_t done, std::size_t voices) {
    const std::size_t voice = std::min(done + 1, voices);
    return join({"Voice ", std::to_string(voice), " of ", std::to_string(voices)});
}

std::string saved_with(std::size_t changes) {
    return join({"Saved with ", std::to_string(changes), changes == 1 ? " change." : " changes."});
}

std::string opened(std::size_t voices, std::size_t patchable) {
    return join({voices_text(voices), " opened; ", std::to_string(patchable), " can be patched."});
}

std::string patched(std::size_t saved, std::size_t voices) {
    return join({"Saved ", std::to_string(saved), " of ", voices_text(voices), "."});
}

std::string undo_question(std::size_t voices) {
    return join({"Take back the patch this batch saved in ", voices_text(voices), "?"});
}

std::string undone(std::size_t taken_back, std::size_t of) {
    return join({"Took back the patch of ", std::to_string(taken_back), " of ", voices_text(of), "."});
}

std::string summary_line(std::string_view name, std::string_view summary) { return join({name, ": ", summary}); }

}  // namespace batch

namespace cli {

namespace {
std::string in_quotes(std::string_view text) { return "\"" + std::string(text) + "\""; }
std::string see_help() { return " (see " + std::string(kProgram) + " --help)"; }
}  // namespace

std::string_view ready_option_word(bool dry_run, bool saved) {
    return dry_run ? "would change" : saved ? "changed" : "not saved";
}

std::string recover_hint(std::string_view file) {
    return "to put it back as it was before that save, run: " + std::string(kProgram) + " recover " + in_quotes(file);
}

std::string half_way_refusal(std::string_view file) {
    return "nothing was patched in a file that looks half-way through an interrupted save; put it back with " +
           std::string(kProgram) + " recover " + in_quotes(file) + ", or patch it as it is with --as-is";
}

std::string dry_run_summary(int options, std::int64_t bytes, std::int64_t places) {
    return "Dry run: " + std::to_string(options) + (options == 1 ? " option" : " options") + " would change " +
           grouped_digits(bytes) + " bytes in " + grouped_digits(places) + " places; the file was not written.";
}

std::string no_command() {
    return "no command given; use \"status\", \"apply\", \"recover\", \"history\" or \"undo\"" + see_help();
}

std::string unknown_word(std::string_view what, std::string_view word, const std::string* nearest) {
    const std::string text = "unknown " + std::string(what) + " " + in_quotes(word);
    return nearest != nullptr ? text + "; did you mean " + in_quotes(*nearest) + "?" : text + see_help();
}

std::string name_a_file(std::string_view command) { return std::string(command) + ": name at least one voice file"; }

std::string not_an_option_number(std::string_view whole, int count) {
    return "--options: " + in_quotes(whole) + " is not an option number from 1 to " + std::to_string(count) +
           " or a range such as 1-3";
}

std::string option_out_of_range(std::string_view number, int count) {
    return "--options: " + std::string(number) + " is not an option; options are numbered 1 to " + std::to_string(count);
}

std::string empty_list_item(std::string_view list) { return "--options: an empty item in " + in_quotes(list); }

std::string range_backwards(std::string_view range) { return "--options: the range " + in_quotes(range) + " runs backwards"; }

std::string no_such_tab(std::string_view name, const std::vector<std::string>& captions) {
    std::string known;
    for (const std::string& caption : captions) known += (known.empty() ? "" : ", ") + in_quotes(caption);
    return "there is no tab " + in_quotes(name) + "; the tabs are " + known;
}

std::string history_line(std::int64_t saved_ns, std::size_t options, std::int64_t bytes, bool undo_takes_it) {
    return join({"  ", when_text(saved_ns), ": ", undo::option_count(options), ", ", grouped_digits(bytes),
                 bytes == 1 ? " byte changed" : " bytes changed", undo_takes_it ? "  (undo takes this back)" : ""});
}

std::string half_way_line(std::int64_t saved_ns, std::size_t options, std::int64_t bytes) {
    return join({"  ", when_text(saved_ns), ": interrupted half-way, ", undo::option_count(options), ", ",
                 grouped_digits(bytes), bytes == 1 ? " byte" : " bytes", "  (undo puts the file back as it was before it)"});
}

std::string last_save_line(std::int64_t saved_ns, std::size_t options) {
    return join({"  patched with this program on ", when_text(saved_ns), ": ", undo::option_count(options),
                 " (undo takes it back)"});
}

std::string data_start_line(std::int64_t offset) { return "  data start: " + grouped_digits(offset); }

namespace {
std::string printed(const char* format, auto... values) {
    char line[160];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

std::string hex_bytes(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t b : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}
}  // namespace

std::string status_header() { return printed("  %2s  %-26s %-18s %s", "#", "tab", "state", "option"); }

std::string status_row(int number, std::string_view tab, std::string_view state, std::string_view label) {
    return printed("  %2d  %-26s %-18s ", number, std::string(tab).c_str(), std::string(state).c_str()) +
           std::string(label);
}

std::string apply_row(int number, std::string_view word, std::string_view label) {
    return printed("  %2d  %-17s  ", number, std::string(word).c_str()) + std::string(label);
}

std::vector<std::string> change_lines(std::int64_t offset, ByteView old_bytes, ByteView new_bytes) {
    return {"      at " + grouped_digits(offset), "        was " + hex_bytes(old_bytes),
            "        now " + hex_bytes(new_bytes)};
}

std::string history_option_line(int number, std::string_view label) {
    return printed("    %2d  ", number) + std::string(label);
}

}  // namespace cli

std::string browser_unavailable(std::string_view address) {
    return join({"Could not start a web browser. Open this address by hand: ", address});
}

}  // namespace tarnwick::messages
