// A whole patch run on arbitrary bytes, every option ticked, the write-back
// going to a temporary file. Beside memory safety it checks that the image
// keeps its length, that a run which patched nothing changed nothing, that
// every changed byte lies inside a replacement written where its original was
// found (against a plain model of the run), and that the saved file equals
// the image.
#include <unistd.h>

#include <filesystem>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "engine/layout_probe.h"
#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "engine/voice_survey.h"

namespace {

using namespace tarnwick;

class TickedWindow final : public WindowOps {
public:
    TickedWindow() = default;
    explicit TickedWindow(int only) : only_(only) {}
    bool box_enabled(int box) const override { return enabled_[static_cast<std::size_t>(box)]; }
    bool box_ticked(int box) const override { return only_ == 0 || box == only_; }
    void disable_box(int box) override { enabled_[static_cast<std::size_t>(box)] = false; }
    void disable_patch() override {}
    void close_main_window() override {}
    void show_message(const std::string& text) override {
        already_patched = already_patched || text.ends_with("abbreviation is already patched.");
    }

    bool already_patched = false;

private:
    int only_ = 0;
    std::array<bool, 21> enabled_ = [] {
        std::array<bool, 21> all{};
        all.fill(true);
        return all;
    }();
};

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

    // The lowest start from `start` to file_len - 9 where the whole pattern fits.
    std::int64_t find(std::int64_t start, const ByteString& pattern) const {
        const auto length = static_cast<std::int64_t>(bytes.size());
        const std::int64_t last = std::min(std::max(start, length - 9), length - static_cast<std::int64_t>(pattern.size()));
        const std::int64_t first = std::max<std::int64_t>(start, 0);
        if (first > last) return 0;
        const auto from = bytes.begin() + first;
        const auto to = bytes.begin() + last + static_cast<std::int64_t>(pattern.size());
        const auto hit = std::search(from, to, std::boyer_moore_horspool_searcher(pattern.begin(), pattern.end()));
        return hit == to ? 0 : hit - bytes.begin();
    }

    bool patch(std::int64_t start, const AbbrPatch& patch) {
        const ByteString original = hex2str(patch.original_hex);
        const ByteString replacement = hex2str(patch.replacement_hex);
        const std::int64_t at = find(start, original);
        if (at <= 0) return false;
        std::copy(replacement.begin(), replacement.end(), bytes.begin() + at);
        written.emplace_back(static_cast<std::size_t>(at), replacement.size());
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Never destroyed, so the clean-up at exit can still use them. A
    // memory-backed folder where there is one: flushing to disk would cost
    // more than the run itself.
    static const std::filesystem::path& folder = *new std::filesystem::path([] {
        std::string name = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        name += "/fuzz-patch-run-XXXXXX";
        return std::filesystem::path(::mkdtemp(name.data()));
    }());
    static const std::filesystem::path& path = *new std::filesystem::path(folder / "voice.vpm");
    static const std::filesystem::path& journals = *new std::filesystem::path(folder / "journals");
    static const bool cleanup_registered = std::atexit([] { std::filesystem::remove_all(folder); }) == 0;
    (void)cleanup_registered;

    const ByteString input(data, data + size);

    // The survey decides each option as a run with only that option ticked does.
    {
        VoiceImage surveyed;
        surveyed.assign(input);
        const VoiceSurvey survey = survey_voice(surveyed);
        check(std::equal(input.begin(), input.end(), surveyed.file_buf().begin()), "the survey writes no byte");
        for (int k = 1; survey.located() && k <= kOptionCount; ++k) {
            VoiceImage rehearsed;
            rehearsed.assign(input);
            TickedWindow only(k);
            std::vector<ChangedRange> would_write;
            const bool would_patch = rehearse_patch(rehearsed, only, would_write) == RunOutcome::rehearsed;
            const OptionState expected = would_patch              ? OptionState::ready
                                         : only.already_patched ? OptionState::already_changed
                                                                : OptionState::not_in_this_voice;
            check(survey.state(k) == expected, "the survey agrees with a run of that option alone");
        }
    }
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    VoiceImage image;
    check(image.load_image(path, journals).ok, "the voice loads");
    TickedWindow window;
    const RunOutcome outcome = run_patch(image, window, journals);
    check(!std::filesystem::exists(journals) || std::filesystem::is_empty(journals), "no journal is left behind");
    const ByteView after = image.file_buf();
    check(after.size() == input.size(), "the image keeps its length");

    if (outcome != RunOutcome::saved) {
        check(std::equal(after.begin(), after.end(), input.begin()), "a run that patched nothing changed nothing");
        return 0;
    }

    Model model{input, {}};
    const ContainerKind kind = detect_container(image);
    VoiceImage probe;
    probe.assign(input);
    check(probe_layout(probe, kind) == ProbeResult::located, "a saved run had located its area");
    const std::int64_t start = probe.dllimg_start();
    for (const PatchOption& option : patch_catalogue()) {
        if (model.patch(start, *option.lead)) {
            for (const AbbrPatch* follow_up : option.follow_ups) {
                if (follow_up != nullptr) model.patch(start, *follow_up);
            }
        } else if (option.fallback != nullptr) {
            model.patch(start, *option.fallback);
        }
    }
    check(std::equal(after.begin(), after.end(), model.bytes.begin()), "the run writes what the model writes");
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (after[i] == input[i]) continue;
        bool covered = false;
        for (const auto& [at, length] : model.written) covered = covered || (i >= at && i < at + length);
        check(covered, "every changed byte lies inside a written replacement");
    }

    std::ifstream saved(path, std::ios::binary);
    const ByteString on_disk((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    check(on_disk.size() == after.size() && std::equal(after.begin(), after.end(), on_disk.begin()),
          "the saved file equals the image");
    return 0;
}
