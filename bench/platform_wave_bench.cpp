// Capture as the program runs it, against the test sound server: two
// 4096-byte headers, the completed one re-armed and the other queued from
// inside the callback. Prints the interval between callbacks (median, 1st
// and 99th percentile against the ideal 1024 / 44100 s), the process CPU
// time per second of capture, and the sound dropped. Then playback: how long
// a written block takes to reach the sink.
//
// Needs PULSE_SERVER (scripts/bench.sh starts a server, and runs this once on
// the server and once with the layer on ALSA). The capture run lasts 60 s;
// MONITOR_AUDIO_BENCH_SECONDS changes that.
#include "mmsystem.h"
#include "ring.h"

#include <benchmark/benchmark.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kIdealMs = 1024.0 * 1000.0 / 44100.0;

struct SimpleFree {
    void operator()(pa_simple* s) const { pa_simple_free(s); }
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

// The test server's own socket: when the layer is made to run on ALSA,
// PULSE_SERVER points nowhere, and the recorder still finds the server here.
std::string TestServer() {
    const char* dir = std::getenv("TEST_SOUND_DIR");
    if (dir != nullptr && *dir != '\0')
        return std::string("unix:") + dir + "/sock";
    const char* server = std::getenv("PULSE_SERVER");
    return server != nullptr ? server : "";
}

// How long a written block takes to be heard: from waveOutWrite until its
// first frame shows up on the null sink's monitor, read in 5 ms pieces. The
// monitor's own delay is in every figure alike, so the figures compare the
// two backends; it is not the device's latency alone.
void BM_PlaybackLatency(benchmark::State& state) {
    const std::string server = TestServer();
    if (server.empty()) {
        state.SkipWithError("no test sound server: start it (scripts/bench.sh does)");
        return;
    }
    constexpr int kRounds = 40;
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, 44100, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(5'000, &sampleFormat));
    int error = 0;
    std::unique_ptr<pa_simple, SimpleFree> monitor(
        pa_simple_new(server.c_str(), "latency bench", PA_STREAM_RECORD, "out.monitor", "monitor",
                      &sampleFormat, nullptr, &attr, &error));
    if (!monitor) {
        state.SkipWithError("cannot record the sink's monitor");
        return;
    }
    // Timestamps the first loud piece after each write.
    std::atomic<bool> running{true};
    std::atomic<long long> heardAt{0};
    std::thread reader([&] {
        std::vector<std::int16_t> piece(441 / 2 * 2);
        while (running.load()) {
            if (pa_simple_read(monitor.get(), piece.data(), piece.size() * 2, &error) < 0)
                return;
            const bool loud =
                std::any_of(piece.begin(), piece.end(), [](std::int16_t v) { return v != 0; });
            long long none = 0;
            if (loud)
                heardAt.compare_exchange_strong(none, Clock::now().time_since_epoch().count());
        }
    });

    WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    HWAVEOUT out = nullptr;
    if (waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        running = false;
        reader.join();
        state.SkipWithError("waveOutOpen failed");
        return;
    }
    std::vector<char> block(testring::kBlockBytes);
    for (std::size_t i = 0; i < block.size() / 2; ++i)
        reinterpret_cast<std::int16_t*>(block.data())[i] = (i / 50) % 2 ? 8000 : -8000;
    WAVEHDR header{};
    header.lpData = block.data();
    header.dwBufferLength = testring::kBlockBytes;
    waveOutPrepareHeader(out, &header, WAVEHDR_SIZE32);
    std::this_thread::sleep_for(std::chrono::seconds(1));

    std::vector<double> latencies;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            heardAt = -1; // what was loud before the write does not count
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            heardAt = 0;
            const auto written = Clock::now();
            waveOutWrite(out, &header, WAVEHDR_SIZE32);
            for (int i = 0; i < 200 && heardAt.load() <= 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const long long at = heardAt.load();
            if (at > 0)
                latencies.push_back(std::chrono::duration<double, std::milli>(
                                        Clock::time_point(Clock::duration(at)) - written)
                                        .count());
        }
    }
    waveOutClose(out);
    running = false;
    reader.join();
    if (latencies.empty()) {
        state.SkipWithError("no written block was heard");
        return;
    }
    state.counters["heard"] = double(latencies.size());
    state.counters["latency_median_ms"] = Percentile(latencies, 0.5);
    state.counters["latency_p90_ms"] = Percentile(latencies, 0.9);
    state.counters["latency_max_ms"] = Percentile(latencies, 1.0);
}

BENCHMARK(BM_PlaybackLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
