// What the page needs of the engine, and nothing more: the texts of the
// windows, opening a voice, "Patch && Save" and "Undo Last Patch", each
// reaching the file through the page's file calls. Every rule (what is checked and written in
// which order, what is enabled, which messages come in which order) is the
// engine's; the page carries out the file calls and shows what it is told.
#include <emscripten/bind.h>
#include <emscripten/emscripten.h>
#include <emscripten/val.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "engine/file_calls_web.h"
#include "engine/open_voice.h"
#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "engine/save_history.h"
#include "engine/undo_patch.h"
#include "engine/user_messages.h"
#include "engine/voice_batch.h"
#include "engine/voice_survey.h"
#include "tarnwick_version.h"

namespace {

using emscripten::val;
using namespace tarnwick;

const char* kind_name(MessageKind kind) {
    switch (kind) {
        case MessageKind::information: return "information";
        case MessageKind::refusal: return "refusal";
        case MessageKind::failure: return "failure";
    }
    return "information";
}

val message_list(const std::vector<Message>& messages) {
    val list = val::array();
    for (const Message& message : messages) {
        val item = val::object();
        item.set("kind", kind_name(message.kind));
        item.set("text", message.text);
        list.call<void>("push", item);
    }
    return list;
}

// The boxes and Patch as the page is to show them.
val controls_value(const WindowControls& controls) {
    val enabled = val::array();
    val ticked = val::array();
    for (int k = 1; k <= kOptionCount; ++k) {
        enabled.call<void>("push", controls.box_enabled(k));
        ticked.call<void>("push", controls.box_ticked(k));
    }
    val shown = val::object();
    shown.set("enabled", enabled);
    shown.set("ticked", ticked);
    shown.set("patch", controls.patch_enabled);
    return shown;
}

val question_value(const Question& question) {
    val asked = val::object();
    asked.set("text", question.text);
    asked.set("yesByDefault", question.yes_by_default);
    return asked;
}

// What is shown of the voice, and the row about the save its undo takes back.
val view_value(const VoiceView& view) {
    val shown = val::object();
    shown.set("description", view.text.description);
    shown.set("readiness", view.text.readiness);
    val states = val::array();
    for (const std::string& state : view.text.states) states.call<void>("push", state);
    shown.set("states", states);
    shown.set("lastPatch", view.last_patch);
    return shown;
}

// The texts of both windows, the tabs with their options, and the state words.
val texts() {
    val t = val::object();
    t.set("version", std::string(kVersion));
    t.set("title", std::string(messages::captions::kTitle) + std::string(kVersion));
    t.set("applicationTitle", std::string(messages::kApplicationTitle));
    t.set("aboutMenu", std::string(messages::captions::kAboutMenu));
    t.set("open", displayed_caption(messages::captions::kOpen));
    t.set("patch", displayed_caption(messages::captions::kPatch));
    t.set("instructions", displayed_caption(messages::captions::kInstructions));
    t.set("aboutTitle", std::string(messages::captions::kAboutTitle));
    t.set("aboutName", std::string(messages::captions::kAboutName) + std::string(kVersion));
    t.set("aboutMaker", std::string(messages::captions::kAboutMaker));
    t.set("aboutFind", std::string(messages::captions::kAboutFind));
    t.set("makerAddress", std::string(messages::captions::kMakerAddress));
    t.set("aboutClose", std::string(messages::captions::kAboutClose));
    val tabs = val::array();
    for (const OptionTab& tab : option_tabs()) {
        val shown = val::object();
        shown.set("caption", displayed_caption(tab.caption));
        val options = val::array();
        for (const int k : tab.options) {
            val option = val::object();
            option.set("number", k);
            option.set("label", std::string(patch_catalogue()[static_cast<std::size_t>(k - 1)].label));
            options.call<void>("push", option);
        }
        shown.set("options", options);
        tabs.call<void>("push", shown);
    }
    t.set("tabs", tabs);
    t.set("selectedTab", kFirstTabShown);
    t.set("openFilter", std::string(messages::captions::kOpenDialogFilter));
    val extensions = val::array();
    for (const std::string_view extension : messages::captions::kVoiceExtensions) {
        extensions.call<void>("push", std::string(extension));
    }
    t.set("voiceExtensions", extensions);
    t.set("folderHoldsNoVoice", std::string(messages::page::kFolderHoldsNoVoice));
    t.set("newVersion", std::string(messages::page::kNewVersion));
    t.set("reload", std::string(messages::page::kReload));
    t.set("downloadCopy", std::string(messages::page::kDownloadCopy));
    t.set("openAgain", std::string(messages::page::kOpenAgain));
    t.set("historyMayGo", std::string(messages::page::kHistoryMayGo));
    t.set("dropHint", std::string(messages::page::kDropHint));
    t.set("unexpected", std::string(messages::page::kUnexpected));
    t.set("undo", std::string(messages::undo::kUndoButton));
    // As at start: nothing open, every control disabled, nothing said of a voice.
    val start = val::object();
    start.set("controls", controls_value(WindowControls{}));
    start.set("survey", view_value(VoiceView{}));
    t.set("start", start);
    t.set("optionCount", kOptionCount);
    val batch = val::object();
    batch.set("title", std::string(messages::batch::kTitle));
    batch.set("instructions", displayed_caption(messages::batch::kInstructions));
    batch.set("optionHeading", std::string(messages::batch::kOptionHeading));
    batch.set("patchAll", displayed_caption(messages::batch::kPatchAll));
    batch.set("undoAll", displayed_caption(messages::batch::kUndoAll));
    batch.set("close", displayed_caption(messages::batch::kClose));
    t.set("batch", batch);
    return t;
}

// The page's one voice, as the window holds it. Opening and "Patch && Save"
// reach the file through the page and wait for it, so they are started with
// ccall({async: true}); what they found is then read with `outcome`.
class Page {
public:
    // Opens the voice the page offers as `name`, as the window opens a file:
    // the whole file read, surveyed, its history looked up. The page shows
    // nothing of an earlier voice while it reads, so the boxes start as in a
    // window just opened; opened again after a refused save, they keep the
    // person's ticks.
    void open(const std::string& name, bool keep_ticks) {
        name_ = name;
        view_.reset();
        PageFileCalls calls = file_calls();
        const WindowControls shown = keep_ticks ? controls_ : WindowControls{};
        const OpenedVoice opened =
            open_voice(image_, utf8_path(name), default_journal_folder(), calls, RecoveryMode::record, shown);
        controls_ = opened.controls;
        outcome_ = val::object();
        outcome_.set("accepted", opened.accepted());
        outcome_.set("messages", message_list(opened.messages));
        outcome_.set("controls", controls_value(controls_));
        // Yes puts the half-way save back: an undo.
        if (opened.question) outcome_.set("question", question_value(*opened.question));
        show(opened.view);
    }

