// Capture as the program runs it, against the test sound server: two
// 4096-byte headers, the completed one re-armed and the other queued from
// inside the callback. Prints the interval between callbacks (median, 1st
// and 99th percentile against the ideal 1024 / 44100 s), the process CPU
// time per second of capture, and the sound dropped.
//
// Needs PULSE_SERVER (scripts/bench.sh starts a server). The run lasts 60 s;
// MONITOR_AUDIO_BENCH_SECONDS changes that.
#include "mmsystem.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kBlockBytes = 4096;
constexpr double kIdealMs = 1024.0 * 1000.0 / 44100.0;

struct Ring {
    std::vector<char> memory[2] = {std::vector<char>(kBlockBytes), std::vector<char>(kBlockBytes)};
    WAVEHDR headers[2] = {};
    std::vector<Clock::time_point> times;
    std::atomic<std::size_t> count{0};
    std::atomic<bool> requeue{true};

    static void Callback(HWAVEIN hwi, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
        if (msg != WIM_DATA)
            return;
        auto* ring = reinterpret_cast<Ring*>(instance);
        auto* done = reinterpret_cast<WAVEHDR*>(p1);
        const std::size_t k = ring->count.load(std::memory_order_relaxed);
        if (k < ring->times.size())
            ring->times[k] = Clock::now();
        ring->count.store(k + 1, std::memory_order_release);
        if (!ring->requeue.load(std::memory_order_relaxed))
            return;
        waveInUnprepareHeader(hwi, done, WAVEHDR_SIZE32);
        WAVEHDR* next = done == &ring->headers[0] ? &ring->headers[1] : &ring->headers[0];
        next->dwBufferLength = kBlockBytes;
        next->dwFlags = 0;
        next->dwLoops = 0;
        waveInPrepareHeader(hwi, next, WAVEHDR_SIZE32);
        waveInAddBuffer(hwi, next, WAVEHDR_SIZE32);
    }
};

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
        Ring ring;
        ring.times.resize(static_cast<std::size_t>(seconds * 50 + 100));
        for (int i = 0; i < 2; ++i) {
            ring.headers[i].lpData = ring.memory[i].data();
            ring.headers[i].dwBufferLength = kBlockBytes;
        }
        WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
        HWAVEIN in = nullptr;
        if (waveInOpen(&in, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&Ring::Callback),
                       reinterpret_cast<DWORD_PTR>(&ring), CALLBACK_FUNCTION) != 0) {
            state.SkipWithError("waveInOpen failed");
            return;
        }
        waveInPrepareHeader(in, &ring.headers[0], WAVEHDR_SIZE32);
        waveInAddBuffer(in, &ring.headers[0], WAVEHDR_SIZE32);

        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        waveInStart(in);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;

        std::uint64_t dropped = 0;
        waveInGetDroppedBytes(in, &dropped);
        ring.requeue = false;
        waveInReset(in);
        for (WAVEHDR& h : ring.headers)
            while (waveInUnprepareHeader(in, &h, WAVEHDR_SIZE32) == WAVERR_STILLPLAYING)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        waveInClose(in);

        const std::size_t n =
            std::min(ring.count.load(std::memory_order_acquire), ring.times.size());
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
