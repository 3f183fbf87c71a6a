// Whole patch runs with all twenty options ticked on large synthetic voices,
// against two baselines on the same buffers and patterns: one glibc memmem per
// search the run makes, and a naive scan calling match_at at every position.
// Also the peak memory of load + run + save of a 1 GiB voice.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include <benchmark/benchmark.h>

#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "tests/support/disk_image_builder.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

constexpr std::int64_t kMiB = 1024 * 1024;

// Accepts every write and keeps nothing, so a run's save costs no disk time.
class DiscardingCalls final : public FileSystemCalls {
public:
    std::error_code open_for_reading(const std::filesystem::path&, Handle&, FileInfo&) override {
        return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    std::error_code open_for_update(const std::filesystem::path&, Handle& handle, FileInfo& info) override {
        handle = 0;
        info = {};
        info.is_regular = true;
        return {};
    }
    std::error_code create_new(const std::filesystem::path&, Handle& handle) override {
        handle = 0;
        return {};
    }
    std::error_code describe(Handle, FileInfo& info) override {
        info = {};
        return {};
    }
    std::error_code read_at(Handle, std::int64_t, std::uint8_t*, std::size_t, std::size_t& got) override {
        got = 0;
        return {};
    }
    std::error_code write_at(Handle, std::int64_t, const std::uint8_t*, std::size_t size, std::size_t& written) override {
        written = size;
        return {};
    }
    std::error_code flush(Handle) override { return {}; }
    std::error_code close(Handle) override { return {}; }
    std::error_code remove(const std::filesystem::path&) override { return {}; }
    std::error_code make_folders(const std::filesystem::path&) override { return {}; }
    std::error_code flush_folder(const std::filesystem::path&) override { return {}; }
};

class SilentWindow final : public WindowOps {
public:
    bool box_enabled(int) const override { return true; }
    bool box_ticked(int) const override { return true; }
    void disable_box(int) override {}
    void disable_patch() override {}
    void close_main_window() override {}
    void show_message(const std::string&) override {}
};

struct Search {
    ByteString pattern;
    bool stops_at_match;
};

// The searches a run with every option ticked makes, in order: for a voice
// holding every original, each original once (found); for one holding none,
// each lead's original and replacement, and for option 15 its fallback's too.
std::vector<ByteString> searches_of_run(bool originals_present) {
    std::vector<ByteString> patterns;
    for (const PatchOption& option : patch_catalogue()) {
        patterns.push_back(hex2str(option.lead->original_hex));
        if (originals_present) {
            for (const AbbrPatch* follow_up : option.follow_ups) {
                if (follow_up != nullptr) patterns.push_back(hex2str(follow_up->original_hex));
            }
            continue;
        }
        patterns.push_back(hex2str(option.lead->replacement_hex));
        if (option.fallback != nullptr) {
            patterns.push_back(hex2str(option.fallback->original_hex));
            patterns.push_back(hex2str(option.fallback->replacement_hex));
        }
    }
    return patterns;
}

// Every distinct original, placed in the last 64 KiB of the image.
struct Planted {
    std::int64_t offset;
    ByteString original;
};

std::vector<Planted> plant_near_end(std::int64_t size) {
    std::vector<Planted> planted;
    std::int64_t at = size - 64 * 1024;
    std::vector<std::string_view> seen;
    for (const PatchOption& option : patch_catalogue()) {
        std::vector<const AbbrPatch*> patches{option.lead};
        for (const AbbrPatch* p : option.follow_ups) {
            if (p != nullptr) patches.push_back(p);
        }
        for (const AbbrPatch* p : patches) {
            if (std::find(seen.begin(), seen.end(), p->original_hex) != seen.end()) continue;
            seen.push_back(p->original_hex);
            planted.push_back({at, hex2str(p->original_hex)});
            at += 256;
        }
    }
    return planted;
}

struct Voice {
    VoiceImage image;
    std::vector<Planted> planted;
    std::int32_t start = 0;
};

// Built once per size and kind; a 1 GiB voice takes a second to make.
Voice& voice(std::int64_t size, bool originals_present) {
    static std::map<std::pair<std::int64_t, bool>, std::unique_ptr<Voice>> cache;
    auto& slot = cache[{size, originals_present}];
    if (!slot) {
        cache.clear();  // keep one large image in memory at a time
        auto made = std::make_unique<Voice>();
        testing::DiskImageBuilder builder;
        builder.block_exp(4).dllimg_first_block(64).length(size);
        if (originals_present) {
            made->planted = plant_near_end(size);
            for (const Planted& p : made->planted) builder.place(p.offset, p.original);
        }
        made->start = static_cast<std::int32_t>(builder.dllimg_data_start());
        made->image.assign(builder.build(), "/nonexistent/benchmark.vpm");
        cache[{size, originals_present}] = std::move(made);
        return *cache[{size, originals_present}];
    }
    return *slot;
}

// Bytes a search from `start` looks at before it stops.
std::int64_t bytes_scanned(const VoiceImage& image, std::int32_t start, const ByteString& pattern) {
    const std::int32_t hit = image.find_str(start, image.file_len() - 10, pattern);
    return (hit > 0 ? hit + static_cast<std::int64_t>(pattern.size()) : image.file_len()) - start;
}

std::int64_t bytes_of_run(const Voice& v, bool originals_present) {
    std::int64_t total = 0;
    for (const ByteString& pattern : searches_of_run(originals_present)) total += bytes_scanned(v.image, v.start, pattern);
    return total;
}

void restore(Voice& v) {
    for (const Planted& p : v.planted) v.image.put_str(static_cast<std::int32_t>(p.offset), p.original);
}

void BM_PatchRun(benchmark::State& state) {
    const std::int64_t size = state.range(0) * kMiB;
    const bool present = state.range(1) != 0;
    Voice& v = voice(size, present);
    const std::int64_t per_run = bytes_of_run(v, present);
    SilentWindow window;
    DiscardingCalls calls;
    for (auto _ : state) {
        state.PauseTiming();
        restore(v);
        state.ResumeTiming();
        const RunOutcome outcome = run_patch(v.image, window, "/nonexistent/journals", calls);
        benchmark::DoNotOptimize(outcome);
    }
    state.SetBytesProcessed(state.iterations() * per_run);
    state.SetLabel(present ? "originals near the end" : "originals absent");
}

// The voice and the patterns of a baseline: the same as the run's, originals in place.
struct BaselineWork {
    Voice& v;
    std::vector<ByteString> patterns;