    // A box ticked or cleared by the person: how the controls now stand.
    val box_changed(int box, bool on) {
        controls_ = controls_.after_box_changed(box, on);
        return controls_value(controls_);
    }

    // "Patch && Save" with the boxes as the page shows them.
    void run() {
        PageFileCalls calls = file_calls();
        const RunReport report = run_patch(image_, controls_, default_journal_folder(), calls);
        ran_with_ = controls_;
        // The window closes after a save; the page starts afresh instead.
        controls_ = report.close_window ? WindowControls{} : report.controls;
        outcome_ = val::object();
        outcome_.set("messages", message_list(report.messages));
        outcome_.set("controls", controls_value(controls_));
        outcome_.set("close", report.close_window);
        outcome_.set("saved", report.outcome == RunOutcome::saved);
        outcome_.set("download", report.download);
        val changed = val::array();
        for (const int k : report.details.patched_options()) {
            changed.call<void>("push", std::string(patch_catalogue()[static_cast<std::size_t>(k - 1)].label));
        }
        outcome_.set("changed", changed);
        outcome_.set("savedText", report.saved_line);
        outcome_.set("downloadedText", report.download_line);
        outcome_.set("offerText", report.offer_line);
        switch (report.offer) {
            case RunOffer::none: break;
            case RunOffer::patched_copy: outcome_.set("offer", std::string("copy")); break;
            case RunOffer::open_again: outcome_.set("offer", std::string("open again")); break;
        }
        if (report.close_window) view_.reset();
        show(report.view);
    }

