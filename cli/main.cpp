// tts-tarnwick-cli: the engine without a window, for scripts and servers.
//   status FILE...                                   what each voice holds
//   apply (--options LIST | --tab NAME | --all)... [--dry-run] [--verbose] FILE...
//   recover FILE...                                  put back a file an interrupted save left half-written
// status, apply, history and undo take --json: one JSON document on standard
// output instead, which cli/tts-tarnwick-cli.schema.json describes.
// Exit status: 0 every file saved (or read, or put back), 1 some file had
// nothing to patch (or to put back), 2 some file was refused or could not be
// saved, interrupted saves could not be looked for, or the command was wrong.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include "cli/json_report.h"
#include "engine/open_voice.h"
#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "engine/undo_patch.h"
#include "engine/user_messages.h"
#include "engine/voice_survey.h"
#include "tarnwick_version.h"

namespace {

using namespace tarnwick;

using messages::cli::kProgram;

// The exit status is the worst verdict over the files.
constexpr int kRefused = static_cast<int>(Verdict::refused);

// A mistake in the command itself: told on standard error, nothing is opened.
struct UsageError {
    std::string text;
};

void usage_error(const std::string& text) { std::cerr << kProgram << ": " << text << '\n'; }

// What is said about one file: on standard output under a line naming it
// (files apart by a blank line), and on standard error as
// "tts-tarnwick-cli: FILE: ...", so that either stream alone names its file.
// With --json, the messages go into the file's entry instead, and what only
// people read (the lines) is left out.
class FileReport {
public:
    explicit FileReport(std::string file, json_report::Json* entry = nullptr) : file_(std::move(file)), entry_(entry) {}

    void heading(const std::string& text) {
        if (!headed_ && entry_ == nullptr) start(text);
    }
    void say(const std::string& line) {
        if (entry_ != nullptr) return;
        heading(file_);
        std::cout << line << '\n';
    }
    void complain(const std::string& line) { tell({MessageKind::refusal, line}); }
    // Information to standard output, refusals and failures to standard error.
    void tell(const Message& message) {
        if (entry_ != nullptr) {
            (*entry_)["messages"].push_back(json_report::message(message));
        } else if (message.kind == MessageKind::information) {
            say(message.text);
        } else {
            std::cout.flush();
            std::cerr << kProgram << ": " << file_ << ": " << message.text << '\n';
        }
    }
    // The file's entry of the JSON document, or null for people's words.
    json_report::Json* json() const { return entry_; }

