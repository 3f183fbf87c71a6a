// tts-tarnwick-cli: the engine without a window, for scripts and servers.
//   status FILE...                        what each voice holds
//   apply (--options LIST | --tab NAME | --all) [--dry-run] FILE...
// Exit status: 0 every file saved (or read), 1 some file had nothing to
// patch, 2 some file was refused or could not be saved.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "engine/user_messages.h"
#include "engine/voice_survey.h"

namespace {

using namespace tarnwick;

enum ExitStatus { kAllDone = 0, kNothingToPatch = 1, kRefused = 2 };

// The window a patch run sees here: every box enabled, as after an open, and
// ticked as chosen. Messages are kept in order for the caller to print.
class ConsoleWindow final : public WindowOps {
public:
    explicit ConsoleWindow(const std::set<int>& chosen) : chosen_(chosen) {}
    bool box_enabled(int) const override { return true; }
    bool box_ticked(int box) const override { return chosen_.contains(box); }
    void disable_box(int) override {}
    void disable_patch() override {}
    void close_main_window() override {}
    void show_message(const std::string& text) override { shown.push_back(text); }

    std::vector<std::string> shown;

private:
    const std::set<int>& chosen_;
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A tab by its caption ("Karen & Lee") or by one name on it ("karen").
int find_tab(const std::string& wanted) {
    const std::string key = lower(wanted);
    for (int tab = 0; tab < kTabCount; ++tab) {
        const std::string caption = lower(displayed_caption(option_tabs()[static_cast<std::size_t>(tab)].caption));
        if (caption == key) return tab;
        std::size_t from = 0;
        for (std::size_t to; from <= caption.size(); from = to + 3) {
            to = caption.find(" & ", from);
            if (to == std::string::npos) to = caption.size();
            if (caption.substr(from, to - from) == key) return tab;
        }
    }
    return -1;
}

std::string hex_of(const ByteString& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

// What reading a voice found out about an earlier save of it, told before the
// file is used. True when a save is pending: a journal that opening the file
// to patch would put back, which a mere look leaves alone.
bool tell_recovery(const LoadResult& loaded, const std::string& file) {
    bool pending = false;
    for (const RecoveryEvent& event : loaded.events) {
        const bool trouble = event.what == RecoveryEvent::What::failed ||
                             event.what == RecoveryEvent::What::folder_untrusted ||
                             event.what == RecoveryEvent::What::would_roll_back;
        (trouble ? std::cerr : std::cout) << messages::recovery_text(event, file) << '\n';
        pending = pending || event.what == RecoveryEvent::What::would_roll_back;
    }
    return pending;
}

// Loads a voice as the window's Open does (or, only looking, without putting
// back an interrupted save). False, with the reason on standard error, when
// it is refused; `pending` tells of a journal left for a later open.
bool open_voice(VoiceImage& image, const std::string& file, const std::filesystem::path& journals,
                RecoveryMode mode, bool& pending) {
    const LoadResult loaded = image.load_image(std::filesystem::u8path(file), journals, system_file_calls(), mode);
    pending = tell_recovery(loaded, file);
    if (!loaded.ok()) {
        std::cerr << messages::cannot_open(file, messages::reason_text(loaded.problem)) << '\n';
        return false;
    }
    if (detect_container(image) == ContainerKind::none) {
        std::cerr << messages::kNotVoiceFile << '\n';
        return false;
    }
    return true;
}

ExitStatus show_status(const std::string& file, const std::filesystem::path& journals) {
    VoiceImage image;
    std::cout << file << '\n';
    bool pending = false;
    if (!open_voice(image, file, journals, RecoveryMode::look_only, pending)) return kRefused;
    const VoiceSurvey survey = survey_voice(image);
    const std::string name = messages::path_for_people(std::filesystem::u8path(file).filename());
    std::cout << "  " << survey_summary(name, image.file_len(), survey) << '\n';
    if (!survey.located()) {
        std::cerr << messages::kAreaNotLocated << '\n';
        return kRefused;
    }
    std::cout << "  data start: " << survey.data_start << '\n';
    std::printf("  %2s  %-26s %-18s %s\n", "#", "tab", "state", "option");
    std::fflush(stdout);
    for (const PatchOption& option : patch_catalogue()) {
        const std::string tab = displayed_caption(option_tabs()[static_cast<std::size_t>(tab_of(option.number))].caption);
        std::printf("  %2d  %-26s %-18s %.*s\n", option.number, tab.c_str(),
                    std::string(state_text(survey.state(option.number))).c_str(),
                    static_cast<int>(option.label.size()), option.label.data());
    }
    std::fflush(stdout);
    return pending ? kRefused : kAllDone;
}

ExitStatus apply(const std::string& file, const std::set<int>& chosen, bool dry_run, bool named,
                 const std::filesystem::path& journals) {
    if (named) std::cout << file << '\n';
    VoiceImage image;
    bool pending = false;
    if (!open_voice(image, file, journals, dry_run ? RecoveryMode::look_only : RecoveryMode::repair, pending)) {
        return kRefused;
    }
    // A dry run over what an interrupted save left would only mislead.
    if (pending) return kRefused;
    ConsoleWindow window(chosen);
    std::vector<ChangedRange> would_write;
    const RunOutcome outcome = dry_run ? rehearse_patch(image, window, would_write) : run_patch(image, window, journals);
    const bool failed = outcome == RunOutcome::not_a_voice_file || outcome == RunOutcome::area_not_located ||
                        outcome == RunOutcome::save_failed;
    for (std::size_t i = 0; i < window.shown.size(); ++i) {
        (failed && i + 1 == window.shown.size() ? std::cerr : std::cout) << window.shown[i] << '\n';
    }
    switch (outcome) {
        case RunOutcome::saved: return kAllDone;
        case RunOutcome::rehearsed: {
            std::size_t bytes = 0;
            for (const ChangedRange& range : would_write) bytes += range.new_bytes.size();
            std::cout << "Dry run: " << bytes << " bytes in " << would_write.size()
                      << " places would change; the file was not written.\n";
            for (const ChangedRange& range : would_write) {
                std::cout << "  at " << range.offset << ": " << hex_of(range.old_bytes) << " -> "
                          << hex_of(range.new_bytes) << '\n';
            }
            return kAllDone;
        }
        case RunOutcome::nothing_patched: return kNothingToPatch;
        default: return kRefused;
    }
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
    CLI::App app{"Changes how a navigation voice reads street abbreviations, from the command line.",
                 "tts-tarnwick-cli"};
    app.set_version_flag("--version", "tts-tarnwick-cli " TARNWICK_VERSION);
    app.require_subcommand(1);

    std::vector<std::string> files;
    CLI::App* status = app.add_subcommand("status", "Show each voice's kind, data start and the state of every option");
    status->add_option("FILE", files, "Voice files (.vpm or .rgn)")->required();

    CLI::App* apply_command = app.add_subcommand("apply", "Patch and save each voice, as the window's \"Patch & Save\" does");
    std::vector<int> numbers;
    std::vector<std::string> tabs;
    bool all = false;
    bool dry_run = false;
    apply_command->add_option("--options", numbers, "Option numbers, such as 1,3,19")
        ->delimiter(',')
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(CLI::Range(1, kOptionCount));
    // One value each, so that the files after them are not taken for tabs.
    apply_command->add_option("--tab", tabs, "Every option on a tab, by its caption or a name on it (English, Karen, ...)")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    apply_command->add_flag("--all", all, "Every option on every tab");
    apply_command->add_flag("--dry-run", dry_run, "Report what would change and write nothing");
    apply_command->add_option("FILE", files, "Voice files (.vpm or .rgn)")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kRefused;
    }

    const std::filesystem::path journals = default_journal_folder();
    int worst = kAllDone;
    if (status->parsed()) {
        for (const std::string& file : files) worst = std::max<int>(worst, show_status(file, journals));
        return worst;
    }

    std::set<int> chosen(numbers.begin(), numbers.end());
    for (const std::string& name : tabs) {
        const int tab = find_tab(name);
        if (tab < 0) {
            std::cerr << "There is no tab \"" << name << "\". The tabs are:";
            for (const OptionTab& t : option_tabs()) std::cerr << " \"" << displayed_caption(t.caption) << "\"";
            std::cerr << ".\n";
            return kRefused;
        }
        for (const int k : option_tabs()[static_cast<std::size_t>(tab)].options) chosen.insert(k);
    }
    if (all) {
        for (int k = 1; k <= kOptionCount; ++k) chosen.insert(k);
    }
    if (chosen.empty()) {
        std::cerr << "Choose what to apply with --options, --tab or --all.\n";
        return kRefused;
    }
    for (const std::string& file : files) {
        worst = std::max<int>(worst, apply(file, chosen, dry_run, files.size() > 1, journals));
    }
    return worst;
}
