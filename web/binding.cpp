// What the page needs of the engine, and nothing more: the texts of the
// windows, opening a voice from bytes, rehearsing a run with the ticked
// options, and the words for how its save went. Every rule (what is enabled,
// which messages come in which order) is the engine's; the page shows them.
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <array>
#include <string>
#include <vector>

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

val bytes_of(const ByteString& bytes) {
    return val::global("Uint8Array").new_(emscripten::typed_memory_view(bytes.size(), bytes.data())).call<val>("slice");
}

// The window a run sees: the page's boxes as it reports them; what the run
// changes is kept for the page to apply.
class PageWindow final : public WindowOps {
public:
    std::array<bool, kByOptionNumber> enabled{};
    std::array<bool, kByOptionNumber> ticked{};
    std::vector<int> disabled_boxes;
    bool patch_disabled = false;
    std::vector<Message> shown;

    bool box_enabled(int box) const override { return enabled[static_cast<std::size_t>(box)]; }
    bool box_ticked(int box) const override { return ticked[static_cast<std::size_t>(box)]; }
    void disable_box(int box) override { disabled_boxes.push_back(box); }
    void disable_patch() override { patch_disabled = true; }
    void close_main_window() override {}
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
    return t;
}

// One page: the program's one voice image, read from bytes the page hands in.
class Session {
public:
    // Room for the next voice's bytes, for the page to copy them into.
    std::uintptr_t reserve(std::size_t size) {
        incoming_ = ByteString(size);
        return reinterpret_cast<std::uintptr_t>(incoming_.data());
    }

    // Opens the reserved bytes as the file `name`: what the window would show.
    val open(const std::string& name) {
        name_ = name;
        const OpenedVoice opened = open_voice(image_, std::move(incoming_), utf8_path(name));
        incoming_ = {};

        val result = val::object();
        result.set("accepted", opened.accepted());
        result.set("readable", opened.result != OpenedVoice::Result::unreadable);
        result.set("messages", message_list(opened.messages));
        // An accepted voice enables "Patch && Save" and every box; nothing is
        // disabled otherwise.
        result.set("enableAll", opened.accepted());
        if (opened.result != OpenedVoice::Result::unreadable) result.set("survey", survey_of(opened.survey));
        return result;
    }

    // A box changed by the person: what that enables.
    val box_changed() const {
        val result = val::object();
        result.set("enablePatch", true);
        return result;
    }

    // "Patch && Save" up to the save: `enabled` and `ticked` hold the boxes
    // 1 to 20 in their order. The page saves `changes` when `save` is true,
    // then asks save_done for what follows.
    val run(val enabled, val ticked) {
        PageWindow window;
        for (int k = 1; k <= kOptionCount; ++k) {
            window.enabled[static_cast<std::size_t>(k)] = enabled[k - 1].as<bool>();
            window.ticked[static_cast<std::size_t>(k)] = ticked[k - 1].as<bool>();
        }
        RunDetails details;
        const RunOutcome outcome = rehearse_patch(image_, window, details);
        val result = val::object();
        result.set("save", outcome == RunOutcome::rehearsed);
        result.set("messages", message_list(window.shown));
        val disabled = val::array();
        for (const int k : window.disabled_boxes) disabled.call<void>("push", k);
        result.set("disableBoxes", disabled);
        result.set("disablePatch", window.patch_disabled);
        val changes = val::array();
        for (const ChangedRange& range : details.changes) {
            val change = val::object();
            change.set("offset", static_cast<double>(range.offset));
            change.set("old", bytes_of(range.old_bytes));
            change.set("new", bytes_of(range.new_bytes));
            changes.call<void>("push", change);
        }
        result.set("changes", changes);
        return result;
    }

    // How the page's save went: "saved", "downloaded", "changed" (the file is
    // no longer the one opened), "mismatch" (read back other than written,
    // and put back), "mismatch_kept" (and not put back), or "error" with the
    // browser's words. What to tell, and whether the page closes the voice.
    val save_done(const std::string& how, const std::string& words) {
        std::vector<Message> told;
        bool close = false;
        if (how == "saved") {
            told.push_back({MessageKind::information, std::string(messages::kPatchedSuccessfully)});
            close = true;
        } else if (how == "downloaded") {
            told.push_back({MessageKind::information, messages::downloaded_instead(name_)});
            close = true;
        } else {
            Problem problem{FileProblem::system_error, words, {}, 0, 0};
            SaveStatus status = SaveStatus::refused;
            if (how == "changed") problem = Problem::of_kind(FileProblem::changed_since_opened);
            if (how == "mismatch" || how == "mismatch_kept") {
                problem = Problem::of_kind(FileProblem::read_back_mismatch);
                status = how == "mismatch" ? SaveStatus::rolled_back : SaveStatus::recovery_pending;
            }
            told.push_back({MessageKind::failure, status == SaveStatus::recovery_pending
                                                      ? messages::cannot_save_in_browser(name_, messages::reason_text(problem))
                                                      : messages::save_failure_text(name_, status, problem)});
        }
        val result = val::object();
        result.set("messages", message_list(told));
        result.set("close", close);
        return result;
    }

    // What each option would do to the voice as it now is (after a failed save).
    val survey() const { return survey_of(survey_voice(image_)); }

private:
    val survey_of(const VoiceSurvey& survey) const {
        val shown = val::object();
        shown.set("description", voice_description(name_, image_.file_len(), survey));
        shown.set("readiness", readiness_sentence(survey));
        val states = val::array();
        for (int k = 1; k <= kOptionCount; ++k) {
            states.call<void>("push", survey.located() ? std::string(state_text(survey.state(k))) : std::string());
        }
        shown.set("states", states);
        return shown;
    }

    VoiceImage image_;
    ByteString incoming_;
    std::string name_;
};

}  // namespace

EMSCRIPTEN_BINDINGS(tarnwick) {
    emscripten::function("texts", &texts);
    emscripten::class_<Session>("Session")
        .constructor<>()
        .function("reserve", &Session::reserve)
        .function("open", &Session::open)
        .function("boxChanged", &Session::box_changed)
        .function("run", &Session::run)
        .function("saveDone", &Session::save_done)
        .function("survey", &Session::survey);
}
