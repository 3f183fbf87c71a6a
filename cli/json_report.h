// The command line's --json: the engine's reports as one JSON document, for scripts.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/journal_format.h"
#include "engine/open_voice.h"
#include "engine/patch_run.h"
#include "engine/undo_patch.h"
#include "engine/user_messages.h"

namespace tarnwick::json_report {

using Json = nlohmann::ordered_json;

std::string verdict_name(Verdict verdict);
Json message(const Message& message);
// A recorded save, as `history` and `undo` name it.
Json save(const SaveRecord& record);
// What opening found out about the file: its kind and size, where it was read.
void describe(Json& entry, const OpenedVoice& opened, std::int64_t size);
// `status`: every option's state, and the saves an undo would take back.
void status(Json& entry, const OpenedVoice& opened);
// `history`: the recorded saves, newest first, as undo takes them; none
// where the history could not be read.
void history(Json& entry, const SavesOfVoice& found);
// `apply`: each option the run met and whether it changed, and the bytes.
void run(Json& entry, const RunReport& run);

}  // namespace tarnwick::json_report