    explicit BaselineWork(const benchmark::State& state)
        : v(voice(state.range(0) * kMiB, state.range(1) != 0)), patterns(searches_of_run(state.range(1) != 0)) {
        restore(v);
    }
};

void BM_MemmemBaseline(benchmark::State& state) {
    const BaselineWork work(state);
    const Voice& v = work.v;
    const std::vector<ByteString>& patterns = work.patterns;
    const auto bytes = v.image.file_buf();
    // Start positions up to file_len - 9, as the run's searches test.
    const auto positions = static_cast<std::size_t>(v.image.file_len() - 9 - v.start + 1);
    const auto remaining = static_cast<std::size_t>(v.image.file_len() - v.start);
    std::int64_t per_run = 0;
    for (auto _ : state) {
        per_run = 0;
        for (const ByteString& pattern : patterns) {
            const auto* from = bytes.data() + v.start;
            const std::size_t haystack = std::min(remaining, positions + pattern.size() - 1);
            const void* hit = ::memmem(from, haystack, pattern.data(), pattern.size());
            per_run += hit ? static_cast<const std::uint8_t*>(hit) - from + static_cast<std::int64_t>(pattern.size())
                           : static_cast<std::int64_t>(remaining);
            benchmark::DoNotOptimize(hit);
        }
    }
    state.SetBytesProcessed(state.iterations() * per_run);
}

void BM_NaiveMatchAtBaseline(benchmark::State& state) {
    const BaselineWork work(state);
    const Voice& v = work.v;
    const std::vector<ByteString>& patterns = work.patterns;
    const std::int32_t last = v.image.file_len() - 9;
    std::int64_t per_run = 0;
    for (auto _ : state) {
        per_run = 0;
        for (const ByteString& pattern : patterns) {
            std::int32_t p = v.start;
            while (p <= last && !v.image.match_at(p, pattern)) ++p;
            per_run += std::min<std::int64_t>(p, last) + static_cast<std::int64_t>(pattern.size()) - v.start;
            benchmark::DoNotOptimize(p);
        }
    }
    state.SetBytesProcessed(state.iterations() * per_run);
}

// Peak resident memory of this process since the last reset, in KiB.
long peak_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    }
    return -1;
}