    static bool first_file_done;

private:
    void start(const std::string& text) {
        if (first_file_done) std::cout << '\n';
        first_file_done = true;
        headed_ = true;
        std::cout << text << '\n';
    }
    std::string file_;
    json_report::Json* entry_;
    bool headed_ = false;
};
bool FileReport::first_file_done = false;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string tab_caption(int tab) { return displayed_caption(option_tabs()[static_cast<std::size_t>(tab)].caption); }

// A tab by its caption ("Karen & Lee") or by one name on it ("karen").
std::optional<int> find_tab(const std::string& wanted) {
    const std::string key = lower(wanted);
    for (int tab = 0; tab < kTabCount; ++tab) {
        const std::string caption = lower(tab_caption(tab));
        if (caption == key) return tab;
        std::size_t from = 0;
        for (std::size_t to; from <= caption.size(); from = to + 3) {
            to = caption.find(" & ", from);
            if (to == std::string::npos) to = caption.size();
            if (caption.substr(from, to - from) == key) return tab;
        }
    }
    return std::nullopt;
}

// Option numbers as people write them: "1,3,19" or "1-3,19"; decimal, 1 to 20.
std::set<int> option_numbers(const std::string& list) {
    const auto number = [&](const std::string& piece, const std::string& whole) {
        const bool digits = !piece.empty() && piece.size() <= 3 && piece[0] != '0' &&
                            std::all_of(piece.begin(), piece.end(), [](unsigned char c) { return std::isdigit(c); });
        if (!digits) {
            throw UsageError{messages::cli::not_an_option_number(whole, kOptionCount)};
        }
        const int value = std::stoi(piece);
        if (value > kOptionCount) {
            throw UsageError{messages::cli::option_out_of_range(piece, kOptionCount)};
        }
        return value;
    };
    std::set<int> chosen;
    std::size_t from = 0;
    while (true) {
        const std::size_t comma = list.find(',', from);
        const std::string piece = list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        if (piece.empty()) throw UsageError{messages::cli::empty_list_item(list)};
        const std::size_t dash = piece.find('-');
        if (dash == std::string::npos) {
            chosen.insert(number(piece, piece));
        } else {
            const int first = number(piece.substr(0, dash), piece);
            const int last = number(piece.substr(dash + 1), piece);
            if (last < first) throw UsageError{messages::cli::range_backwards(piece)};
            for (int k = first; k <= last; ++k) chosen.insert(k);
        }
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    return chosen;
}

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// "unknown command "stat"; did you mean "status"?", the suggestion only where one is close.
std::string unknown(const std::string& what, const std::string& word, const std::vector<std::string>& known) {
    const std::string* nearest = nullptr;
    std::size_t best = 0;
    for (const std::string& candidate : known) {
        const std::size_t distance = candidate.starts_with(word) ? 1 : edit_distance(word, candidate);
        if (nearest == nullptr || distance < best) {
            nearest = &candidate;
            best = distance;
        }
    }
    const bool close_enough = nearest != nullptr && best <= std::max<std::size_t>(2, nearest->size() / 3);
    return messages::cli::unknown_word(what, word, close_enough ? nearest : nullptr);
}

std::vector<std::string> option_names(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
    return names;
}

struct Settings {
    std::set<int> chosen;
    bool dry_run = false;
    bool as_is = false;
    bool verbose = false;
    bool forget = false;
    bool json = false;
    std::filesystem::path journals;
};

// Opens a voice as the window's Open does (or, only looking, without making
// records of journals) and tells what opening it found. A command that acts on
// a half-written file (undo, recover) leaves out the line about it, and the
// others tell how to put it back.
OpenedVoice open_and_tell(VoiceImage& image, const std::string& file, const Settings& settings, RecoveryMode mode,
                          FileReport& report, bool acts_on_half_way = false) {
    OpenedVoice opened = open_voice(image, utf8_path(file), settings.journals, system_file_calls(), mode, {});
    if (report.json() != nullptr) json_report::describe(*report.json(), opened, image.file_len());
    for (std::size_t i = 0; i < opened.messages.size(); ++i) {
        if (!(acts_on_half_way && opened.half_way_told == i)) report.tell(opened.messages[i]);
    }
    if (!acts_on_half_way && opened.half_way) report.complain(messages::cli::recover_hint(file));
    return opened;
}

void tell_all(const std::vector<Message>& told, FileReport& report) {
    for (const Message& message : told) report.tell(message);
}

void say_all(const std::vector<std::string>& lines, FileReport& report) {
    for (const std::string& line : lines) report.say(line);
}

// Puts back a file that looks half-way through an interrupted save.
Verdict recover(const std::string& file, const Settings& settings, FileReport& report) {
    VoiceImage image;
    const OpenedVoice opened = open_and_tell(image, file, settings, RecoveryMode::record, report, true);
    if (opened.verdict() != Verdict::done) return opened.verdict();
    const UndoReport put_back =
        undo_last_patch(image, settings.journals, system_file_calls(), false, UndoScope::half_way, opened.pending);
    tell_all(put_back.messages, report);
    return put_back.verdict();
}

Verdict show_status(const std::string& file, const Settings& settings, FileReport& report) {
    VoiceImage image;
    const std::string name = messages::path_for_people(utf8_path(file).filename());
    // The line about the voice heads its report, before what opening it found.
    const OpenedVoice opened =
        open_voice(image, utf8_path(file), settings.journals, system_file_calls(), RecoveryMode::look_only, {});
    if (opened.result != OpenedVoice::Result::unreadable) {
        report.heading(survey_summary(name, image.file_len(), opened.survey));
    }
    tell_all(opened.messages, report);
    const VoiceStatus status = voice_status(opened, file);
    if (report.json() != nullptr) {
        json_report::describe(*report.json(), opened, image.file_len());
        json_report::status(*report.json(), opened);
    }
    tell_all(status.messages, report);
    say_all(status.lines, report);
    return status.verdict;
}

Verdict apply_to(const std::string& file, const Settings& settings, FileReport& report) {
    VoiceImage image;
    const OpenedVoice opened =
        open_and_tell(image, file, settings, settings.dry_run ? RecoveryMode::look_only : RecoveryMode::record, report);
    if (opened.verdict() != Verdict::done) return opened.verdict();
    // One that looks half-written is patched only when asked.
    if (opened.half_way && !settings.as_is) {
        report.complain(messages::cli::half_way_refusal(file));
        return Verdict::refused;
    }

    // The boxes as the open left them, ticked as chosen.
    WindowControls controls = opened.controls;
    for (const int k : settings.chosen) controls.set_ticked(k, true);
    const RunReport run = settings.dry_run ? rehearse_patch(image, controls)
                                           : run_patch(image, controls, settings.journals, system_file_calls());
    if (report.json() != nullptr) {
        json_report::run(*report.json(), run);
        (*report.json())["dry_run"] = settings.dry_run;
    }
    const RunListing listing = run_listing(run, settings.verbose);
    report.heading(file);
    say_all(listing.lines, report);
    tell_all(run.messages, report);
    if (!listing.closing.empty()) report.say(listing.closing);
    return run.verdict();
}

// The recorded saves that made a file's bytes, newest first; or, asked to,
// forgets them.
Verdict show_history(const std::string& file, const Settings& settings, FileReport& report) {
    VoiceImage image;
    const OpenedVoice opened = open_and_tell(image, file, settings, RecoveryMode::look_only, report);
    if (!opened.accepted()) return Verdict::refused;
    if (settings.forget) {
        const ForgetReport forgot = forget_history(image, settings.journals, system_file_calls());
        tell_all(forgot.messages, report);
        return forgot.verdict();
    }
    const SavesOfVoice found = saves_of_voice(image, settings.journals, system_file_calls(), opened.pending);
    if (report.json() != nullptr) json_report::history(*report.json(), found);
    const HistoryListing listing = history_listing(found);
    tell_all(listing.messages, report);
    if (!listing.lines.empty()) report.heading(file);
    say_all(listing.lines, report);
    return listing.verdict;
}

// Takes back the newest recorded save that made the file's bytes.
Verdict undo(const std::string& file, const Settings& settings, FileReport& report) {
    VoiceImage image;
    const OpenedVoice opened =
        open_and_tell(image, file, settings, settings.dry_run ? RecoveryMode::look_only : RecoveryMode::record, report, true);
    if (opened.verdict() != Verdict::done) return opened.verdict();
    const UndoReport undone = undo_last_patch(image, settings.journals, system_file_calls(), settings.dry_run,
                                              UndoScope::last_save, opened.pending);
    if (report.json() != nullptr) {
        (*report.json())["taken_back"] = undone.taken_back ? json_report::save(*undone.taken_back) : json_report::Json(nullptr);
        (*report.json())["dry_run"] = settings.dry_run;
    }
    tell_all(undone.messages, report);
    return undone.verdict();
}

#ifdef _WIN32
// Windows hands a console program its arguments in the ANSI code page, which
// cannot hold every file name: take them as UTF-16 and go on in UTF-8.
std::vector<std::string> utf8_arguments() {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; wide != nullptr && i < count; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<std::size_t>(bytes > 0 ? bytes - 1 : 0), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), bytes, nullptr, nullptr);
        arguments.push_back(std::move(text));
    }
    LocalFree(wide);
    return arguments;
}
#endif

