// What the page needs of the engine, and nothing more: the texts of the
// windows, opening a voice, and "Patch && Save", both reaching the file
// through the page's file calls. Every rule (what is checked and written in
// which order, what is enabled, which messages come in which order) is the
// engine's; the page carries out the file calls and shows what it is told.
#include <emscripten/bind.h>
#include <emscripten/emscripten.h>
#include <emscripten/val.h>

#include <array>
#include <string>
#include <vector>

#include "engine/file_calls_web.h"
#include "engine/open_voice.h"
#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "engine/user_messages.h"
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

// The window a run sees: the page's boxes as it reports them; what the run
// changes is kept for the page to apply.
class PageWindow final : public WindowOps {
public:
    // The boxes as the page shows them: bit k - 1 for box k.
    PageWindow(unsigned enabled_boxes, unsigned ticked_boxes) {
        for (int k = 1; k <= kOptionCount; ++k) {
            enabled[static_cast<std::size_t>(k)] = ((enabled_boxes >> (k - 1)) & 1U) != 0;
            ticked[static_cast<std::size_t>(k)] = ((ticked_boxes >> (k - 1)) & 1U) != 0;
        }
    }

    std::array<bool, kByOptionNumber> enabled{};
    std::array<bool, kByOptionNumber> ticked{};
    std::vector<int> disabled_boxes;
    bool patch_disabled = false;
    bool closed = false;
    std::vector<Message> shown;

    bool box_enabled(int box) const override { return enabled[static_cast<std::size_t>(box)]; }
    bool box_ticked(int box) const override { return ticked[static_cast<std::size_t>(box)]; }
    void disable_box(int box) override { disabled_boxes.push_back(box); }
    void disable_patch() override { patch_disabled = true; }
    void close_main_window() override { closed = true; }
    void show_message(const Message& message) override { shown.push_back(message); }
};

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
    t.set("selectedTab", 1);  // the window opens on its second tab
    t.set("dropOneFile", std::string(messages::page::kDropOneFile));
    t.set("dropNoFolder", std::string(messages::page::kDropNoFolder));
    t.set("newVersion", std::string(messages::page::kNewVersion));
    t.set("reload", std::string(messages::page::kReload));
    t.set("downloadCopy", std::string(messages::page::kDownloadCopy));
    return t;
}

// The page's one voice, as the window holds it. Opening and "Patch && Save"
// reach the file through the page and wait for it, so they are started with
// ccall({async: true}); what they found is then read with `outcome`.
class Page {
public:
    // Opens the voice the page offers as `name`, as the window opens a file:
    // any interrupted save of it put back, the whole file read, surveyed.
    void open(const std::string& name) {
        name_ = name;
        PageFileCalls calls(utf8_path(name));
        const OpenedVoice opened = open_voice(image_, utf8_path(name), default_journal_folder(), calls);
        outcome_ = val::object();
        outcome_.set("accepted", opened.accepted());
        outcome_.set("messages", message_list(opened.messages));
        // An accepted voice enables "Patch && Save" and every box.
        outcome_.set("enableAll", opened.accepted());
        if (opened.result != OpenedVoice::Result::unreadable) outcome_.set("survey", survey());
    }

    // "Patch && Save" with the boxes as the page shows them (bit k - 1 for box k).
    void run(unsigned enabled, unsigned ticked) {
        enabled_ = enabled;
        ticked_ = ticked;
        PageWindow window(enabled, ticked);
        PageFileCalls calls(utf8_path(name_));
        RunDetails details;
        const RunOutcome outcome = run_patch(image_, window, default_journal_folder(), calls, &details);
        outcome_ = val::object();
        outcome_.set("messages", message_list(window.shown));
        val disabled = val::array();
        for (const int k : window.disabled_boxes) disabled.call<void>("push", k);
        outcome_.set("disableBoxes", disabled);
        outcome_.set("disablePatch", window.patch_disabled);
        outcome_.set("close", window.closed);
        outcome_.set("saved", outcome == RunOutcome::saved);
        val changed = val::array();
        for (const PatchOption& option : patch_catalogue()) {
            if (details.options[static_cast<std::size_t>(option.number - 1)] == OptionState::ready) {
                changed.call<void>("push", std::string(option.label));
            }
        }
        outcome_.set("changed", changed);
        outcome_.set("savedText", messages::page::saved(name_, changed["length"].as<std::size_t>()));
        outcome_.set("downloadedText", messages::page::downloaded(name_));
        // The file holds exactly what it held: a patched copy may still be had.
        const bool unchanged = details.save && *details.save != SaveStatus::saved &&
                               *details.save != SaveStatus::recovery_pending;
        outcome_.set("offerDownload", unchanged);
        if (unchanged) outcome_.set("offerText", messages::page::download_offered(name_));
        // After a failed save the file holds what it held: the survey says so.
        if (!window.closed && image_.file_len() > 0) outcome_.set("survey", survey());
    }

    val outcome() const { return outcome_; }

    // The voice as the last run would have saved it, as pieces for a Blob:
    // views of the engine's memory, valid until the engine runs again.
    val patched_copy() {
        PageWindow window(enabled_, ticked_);
        RunDetails details;
        val pieces = val::array();
        if (rehearse_patch(image_, window, details) != RunOutcome::rehearsed) return pieces;
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
    // What each option would do to the voice as it now is.
    val survey() const {
        const VoiceSurvey surveyed = survey_voice(image_);
        val shown = val::object();
        shown.set("description", voice_description(name_, image_.file_len(), surveyed));
        shown.set("readiness", readiness_sentence(surveyed));
        val states = val::array();
        for (int k = 1; k <= kOptionCount; ++k) {
            states.call<void>("push", surveyed.located() ? std::string(state_text(surveyed.state(k))) : std::string());
        }
        shown.set("states", states);
        return shown;
    }

    VoiceImage image_;
    std::string name_;
    unsigned enabled_ = 0;
    unsigned ticked_ = 0;
    std::vector<ByteString> patched_;
    val outcome_ = val::object();
};

Page& page() {
    static Page the_page;
    return the_page;
}

val outcome() { return page().outcome(); }
val patched_copy() { return page().patched_copy(); }
void forget_copy() { page().forget_copy(); }
std::string reading(const std::string& name) { return messages::page::reading(name); }

// A box changed by the person: what that enables.
val box_changed() {
    val result = val::object();
    result.set("enablePatch", true);
    return result;
}

}  // namespace

extern "C" {
EMSCRIPTEN_KEEPALIVE void tarnwick_open(const char* name) { page().open(name); }
EMSCRIPTEN_KEEPALIVE void tarnwick_run(unsigned enabled, unsigned ticked) { page().run(enabled, ticked); }
}

EMSCRIPTEN_BINDINGS(tarnwick) {
    emscripten::function("texts", &texts);
    emscripten::function("outcome", &outcome);
    emscripten::function("boxChanged", &box_changed);
    emscripten::function("patchedCopy", &patched_copy);
    emscripten::function("forgetCopy", &forget_copy);
    emscripten::function("reading", &reading);
}
