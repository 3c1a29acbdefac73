// One oscilloscope pass on the real canvas: 281 x 273 pixels, 1024 samples of
// a full-scale signal, the size and load of every block the program draws.
// Reports the median and 99th percentile of single passes in microseconds.
#include "HiloTiempo.h"
#include "forms.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void BM_DrawTraces(benchmark::State& state) {
    Application->Initialize();
    TForm form(nullptr);
    auto* box = new TPaintBox(&form);
    box->SetBounds(40, 48, 281, 273);
    box->SetColor(clBlack);

    // A full-scale 441 Hz sine with the right channel a quarter turn behind:
    // every line crosses many rows, the most work a pass can have.
    std::vector<std::int16_t> samples(2 * 1024);
    for (int f = 0; f < 1024; ++f) {
        const double phase = 2 * M_PI * 441.0 * f / 44100.0;
        samples[2 * f] = static_cast<std::int16_t>(32767 * std::sin(phase));
        samples[2 * f + 1] = static_cast<std::int16_t>(32767 * std::cos(phase));
    }

    std::vector<double> micros;
    micros.reserve(100000);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        THiloTiempo::Draw(box, samples.data(), 1024);
        const auto end = std::chrono::steady_clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}
BENCHMARK(BM_DrawTraces)->MinTime(2.0)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
