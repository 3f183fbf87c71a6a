#include "engine/voice_batch.h"

#include <algorithm>
#include <utility>

#include "engine/patch_run.h"
#include "engine/undo_patch.h"
#include "engine/window_controls.h"

namespace tarnwick {
namespace {

std::int64_t bytes_in(const std::vector<ChangedRange>& changes) {
    std::int64_t bytes = 0;
    for (const ChangedRange& range : changes) bytes += static_cast<std::int64_t>(range.new_bytes.size());
    return bytes;
}

// Runs `act` on each voice in turn, telling `progress` before each, and
// gathers one entry per voice.
template <typename Act>
BatchReport each_voice(std::vector<BatchVoice>& voices, const BatchProgress& progress, Act act) {
    BatchReport report;
    for (std::size_t i = 0; i < voices.size(); ++i) {
        if (progress) progress(i, voices.size());
        BatchEntry entry;
        entry.name = voices[i].name;
        act(voices[i], entry);
        report.voices.push_back(std::move(entry));
    }
    if (progress) progress(voices.size(), voices.size());
    return report;
}

std::size_t count_verdict(const BatchReport& report, Verdict verdict) {
    return static_cast<std::size_t>(std::count_if(report.voices.begin(), report.voices.end(),
                                                  [&](const BatchEntry& entry) { return entry.verdict == verdict; }));
}

}  // namespace

bool BatchVoice::patchable() const {
    return opened.verdict() == Verdict::done && opened.survey.located() && !opened.half_way;
}

std::optional<OptionState> BatchVoice::state(int option) const {
    if (!patchable()) return std::nullopt;
    return opened.survey.state(option);
}

std::string BatchVoice::heading() const {
    if (opened.result == OpenedVoice::Result::unreadable) return messages::batch::unread_heading(name);
    return messages::batch::voice_heading(name, kind_text(opened.survey.kind), image.file_len());
}

std::string BatchVoice::cell(int option) const {
    if (!patchable() || !view) return {};
    return view->text.states[static_cast<std::size_t>(option - 1)];
}

Verdict BatchReport::verdict() const {
    Verdict worst = Verdict::done;
    for (const BatchEntry& entry : voices) worst = std::max(worst, entry.verdict);
    return worst;
}

VoiceBatch::VoiceBatch(std::filesystem::path journal_folder) : journal_folder_(std::move(journal_folder)) {}

BatchReport VoiceBatch::open(std::span<const std::filesystem::path> paths, FileSystemCalls& calls,
                             const BatchProgress& progress) {
    voices_.clear();
    for (const std::filesystem::path& path : paths) {
        if (std::any_of(voices_.begin(), voices_.end(),
                        [&](const BatchVoice& voice) { return voice.image.file_path() == path; })) {
            continue;
        }
        BatchVoice voice;
        voice.image.assign({}, path);  // named before it is read, for its entry
        voice.name = messages::path_for_people(path.filename());
        voices_.push_back(std::move(voice));
    }
    BatchReport report = each_voice(voices_, progress, [&](BatchVoice& voice, BatchEntry& entry) {
        const std::filesystem::path path = voice.image.file_path();
        voice.opened = open_voice(voice.image, path, journal_folder_, calls, RecoveryMode::record, {});
        voice.view = voice.opened.view;
        entry.messages = voice.opened.messages;
        if (!voice.patchable()) {
            if (voice.opened.accepted() && !voice.opened.recovery_unknown && !voice.opened.survey.located()) {
                entry.messages.push_back({MessageKind::refusal, std::string(messages::kAreaNotLocated)});
            }
            // One that looks half-written is put back, or patched as it is,
            // only by the person, with the voice alone in front of them.
            if (voice.opened.half_way) {
                entry.messages.push_back({MessageKind::refusal, std::string(messages::batch::kHalfWayOpenAlone)});
            }
            voice.why_not = entry.messages;
            entry.verdict = Verdict::refused;
            entry.summary = std::string(messages::batch::kRefused);
            return;
        }
        entry.verdict = Verdict::done;
        entry.summary = readiness_sentence(voice.opened.survey);
    });
    report.closing = messages::batch::opened(voices_.size(), count_verdict(report, Verdict::done));
    return report;
}

bool VoiceBatch::any_patchable() const {
    return std::any_of(voices_.begin(), voices_.end(), [](const BatchVoice& voice) { return voice.patchable(); });
}

bool VoiceBatch::tickable(int option) const {
    return std::any_of(voices_.begin(), voices_.end(),
                       [&](const BatchVoice& voice) { return voice.state(option) == OptionState::ready; });
}

void VoiceBatch::show_anew(BatchVoice& voice, FileSystemCalls& calls) {
    voice.opened.survey = survey_voice(voice.image);
    const SavesOfVoice saves = saves_of_voice(voice.image, journal_folder_, calls);
    voice.view = voice_view(voice.image, voice.opened.survey, saves.last_save(), saves.half_way);
}

BatchReport VoiceBatch::patch_all(const std::array<bool, kOptionCount>& chosen, FileSystemCalls& calls,
                                  const BatchProgress& progress) {
    BatchReport report = each_voice(voices_, progress, [&](BatchVoice& voice, BatchEntry& entry) {
        if (!voice.patchable()) {
            entry.summary = std::string(messages::batch::kRefused);
            entry.messages = voice.why_not;
            return;
        }
        // Ticked only where ready, so that no voice is told of an option it
        // already has or never had.
        WindowControls controls = voice.opened.controls;
        bool any = false;
        for (int k = 1; k <= kOptionCount; ++k) {
            const bool tick = chosen[static_cast<std::size_t>(k - 1)] && voice.state(k) == OptionState::ready;
            controls.set_ticked(k, tick);
            any = any || tick;
        }
        if (!any) {
            entry.verdict = Verdict::nothing_to_do;
            entry.summary = std::string(messages::batch::kNothingToChange);
            return;
        }
        const RunReport run = run_patch(voice.image, controls, journal_folder_, calls);
        entry.download = run.download;
        entry.verdict = run.verdict();
        for (const Message& message : run.messages) {
            if (message.text != messages::kPatchedSuccessfully) entry.messages.push_back(message);
        }
        if (run.outcome == RunOutcome::saved) {
            entry.patched_options = run.details.patched_options();
            entry.bytes_changed = bytes_in(run.details.changes);
            entry.summary = messages::batch::saved_with(entry.patched_options.size());
            voice.patched_here = true;
        } else if (run.details.save == SaveStatus::not_put_back) {
            entry.summary = std::string(messages::batch::kCutOff);
            // What the file holds is known only by opening it again.
            voice.opened.result = OpenedVoice::Result::unreadable;
            voice.why_not = {{MessageKind::refusal, std::string(messages::batch::kCutOff)}};
            voice.patched_here = false;
        } else {
            entry.summary = std::string(run.verdict() == Verdict::nothing_to_do ? messages::batch::kNothingToChange
                                                                                : messages::batch::kNotSaved);
        }
        if (run.view) {
            voice.opened.survey = *run.survey;
            voice.view = run.view;
        } else {
            show_anew(voice, calls);
        }
    });
    report.closing = messages::batch::patched(count_verdict(report, Verdict::done), voices_.size());
    return report;
}

std::size_t VoiceBatch::undoable() const {
    return static_cast<std::size_t>(
        std::count_if(voices_.begin(), voices_.end(), [](const BatchVoice& voice) { return voice.patched_here; }));
}

Question VoiceBatch::undo_question() const { return {messages::batch::undo_question(undoable()), false}; }

BatchReport VoiceBatch::undo_all(FileSystemCalls& calls, const BatchProgress& progress) {
    const std::size_t asked = undoable();
    BatchReport report = each_voice(voices_, progress, [&](BatchVoice& voice, BatchEntry& entry) {
        if (!voice.patched_here) {
            entry.verdict = Verdict::nothing_to_do;
            entry.summary = std::string(messages::batch::kNotPatchedHere);
            return;
        }
        const UndoReport undone = undo_last_patch(voice.image, journal_folder_, calls, false);
        entry.verdict = undone.verdict();
        entry.download = undone.download;
        entry.messages = undone.messages;
        if (undone.outcome == UndoOutcome::undone) {
            entry.summary = std::string(messages::batch::kTakenBack);
            voice.patched_here = false;
        } else {
            entry.summary = std::string(messages::batch::kNotTakenBack);
        }
        show_anew(voice, calls);
    });
    report.closing = messages::batch::undone(asked - undoable(), asked);
    return report;
}

}  // namespace tarnwick
