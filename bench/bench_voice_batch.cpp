// Opening several voices at once: ten voices of 30 MiB against one, each
// surveyed as it is opened. Reports the time per voice and, as
// reads_per_voice, the bytes read from the voice files over their sizes (1.0:
// each read once).
#include <chrono>

#include <benchmark/benchmark.h>

#include "engine/voice_batch.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/faulty_calls.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

constexpr std::int64_t kVoiceBytes = 30LL * 1024 * 1024;

// Counts the bytes read from files named *.vpm.
struct CountingCalls : testing::FaultyCalls {
    std::int64_t voice_bytes_read = 0;
    Handle voice = -1;
    std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle, FileInfo& info) override {
        const std::error_code ec = FaultyCalls::open_for_reading(path, handle, info);
        if (!ec && path.extension() == ".vpm") voice = handle;
        return ec;
    }
    std::error_code read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                            std::size_t& got) override {
        const std::error_code ec = FaultyCalls::read_at(handle, offset, data, size, got);
        if (handle == voice) voice_bytes_read += static_cast<std::int64_t>(got);
        return ec;
    }
};

void BM_OpenVoices(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    testing::TempDir dir;
    std::vector<std::filesystem::path> paths;
    const ByteString voice = voices::demo_voice(voices::Container::vpm, kVoiceBytes);
    for (std::size_t i = 0; i < count; ++i) {
        paths.push_back(dir / ("voice " + std::to_string(i) + ".vpm"));
        testing::write_file(paths.back(), voice);
    }
    CountingCalls calls;
    double seconds = 0;
    for (auto _ : state) {
        const auto began = std::chrono::steady_clock::now();
        VoiceBatch batch(dir / "data" / "journals");
        const BatchReport report = batch.open(paths, calls);
        benchmark::DoNotOptimize(report.voices.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    }
    const double opened = static_cast<double>(state.iterations()) * static_cast<double>(count);
    state.counters["per_voice_ms"] = 1000.0 * seconds / opened;
    state.counters["reads_per_voice"] =
        static_cast<double>(calls.voice_bytes_read) / (opened * static_cast<double>(voice.size()));
}

BENCHMARK(BM_OpenVoices)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace tarnwick

BENCHMARK_MAIN();