// The command line's grammar: the commands, their options and files.
class CommandLine {
    static constexpr const char* kJsonHelp =
        "Write one JSON document on standard output instead (described by tts-tarnwick-cli.schema.json)";

public:
    CommandLine() {
        app_.set_version_flag("--version", std::string(kProgram) + " " + std::string(kVersion));
        app_.allow_extras();
        status_ = app_.add_subcommand("status", "Show each voice's kind, data start and the state of every option");
        status_->allow_extras();
        status_->add_flag("--json", settings.json, kJsonHelp);
        status_->add_option("FILE", files, "Voice files (.vpm or .rgn)");

        apply_ = app_.add_subcommand("apply", "Patch and save each voice, as the window's \"Patch & Save\" does");
        apply_->allow_extras();
        // One value each, so that the files after them are not taken for options or tabs.
        apply_->add_option("--options", lists, "Option numbers and ranges, such as 1-3,19")
            ->type_name("LIST")
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        apply_->add_option("--tab", tabs, "Every option on a tab, by its caption or a name on it (English, Karen, ...)")
            ->type_name("NAME")
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        apply_->add_flag("--all", all, "Every option on every tab");
        apply_->add_flag("--dry-run", settings.dry_run, "Tell what would change and write nothing");
        apply_->add_flag("--as-is", settings.as_is,
                         "Patch a file that looks half-way through an interrupted save as it is, instead of refusing");
        apply_->add_flag("--verbose", settings.verbose, "Also show the offsets and bytes that change");
        apply_->add_flag("--json", settings.json, kJsonHelp);
        apply_->add_option("FILE", files, "Voice files (.vpm or .rgn)");

        recover_ = app_.add_subcommand(
            "recover", "Put back a voice that looks half-way through an interrupted save as it was before that save");
        recover_->allow_extras();
        recover_->add_option("FILE", files, "Voice files (.vpm or .rgn)");

        history_ = app_.add_subcommand("history", "List the saves of this program that made each voice as it is, "
                                                  "newest first, and which one undo takes back");
        history_->allow_extras();
        history_->add_flag("--forget", settings.forget, "Remove those records instead");
        history_->add_flag("--json", settings.json, kJsonHelp);
        history_->add_option("FILE", files, "Voice files (.vpm or .rgn)");

        undo_ = app_.add_subcommand("undo", "Take back the newest recorded patch of each voice, exactly");
        undo_->allow_extras();
        undo_->add_flag("--dry-run", settings.dry_run, "Tell what would be taken back and write nothing");
        undo_->add_flag("--json", settings.json, kJsonHelp);
        undo_->add_option("FILE", files, "Voice files (.vpm or .rgn)");
    }

