// BufferFilled from entry to return with both workers live: the main window
// is set up as the program sets it up (real Qt offscreen, real devices on the
// test sound server), then the capture device's own deliveries are stopped
// and BufferFilled is called from here at the block rate, about every 23 ms,
// so that the display worker really draws and the playback worker really
// plays what each call hands over. Once with playback paused, once after
// "Iniciar". Reports the median and 99th percentile of single calls in
// microseconds.
//
// Needs PULSE_SERVER (scripts/bench.sh starts a server); exits without
// measuring otherwise. Each run lasts 20 s; MONITOR_AUDIO_BENCH_SECONDS
// changes that.
#include "Princ.h"
#include "forms.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One block of 1024 frames at 44.1 kHz.
constexpr auto kBlock = std::chrono::nanoseconds(1'000'000'000LL * 1024 / 44100);

bool playing = false;

int Calls() {
    const char* env = std::getenv("MONITOR_AUDIO_BENCH_SECONDS");
    const int seconds = env != nullptr ? std::max(1, std::atoi(env)) : 20;
    return static_cast<int>(seconds * 44100 / 1024);
}

void BM_BufferFilled(benchmark::State& state) {
    const bool play = state.range(0) != 0;
    if (play && !playing) {
        frmAudio->btnIniciarClick(nullptr);
        playing = true;
    } else if (!play && playing) {
        frmAudio->btnPararClick(nullptr);
        playing = false;
    }

    const int calls = Calls();
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(calls));
    for (auto _ : state) {
        micros.clear();
        auto next = Clock::now();
        for (int i = 0; i < calls; ++i) {
            const auto start = Clock::now();
            frmAudio->BufferFilled();
            const auto end = Clock::now();
            micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
            // The window repaints between blocks, as its event loop would.
            Application->ProcessMessages();
            next += kBlock;
            std::this_thread::sleep_until(next);
        }
    }
    std::sort(micros.begin(), micros.end());
    state.counters["calls"] = static_cast<double>(micros.size());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["max_us"] = micros.back();
}
BENCHMARK(BM_BufferFilled)
    ->ArgName("playing")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("PULSE_SERVER") == nullptr) {
        std::puts("engine_bench: PULSE_SERVER is not set; start the test sound server "
                  "(scripts/bench.sh does). Nothing measured.");
        return 0;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    benchmark::Initialize(&argc, argv);

    Application->Initialize();
    Application->CreateForm(frmAudio);
    if (!frmAudio->capturing) {
        std::puts("engine_bench: capture did not start");
        Application->DestroyForm(frmAudio);
        return 1;
    }
    // Let capture run a moment with the window's event loop turning.
    const auto settle = Clock::now() + std::chrono::milliseconds(500);
    while (Clock::now() < settle) {
        Application->ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // From here on only the calls below turn the ring around: the device
    // hands back what it holds and fills nothing more until it is started.
    waveInReset(frmAudio->waveIn);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // Closing the window takes everything down as the program does.
    Application->DestroyForm(frmAudio);
    return 0;
}
