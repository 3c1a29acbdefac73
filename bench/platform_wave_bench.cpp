// Capture as the program runs it, against the test sound server: two
// 4096-byte headers, the completed one re-armed and the other queued from
// inside the callback. Prints the interval between callbacks (median, 1st
// and 99th percentile against the ideal 1024 / 44100 s), the process CPU
// time per second of capture, and the sound dropped.
//
// Needs PULSE_SERVER (scripts/bench.sh starts a server). The run lasts 60 s;
// MONITOR_AUDIO_BENCH_SECONDS changes that.
#include "mmsystem.h"
#include "ring.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kIdealMs = 1024.0 * 1000.0 / 44100.0;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double Percentile(std::vector<double> v, double p) {
    const auto at = static_cast<std::size_t>(p * double(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(at), v.end());
    return v[at];
}

void BM_CaptureCycle(benchmark::State& state) {
    if (std::getenv("PULSE_SERVER") == nullptr) {
        state.SkipWithError("PULSE_SERVER is not set: start the test sound server");
        return;
    }
    const char* env = std::getenv("MONITOR_AUDIO_BENCH_SECONDS");
    const int seconds = env != nullptr ? std::max(1, std::atoi(env)) : 60;

    for (auto _ : state) {
        // Arrival times only: copying the samples would add to the CPU time
        // measured.
        testring::CaptureRing ring(seconds * 50 + 100, false);
        if (ring.Open() != MMSYSERR_NOERROR) {
            state.SkipWithError("waveInOpen failed");
            return;
        }

        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        if (!ring.Start()) {
            state.SkipWithError("capture did not start");
            ring.Shutdown();
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;

        std::uint64_t dropped = 0;
        waveInGetDroppedBytes(ring.in, &dropped);
        ring.Shutdown();

        const std::size_t n =
            std::min(static_cast<std::size_t>(ring.completed.load(std::memory_order_acquire)),
                     ring.times.size());
        std::vector<double> intervals;
        // The first blocks may come bunched while the stream settles.
        for (std::size_t i = 3; i < n; ++i)
            intervals.push_back(
                std::chrono::duration<double, std::milli>(ring.times[i] - ring.times[i - 1])
                    .count());
        state.SetIterationTime(elapsed);
        if (intervals.empty()) {
            state.SkipWithError("no blocks arrived");
            return;
        }
        state.counters["blocks"] = double(n);
        state.counters["interval_median_ms"] = Percentile(intervals, 0.5);
        state.counters["interval_p1_ms"] = Percentile(intervals, 0.01);
        state.counters["interval_p99_ms"] = Percentile(intervals, 0.99);
        state.counters["interval_ideal_ms"] = kIdealMs;
        state.counters["cpu_ms_per_s"] = cpu * 1000.0 / elapsed;
        state.counters["dropped_bytes"] = double(dropped);
    }
}

BENCHMARK(BM_CaptureCycle)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