    // Parses the arguments; an exit status when the run ends here (help,
    // version, or a mistake, told on standard error).
    std::optional<int> parse(int argc, char** argv) {
        try {
            app_.parse(argc, argv);
        } catch (const CLI::ParseError& e) {
            if (e.get_exit_code() == 0) return app_.exit(e);  // --help and --version
            usage_error(e.what());
            return kRefused;
        }
        for (CLI::App* command : {status_, apply_, recover_, history_, undo_}) {
            if (command->parsed()) chosen_ = command;
        }
        if (const std::optional<std::string> mistake = mistake_in_words()) {
            usage_error(*mistake);
            return kRefused;
        }
        return std::nullopt;
    }

    bool status() const { return chosen_ == status_; }
    bool recover() const { return chosen_ == recover_; }
    bool history() const { return chosen_ == history_; }
    bool undo() const { return chosen_ == undo_; }
    std::string command() const { return chosen_->get_name(); }

    // The options `apply` is to patch, from --options, --tab and --all; false
    // after telling of a mistake in them.
    bool choose_options() {
        try {
            for (const std::string& list : lists) settings.chosen.merge(option_numbers(list));
            for (const std::string& name : tabs) {
                const std::optional<int> tab = find_tab(name);
                if (!tab) {
                    std::vector<std::string> captions;
                    for (int t = 0; t < kTabCount; ++t) captions.push_back(tab_caption(t));
                    throw UsageError{messages::cli::no_such_tab(name, captions)};
                }
                for (const int k : option_tabs()[static_cast<std::size_t>(*tab)].options) settings.chosen.insert(k);
            }
        } catch (const UsageError& error) {
            usage_error(error.text);
            return false;
        }
        if (all) {
            for (int k = 1; k <= kOptionCount; ++k) settings.chosen.insert(k);
        }
        if (settings.chosen.empty()) {
            usage_error(std::string(messages::cli::kChooseOptions));
            return false;
        }
        return true;
    }

