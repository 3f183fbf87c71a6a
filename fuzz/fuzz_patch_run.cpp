// A whole patch run on arbitrary bytes, every option ticked, the write-back
// going to the in-memory file system. Beside memory safety it checks that the image
// keeps its length, that a run which patched nothing changed nothing, that
// every changed byte lies inside a replacement written where its original was
// found (against a plain model of the run), and that the saved file equals
// the image.
#include <cstdlib>
#include <cstring>
#include <functional>

#include "engine/layout_probe.h"
#include "engine/memory_files.h"
#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "engine/voice_survey.h"

namespace {

using namespace tarnwick;

// Every box enabled; all of them ticked, or only `only`.
WindowControls ticked(int only = 0) {
    WindowControls controls;
    controls.enabled.fill(true);
    for (int k = 1; k <= kOptionCount; ++k) controls.set_ticked(k, only == 0 || k == only);
    return controls;
}

bool says_already_patched(const RunReport& report) {
    for (const Message& message : report.messages) {
        if (message.text.ends_with("abbreviation is already patched.")) return true;
    }
    return false;
}

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The run as a plain model: a byte-by-byte search, the same option rules.
struct Model {
    ByteString bytes;
    std::vector<std::pair<std::size_t, std::size_t>> written;  // offset, length

    // The lowest start from `from` to file_len - 9 where the whole pattern
    // fits, by the C library's search (outside the fuzzer's instrumentation).
    std::int64_t find(std::int64_t from, const ByteString& pattern) const {
        const auto length = static_cast<std::int64_t>(bytes.size());
        const std::int64_t last = std::min(std::max(from, length - 9), length - static_cast<std::int64_t>(pattern.size()));
        const std::int64_t first = std::max<std::int64_t>(from, 0);
        if (first > last) return 0;
        const void* hit = ::memmem(bytes.data() + first, static_cast<std::size_t>(last - first) + pattern.size(),
                                   pattern.data(), pattern.size());
        return hit == nullptr ? 0 : static_cast<const std::uint8_t*>(hit) - bytes.data();
    }

    // Whether the run of `original` at `at` lies inside one of the option's
    // own replacements as it writes them (20b's " Trail" run ends with 20a's original).
    bool inside_own_replacement(const PatchOption& option, std::int64_t at, const ByteString& original) const {
        for (const AbbrPatch* patch : {option.lead, option.follow_ups[0], option.follow_ups[1], option.fallback}) {
            if (patch == nullptr) continue;
            const ByteString own = hex2str(patch->replacement_hex);
            for (std::size_t d = 0; d + original.size() <= own.size(); ++d) {
                if (!std::equal(original.begin(), original.end(), own.begin() + static_cast<std::ptrdiff_t>(d))) continue;
                const std::int64_t begin = at - static_cast<std::int64_t>(d);
                if (begin >= 0 && begin + static_cast<std::int64_t>(own.size()) <= static_cast<std::int64_t>(bytes.size()) &&
                    std::equal(own.begin(), own.end(), bytes.begin() + begin)) {
                    return true;
                }
            }
        }
        return false;
    }

    bool patch(std::int64_t start, const PatchOption& option, const AbbrPatch& patch) {
        const ByteString original = hex2str(patch.original_hex);
        const ByteString replacement = hex2str(patch.replacement_hex);
        std::int64_t at = find(start, original);
        while (at > 0 && inside_own_replacement(option, at, original)) {
            // Past the window's end a search tests its start alone.
            at = at + 1 > std::max<std::int64_t>(start, static_cast<std::int64_t>(bytes.size()) - 9) ? 0 : find(at + 1, original);
        }
        if (at <= 0) return false;
        std::copy(replacement.begin(), replacement.end(), bytes.begin() + at);
        written.emplace_back(static_cast<std::size_t>(at), replacement.size());
        return true;
    }
    bool covers(std::int64_t offset) const {
        for (const auto& [at, length] : written) {
            if (offset >= static_cast<std::int64_t>(at) && offset < static_cast<std::int64_t>(at + length)) return true;
        }
        return false;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteString input(data, data + size);

    // The survey decides each option as a run with only that option ticked does.
    VoiceImage surveyed;
    surveyed.assign(input);
    {
        const VoiceSurvey survey = survey_voice(surveyed);
        check(std::equal(input.begin(), input.end(), surveyed.file_buf().begin()), "the survey writes no byte");
        for (int k = 1; survey.located() && k <= kOptionCount; ++k) {
            // A rehearsal puts the image back as it was, so one serves all.
            const RunReport rehearsal = rehearse_patch(surveyed, ticked(k));
            const RunDetails& details = rehearsal.details;
            const bool would_patch = rehearsal.outcome == RunOutcome::rehearsed;
            check(std::equal(input.begin(), input.end(), surveyed.file_buf().begin()), "a rehearsal writes no byte");
            const OptionState expected = would_patch              ? OptionState::ready
                                         : says_already_patched(rehearsal) ? OptionState::already_changed
                                                                : OptionState::not_in_this_voice;
            check(survey.state(k) == expected, "the survey agrees with a run of that option alone");
            check(!details.options[static_cast<std::size_t>(k - 1)] ||
                      *details.options[static_cast<std::size_t>(k - 1)] == expected,
                  "the run's own account of the option agrees");
        }
    }
    MemoryFiles files;
    const std::filesystem::path path = "/device/voice.vpm";
    const std::filesystem::path journals = "/home/journals";
    files.put_file(path, input);
    VoiceImage image;
    check(image.load_image(path, journals, files).ok(), "the voice loads");
    const RunOutcome outcome = run_patch(image, ticked(), journals, files).outcome;
    check(files.entries(journals).empty(), "no journal is left behind");
    const ByteView after = image.file_buf();
    check(after.size() == input.size(), "the image keeps its length");

    if (outcome != RunOutcome::saved) {
        check(std::equal(after.begin(), after.end(), input.begin()), "a run that patched nothing changed nothing");
        return 0;
    }

    Model model{input, {}};
    // The voice as it was before the run, which the rehearsals left as they found it.
    const Layout layout = probe_layout(surveyed, detect_container(surveyed));
    check(layout.located(), "a saved run had located its area");
    const std::int64_t start = layout.dllimg_start;
    for (const PatchOption& option : patch_catalogue()) {
        if (model.patch(start, option, *option.lead)) {
            for (const AbbrPatch* follow_up : option.follow_ups) {
                if (follow_up != nullptr) model.patch(start, option, *follow_up);
            }
        } else if (option.fallback != nullptr) {
            model.patch(start, option, *option.fallback);
        }
    }
    check(std::equal(after.begin(), after.end(), model.bytes.begin()), "the run writes what the model writes");
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (after[i] != input[i]) check(model.covers(static_cast<std::int64_t>(i)), "every changed byte lies inside a written replacement");
    }

    const std::optional<ByteString> on_disk = files.file(path);
    check(on_disk && std::equal(after.begin(), after.end(), on_disk->begin(), on_disk->end()),
          "the saved file equals the image");
    for (const MemoryFiles::Write& write : files.writes) {
        if (write.path != path) continue;
        for (std::size_t i = 0; i < write.bytes.size(); ++i) {
            check(model.covers(write.offset + static_cast<std::int64_t>(i)),
                  "every byte written into the file lies inside a written replacement");
        }
    }
    return 0;
}