// Load + run + save of a voice file in a child process, measured from a
// reset of the peak after the fork, so nothing the benchmark process built
// earlier counts. Reports the child's peak resident memory against the file.
void BM_PeakMemoryLoadRunSave(benchmark::State& state) {
    const std::int64_t size = state.range(0) * kMiB;
    testing::TempDir dir;
    const auto path = dir / "voice.vpm";
    {
        testing::DiskImageBuilder builder;
        builder.block_exp(4).dllimg_first_block(64).length(size);
        for (const Planted& p : plant_near_end(size)) builder.place(p.offset, p.original);
        testing::write_file(path, builder.build());
    }
    long peak_kib = 0;
    long baseline_kib = 0;
    for (auto _ : state) {
        int report[2];
        if (::pipe(report) != 0) state.SkipWithError("pipe failed");
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(report[0]);
            std::ofstream("/proc/self/clear_refs") << "5";
            long figures[2] = {peak_rss_kib(), 0};
            VoiceImage image;
            SilentWindow window;
            const auto journals = path.parent_path() / "journals";
            const bool ok = image.load_image(path, journals).ok && run_patch(image, window, journals) == RunOutcome::saved;
            figures[1] = ok ? peak_rss_kib() : -1;
            const ssize_t written = ::write(report[1], figures, sizeof figures);
            ::_exit(written == sizeof figures ? 0 : 1);
        }
        ::close(report[1]);
        long figures[2] = {0, -1};
        const ssize_t got = ::read(report[0], figures, sizeof figures);
        ::close(report[0]);
        ::waitpid(child, nullptr, 0);
        if (got != sizeof figures || figures[1] < 0) state.SkipWithError("load + run + save failed");
        baseline_kib = figures[0];
        peak_kib = figures[1];
    }
    state.counters["file_MiB"] = static_cast<double>(size) / static_cast<double>(kMiB);
    state.counters["peak_rss_MiB"] = static_cast<double>(peak_kib) / 1024.0;
    state.counters["before_load_MiB"] = static_cast<double>(baseline_kib) / 1024.0;
    state.counters["above_file_MiB"] =
        static_cast<double>(peak_kib - baseline_kib) / 1024.0 - static_cast<double>(size) / static_cast<double>(kMiB);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (const std::int64_t mib : {16, 256, 1024}) {
        for (const std::int64_t present : {1, 0}) b->Args({mib, present});
    }
}

// First, while this process holds no large image.
BENCHMARK(BM_PeakMemoryLoadRunSave)->Arg(1024)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PatchRun)->Apply(sizes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemmemBaseline)->Apply(sizes)->Unit(benchmark::kMillisecond)->UseRealTime();
// The naive scan takes minutes on 1 GiB; its per-byte rate shows on the smaller sizes.
BENCHMARK(BM_NaiveMatchAtBaseline)->Args({16, 1})->Args({16, 0})->Args({256, 0})->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace tarnwick

BENCHMARK_MAIN();
