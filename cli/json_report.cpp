#include "cli/json_report.h"

#include <ctime>

#include "engine/patch_catalogue.h"
#include "engine/voice_survey.h"

namespace tarnwick::json_report {
namespace {

// "2026-12-08T14:31:05Z": a time any script reads, whatever its time zone.
std::string utc_time(std::int64_t ns) {
    const std::time_t seconds = static_cast<std::time_t>(ns / 1'000'000'000);
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

const char* state_name(OptionState state) {
    switch (state) {
        case OptionState::ready: return "ready";
        case OptionState::already_changed: return "already_changed";
        case OptionState::not_in_this_voice: return "not_in_this_voice";
        case OptionState::half_changed: return "half_changed";
    }
    return "not_in_this_voice";
}

Json option(const PatchOption& option) {
    const OptionTab& tab = option_tabs()[static_cast<std::size_t>(tab_of(option.number).value_or(0))];
    return {{"number", option.number}, {"tab", displayed_caption(tab.caption)}, {"label", std::string(option.label)}};
}

Json save_or_null(const std::optional<SaveRecord>& record) { return record ? save(*record) : Json(nullptr); }

}  // namespace

std::string verdict_name(Verdict verdict) {
    switch (verdict) {
        case Verdict::done: return "done";
        case Verdict::nothing_to_do: return "nothing_to_do";
        case Verdict::refused: return "refused";
    }
    return "refused";
}

Json message(const Message& message) {
    const char* kind = message.kind == MessageKind::information ? "information"
                       : message.kind == MessageKind::refusal   ? "refusal"
                                                                : "failure";
    return {{"kind", kind}, {"text", message.text}};
}

Json save(const SaveRecord& record) {
    Json options = Json::array();
    for (const SaveRecord::Option& option : record.options) {
        options.push_back({{"number", option.number}, {"label", option.label}});
    }
    const char* kind = record.kind == SaveRecord::Kind::patch  ? "patch"
                       : record.kind == SaveRecord::Kind::undo ? "undo"
                                                               : "put_back";
    return {{"time", utc_time(record.time_ns)},
            {"kind", kind},
            {"interrupted", record.state == SaveRecord::State::interrupted},
            {"options", options},
            {"bytes_changed", record.bytes_changed()}};
}

void describe(Json& entry, const OpenedVoice& opened, std::int64_t size) {
    if (opened.result == OpenedVoice::Result::unreadable) return;
    entry["kind"] = opened.survey.kind == ContainerKind::vpm   ? Json("vpm")
                    : opened.survey.kind == ContainerKind::rgn ? Json("rgn")
                                                               : Json(nullptr);
    entry["size"] = size;
}

void status(Json& entry, const OpenedVoice& opened) {
    if (!opened.survey.located()) return;
    entry["data_start"] = opened.survey.layout.dllimg_start;
    Json options = Json::array();
    for (const PatchOption& each : patch_catalogue()) {
        Json shown = option(each);
        shown["state"] = state_name(opened.survey.state(each.number));
        options.push_back(shown);
    }
    entry["options"] = options;
    entry["last_save"] = save_or_null(opened.last_save);
    entry["half_way"] = save_or_null(opened.half_way);
}

void history(Json& entry, const SavesOfVoice& found) {
    if (found.problem) return;
    // A half-way save comes before any other: undo puts it back first.
    Json saves = Json::array();
    if (found.half_way) saves.push_back(save(*found.half_way));
    for (const SaveRecord& record : found.chain) saves.push_back(save(record));
    entry["saves"] = saves;
}

void run(Json& entry, const RunReport& run) {
    Json options = Json::array();
    for (const PatchOption& each : patch_catalogue()) {
        const std::optional<OptionState>& state = run.details.options[static_cast<std::size_t>(each.number - 1)];
        if (!state) continue;
        Json met = option(each);
        met["state"] = state_name(*state);
        options.push_back(met);
    }
    entry["options"] = options;
    Json changes = Json::array();
    for (const ChangedRange& range : run.details.changes) {
        changes.push_back({{"offset", range.offset}, {"was", hex_text(range.old_bytes)}, {"now", hex_text(range.new_bytes)}});
    }
    entry["changes"] = changes;
    entry["saved"] = run.outcome == RunOutcome::saved;
}

}  // namespace tarnwick::json_report