    std::vector<std::string> files;
    std::vector<std::string> lists;
    std::vector<std::string> tabs;
    bool all = false;
    Settings settings;

private:
    // No command, an unknown command or option, or no file named.
    std::optional<std::string> mistake_in_words() const {
        if (chosen_ == nullptr) {
            const std::vector<std::string> extra = app_.remaining();
            if (extra.empty()) return messages::cli::no_command();
            if (extra[0].starts_with("-")) return unknown("option", extra[0], option_names(app_));
            return unknown("command", extra[0], {"status", "apply", "recover", "history", "undo"});
        }
        for (const std::string& extra : chosen_->remaining()) {
            if (extra.starts_with("-")) return unknown("option", extra, option_names(*chosen_));
        }
        if (files.empty()) return messages::cli::name_a_file(chosen_->get_name());
        return std::nullopt;
    }

    CLI::App app_{"Changes how a navigation voice reads street abbreviations, from the command line.",
                  std::string(kProgram)};
    CLI::App* status_ = nullptr;
    CLI::App* apply_ = nullptr;
    CLI::App* recover_ = nullptr;
    CLI::App* history_ = nullptr;
    CLI::App* undo_ = nullptr;
    CLI::App* chosen_ = nullptr;
};

int run(int argc, char** argv) {
    CommandLine line;
    if (const std::optional<int> ended = line.parse(argc, argv)) return *ended;
    line.settings.journals = default_journal_folder();
    // Each file in turn; the exit status is the worst verdict. With --json,
    // one document for them all, written once every file is done.
    const auto each_file = [&](Verdict (*act)(const std::string&, const Settings&, FileReport&)) {
        Verdict worst = Verdict::done;
        json_report::Json files = json_report::Json::array();
        for (const std::string& file : line.files) {
            json_report::Json entry = {{"file", file}, {"messages", json_report::Json::array()}};
            FileReport report(file, line.settings.json ? &entry : nullptr);
            const Verdict verdict = act(file, line.settings, report);
            worst = std::max(worst, verdict);
            entry["verdict"] = json_report::verdict_name(verdict);
            files.push_back(std::move(entry));
        }
        if (line.settings.json) {
            const json_report::Json document = {
                {"command", line.command()}, {"exit_status", static_cast<int>(worst)}, {"files", files}};
            std::cout << document.dump(2) << '\n';
        }
        return static_cast<int>(worst);
    };
    if (line.status()) return each_file(show_status);
    if (line.recover()) return each_file(recover);
    if (line.history()) return each_file(show_history);
    if (line.undo()) return each_file(undo);
    if (!line.choose_options()) return kRefused;
    return each_file(apply_to);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> arguments = utf8_arguments();
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    if (!pointers.empty()) {
        argc = static_cast<int>(pointers.size());
        argv = pointers.data();
    }
#endif
    return run(argc, argv);
}