    // The question asked before "Undo Last Patch" takes back the save that
    // left the voice as it is.
    val undo_question() const { return question_value(view_ ? view_->undo_question : Question{}); }

    // "Undo Last Patch", once the person said yes. Where the page may not
    // write into the file, what it took back is a download, and the engine
    // says so.
    void undo() {
        PageFileCalls calls = file_calls();
        const UndoReport report = undo_last_patch(image_, default_journal_folder(), calls, false);
        outcome_ = val::object();
        outcome_.set("messages", message_list(report.messages));
        outcome_.set("undone", report.outcome == UndoOutcome::undone);
        outcome_.set("download", report.download);
        show(report.view);
    }

    val outcome() const { return outcome_; }

    // The voice as the last run would have saved it, as pieces for a Blob:
    // views of the engine's memory, valid until the engine runs again.
    val patched_copy() {
        val pieces = val::array();
        const RunReport report = rehearse_patch(image_, ran_with_);
        if (report.outcome != RunOutcome::rehearsed) return pieces;
        const RunDetails& details = report.details;
        const ByteView bytes = image_.file_buf();
        std::size_t at = 0;
        for (const ChangedRange& range : details.changes) {
            const auto offset = static_cast<std::size_t>(range.offset);
            pieces.call<void>("push", val(emscripten::typed_memory_view(offset - at, bytes.data() + at)));
            patched_.push_back(range.new_bytes);
            pieces.call<void>("push", val(emscripten::typed_memory_view(patched_.back().size(), patched_.back().data())));
            at = offset + range.new_bytes.size();
        }
        pieces.call<void>("push", val(emscripten::typed_memory_view(bytes.size() - at, bytes.data() + at)));
        return pieces;
    }

    // Once the page has made its copy.
    void forget_copy() { patched_.clear(); }

private:
    PageFileCalls file_calls() const {
        return PageFileCalls(utf8_path(name_), history_folder_beside(default_journal_folder()));
    }

    void show(const std::optional<VoiceView>& view) {
        if (!view) return;
        view_ = view;
        outcome_.set("survey", view_value(*view));
    }

    VoiceImage image_;
    std::string name_;
    std::optional<VoiceView> view_;  // what the page shows of the voice, with its undo
    WindowControls controls_;
    WindowControls ran_with_;  // the controls the last run was given, for its patched copy
    std::vector<ByteString> patched_;
    val outcome_ = val::object();
};

Page& page() {
    static Page the_page;
    return the_page;
}

// Several voices at once, as the window for several voices holds them. The
// page names them in Module.batchNames and offers them, in that order, in
// Module.voiceFiles; each action tells its progress to Module.onBatchProgress.
EM_JS(void, page_batch_progress, (int done, int total, const char* text), {
    if (Module.onBatchProgress) Module.onBatchProgress(done, total, UTF8ToString(text));
});

class Batch {
public:
    void open() {
        names_.clear();
        const val given = val::module_property("batchNames");
        for (int i = 0; i < given["length"].as<int>(); ++i) names_.push_back(utf8_path(given[i].as<std::string>()));
        batch_ = VoiceBatch(default_journal_folder());
        PageFileCalls calls = file_calls();
        report(batch_.open(names_, calls, progress()));
    }

    // `chosen`: bit k - 1 for option k.
    void patch_all(int chosen) {
        std::array<bool, kOptionCount> options{};
        for (int k = 1; k <= kOptionCount; ++k) options[static_cast<std::size_t>(k - 1)] = (chosen >> (k - 1)) & 1;
        PageFileCalls calls = file_calls();
        report(batch_.patch_all(options, calls, progress()));
        tell_download(messages::page::kPatchedVoicesZip, messages::page::batch_downloaded(messages::page::kPatchedVoicesZip));
    }

    void undo_all() {
        PageFileCalls calls = file_calls();
        report(batch_.undo_all(calls, progress()));
        tell_download(messages::page::kVoicesBeforeZip, messages::page::batch_undo_downloaded(messages::page::kVoicesBeforeZip));
    }

