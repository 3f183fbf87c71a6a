// Whole patch runs and surveys on large synthetic voices, every option ticked
// and every original absent (each search then reads to the end), on three
// fillers: lower-case text, a table-like text of capitalised words that begin
// as the catalogue's runs do, and the abbreviation table's own phrases. On the same buffers: the run as it
// was, one find_str (glibc memmem) per search; the engine's one pass alone;
// and the memory floor, one memchr pass for a byte that is not there. Each reports its time and, as
// x_floor, that time over the floor's.
// Also the peak memory of load + run + save of a 1 GiB voice.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include <benchmark/benchmark.h>

#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "engine/patch_search.h"
#include "engine/voice_survey.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

constexpr std::int64_t kMiB = 1024 * 1024;

// Every box enabled and ticked, as after an open with all of them chosen.
WindowControls every_box() {
    WindowControls all;
    all.enabled.fill(true);
    all.ticked.fill(true);
    return all;
}


// Built once per size and filler, one at a time; a 1 GiB voice takes a second to make.
struct Voice {
    VoiceImage image;
    std::int32_t start = 0;
    double floor_seconds = 0;
};

double seconds_since(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// One read of the area at memory speed: memchr for a byte the fillers never hold.
double floor_pass(const Voice& v) {
    const auto bytes = v.image.file_buf().subspan(static_cast<std::size_t>(v.start));
    const auto began = std::chrono::steady_clock::now();
    const void* hit = std::memchr(bytes.data(), 0xFE, bytes.size());
    benchmark::DoNotOptimize(hit);
    return seconds_since(began);
}

Voice& voice(std::int64_t size, voices::Filler filler) {
    static std::map<std::pair<std::int64_t, voices::Filler>, std::unique_ptr<Voice>> cache;
    auto& slot = cache[{size, filler}];
    if (!slot) {
        cache.clear();  // keep one large image in memory at a time
        auto made = std::make_unique<Voice>();
        voices::DiskImageBuilder builder;
        builder.block_exp(4).dllimg_first_block(64).length(size).filler(filler);
        made->start = static_cast<std::int32_t>(builder.dllimg_data_start());
        made->image.assign(builder.build(), "/nonexistent/benchmark.vpm");
        std::vector<double> passes;
        for (int i = 0; i < 7; ++i) passes.push_back(floor_pass(*made));
        std::sort(passes.begin(), passes.end());
        made->floor_seconds = passes[passes.size() / 2];
        cache[{size, filler}] = std::move(made);
        return *cache[{size, filler}];
    }
    return *slot;
}

constexpr std::array<voices::Filler, 3> kFillers{voices::Filler::text_like, voices::Filler::table_like,
                                                 voices::Filler::phrase_like};
constexpr std::array<const char*, 3> kFillerNames{"text-like", "table-like", "phrase-like"};

Voice& voice_of(const benchmark::State& state) {
    return voice(state.range(0) * kMiB, kFillers[static_cast<std::size_t>(state.range(1))]);
}

// Times the body per iteration and reports it against the floor.
template <typename Body>
void timed(benchmark::State& state, const Voice& v, Body body) {
    double total = 0;
    for (auto _ : state) {
        const auto began = std::chrono::steady_clock::now();
        body();
        const double took = seconds_since(began);
        state.SetIterationTime(took);
        total += took;
    }
    const double per_iteration = total / static_cast<double>(state.iterations());
    state.counters["x_floor"] = per_iteration / v.floor_seconds;
    state.counters["floor_ms"] = v.floor_seconds * 1000;
    state.SetBytesProcessed(state.iterations() * (v.image.file_len() - v.start));
    state.SetLabel(kFillerNames[static_cast<std::size_t>(state.range(1))]);
}

// An image keeps its pass until its bytes change, as one open and the run
// after it share it; each timed run here starts as from a fresh open.
void forget_pass(Voice& v) {
    const std::uint8_t byte = v.image.file_buf()[static_cast<std::size_t>(v.start)];
    v.image.put_str(v.start, ByteView(&byte, 1));
}

void BM_Floor(benchmark::State& state) {
    const Voice& v = voice_of(state);
    timed(state, v, [&] { floor_pass(v); });
}

void BM_Run(benchmark::State& state) {
    Voice& v = voice_of(state);
    timed(state, v, [&] {
        forget_pass(v);
        if (run_patch(v.image, every_box(), "/nonexistent/journals", system_file_calls()).outcome !=
            RunOutcome::nothing_patched) {
            state.SkipWithError("an original was found in the filler");
        }
    });
}

// The run as it was: the same options, one find_str per search.
void BM_RunOneSearchAtATime(benchmark::State& state) {
    Voice& v = voice_of(state);
    MessageList told;
    timed(state, v, [&] {
        told.messages.clear();
        for (const PatchOption& option : patch_catalogue()) {
            if (apply_option(v.image, told, option, v.start).patched) state.SkipWithError("patched the filler");
        }
    });
}

void BM_Survey(benchmark::State& state) {
    Voice& v = voice_of(state);
    timed(state, v, [&] {
        forget_pass(v);
        const VoiceSurvey survey = survey_voice(v.image);
        benchmark::DoNotOptimize(survey);
    });
}

// The engine's own pass over every run of the catalogue (the widest vector
// pass the processor runs, else byte by byte).
void BM_OwnPass(benchmark::State& state) {
    Voice& v = voice_of(state);
    std::vector<std::int64_t> first;
    const bool bytewise = state.range(2) != 0;
    timed(state, v, [&] {
        if (bytewise) {
            catalogue_search().first_starts_by(MultiSearch::Pass::bytewise, v.image.file_buf(), v.start,
                                                v.image.file_len(), first);
        } else {
            catalogue_search().first_starts_own(v.image.file_buf(), v.start, v.image.file_len(), first);
        }
        benchmark::DoNotOptimize(first.data());
    });
    state.SetLabel(std::string(kFillerNames[static_cast<std::size_t>(state.range(1))]) + ", " +
                   (bytewise ? "bytewise" : MultiSearch::name_of(MultiSearch::widest_own_pass())));
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
        voices::DiskImageBuilder builder;
        builder.block_exp(4).dllimg_first_block(64).length(size);
        // Every lead's original near the end, so that the run saves.
        std::int64_t at = size - 64 * 1024;
        for (const PatchOption& option : patch_catalogue()) {
            builder.place(at, hex2str(option.lead->original_hex));
            at += 256;
        }
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
            const auto journals = path.parent_path() / "journals";
            const bool ok = image.load_image(path, journals, system_file_calls()).ok() &&
                            run_patch(image, every_box(), journals, system_file_calls()).outcome == RunOutcome::saved;
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

void fillers(benchmark::internal::Benchmark* b) {
    for (const std::int64_t filler : {0, 1, 2}) {
        for (const std::int64_t mib : {16, 256, 1024}) b->Args({mib, filler});
    }
}

// First, while this process holds no large image.
BENCHMARK(BM_PeakMemoryLoadRunSave)->Arg(1024)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Floor)->Apply(fillers)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_Run)->Apply(fillers)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_Survey)->Apply(fillers)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_OwnPass)->ArgsProduct({{16, 256, 1024}, {0, 1, 2}, {0}})->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_OwnPass)->ArgsProduct({{256}, {0, 1, 2}, {1}})->Unit(benchmark::kMillisecond)->UseManualTime();
// Seconds a pass on 1 GiB: a few passes are enough.
BENCHMARK(BM_RunOneSearchAtATime)->Apply(fillers)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(0.2);

}  // namespace
}  // namespace tarnwick

BENCHMARK_MAIN();