    val outcome() const { return outcome_; }

private:
    PageFileCalls file_calls() const {
        return PageFileCalls(names_, history_folder_beside(default_journal_folder()));
    }

    // Where voices were written as downloads, the page gives them in one zip of this name.
    void tell_download(std::string_view zip, std::string text) {
        if (!downloaded_) return;
        val download = val::object();
        download.set("name", std::string(zip));
        download.set("text", std::move(text));
        outcome_.set("download", download);
    }

    static BatchProgress progress() {
        return [](std::size_t done, std::size_t total) {
            page_batch_progress(static_cast<int>(done), static_cast<int>(total),
                                messages::batch::progress(done, total).c_str());
        };
    }

    // The report, and the table as it now stands: a heading per voice, and
    // per option whether it can be ticked and its state in each voice.
    void report(const BatchReport& report) {
        outcome_ = val::object();
        outcome_.set("closing", report.closing);
        val voices = val::array();
        downloaded_ = false;
        for (const BatchEntry& entry : report.voices) {
            downloaded_ = downloaded_ || (entry.download && entry.verdict == Verdict::done);
            val shown = val::object();
            shown.set("name", entry.name);
            shown.set("line", messages::batch::summary_line(entry.name, entry.summary));
            shown.set("messages", message_list(entry.messages));
            shown.set("download", entry.download && entry.verdict == Verdict::done);
            voices.call<void>("push", shown);
        }
        outcome_.set("voices", voices);
        val headings = val::array();
        for (const BatchVoice& voice : batch_.voices()) headings.call<void>("push", voice.heading());
        outcome_.set("headings", headings);
        val options = val::array();
        for (int k = 1; k <= kOptionCount; ++k) {
            val option = val::object();
            option.set("tickable", batch_.tickable(k));
            val cells = val::array();
            for (const BatchVoice& voice : batch_.voices()) cells.call<void>("push", voice.cell(k));
            option.set("cells", cells);
            options.call<void>("push", option);
        }
        outcome_.set("options", options);
        outcome_.set("patchable", batch_.any_patchable());
        outcome_.set("undoable", batch_.undoable() > 0);
        if (batch_.undoable() > 0) outcome_.set("undoQuestion", question_value(batch_.undo_question()));
    }

    std::vector<std::filesystem::path> names_;
    VoiceBatch batch_{default_journal_folder()};
    bool downloaded_ = false;
    val outcome_ = val::object();
};

Batch& batch() {
    static Batch the_batch;
    return the_batch;
}

val batch_outcome() { return batch().outcome(); }

val outcome() { return page().outcome(); }
val patched_copy() { return page().patched_copy(); }
void forget_copy() { page().forget_copy(); }
std::string reading(const std::string& name) { return messages::page::reading(name); }
val undo_question() { return page().undo_question(); }

val box_changed(int box, bool on) { return page().box_changed(box, on); }

}  // namespace

extern "C" {
EMSCRIPTEN_KEEPALIVE void tarnwick_open(const char* name, int keep_ticks) { page().open(name, keep_ticks != 0); }
EMSCRIPTEN_KEEPALIVE void tarnwick_run() { page().run(); }
EMSCRIPTEN_KEEPALIVE void tarnwick_undo() { page().undo(); }
EMSCRIPTEN_KEEPALIVE void tarnwick_batch_open() { batch().open(); }
EMSCRIPTEN_KEEPALIVE void tarnwick_batch_patch(int chosen) { batch().patch_all(chosen); }
EMSCRIPTEN_KEEPALIVE void tarnwick_batch_undo() { batch().undo_all(); }
}

EMSCRIPTEN_BINDINGS(tarnwick) {
    emscripten::function("texts", &texts);
    emscripten::function("outcome", &outcome);
    emscripten::function("boxChanged", &box_changed);
    emscripten::function("patchedCopy", &patched_copy);
    emscripten::function("forgetCopy", &forget_copy);
    emscripten::function("reading", &reading);
    emscripten::function("undoQuestion", &undo_question);
    emscripten::function("batchOutcome", &batch_outcome);
}
