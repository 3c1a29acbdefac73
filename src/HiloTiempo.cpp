#include "HiloTiempo.h"

#include "forms.h"

#include <atomic>

namespace {

// The ring queues a handed-over buffer for capture again one block later; a
// pass that runs that late reads while the device refills it, and sees old
// or new samples. Reading them atomically keeps that well defined. The
// buffer is writable memory; only this worker's view of it is const.
std::int16_t SampleAt(const std::int16_t* samples, std::int32_t i) {
    return std::atomic_ref<std::int16_t>(const_cast<std::int16_t&>(samples[i]))
        .load(std::memory_order_relaxed);
}

} // namespace

THiloTiempo::THiloTiempo(bool CreateSuspended, std::int32_t sampleCount)
    : TThread(CreateSuspended), sampleCount(sampleCount) {
    AfterConstruction();
}

THiloTiempo::~THiloTiempo() {
    BeforeDestruction();
}

void THiloTiempo::ShowBuffer(TPaintBox* paintBox, const std::int16_t* samples) {
    this->paintBox.store(paintBox, std::memory_order_release);
    this->samples.store(samples, std::memory_order_release);
    Resume();
}

void THiloTiempo::Execute() {
    NameThreadForDebugging("HiloTiempo");
    while (!Terminated()) {
        DrawTraces();
    }
}

void THiloTiempo::DrawTraces() {
    // Each pass draws from the pointers as they stand when it starts; a
    // hand-over during the pass only affects the next one.
    TPaintBox* box = paintBox.load(std::memory_order_acquire);
    const std::int16_t* data = samples.load(std::memory_order_acquire);
    if (box != nullptr && data != nullptr) {
        Draw(box, data, sampleCount);
    }
    Suspend();
}

void THiloTiempo::Draw(TPaintBox* paintBox, const std::int16_t* samples, std::int32_t sampleCount) {
    const int width = paintBox->ClientWidth();
    const int height = paintBox->ClientHeight();
    // Integer divisions truncate toward zero. Each trace gets a quarter of
    // the height less a 5-pixel margin; below 18 pixels base1 turns negative
    // and the traces come out inverted, which is harmless.
    const int half = height / 2;
    const int base1 = (half - 10) / 2;
    const int base2 = half + base1 + 10;
    // 2^-15 exactly, so a full-scale sample lands base1 pixels from its
    // baseline and truncation is the only rounding.
    const double scale = base1 / 32768.0;

    TCanvas* canvas = paintBox->Canvas;
    canvas->Lock();
    canvas->Brush->Color = clBlack;
    canvas->Pen->Color = clWhite;
    canvas->Rectangle(0, 0, width, height);
    canvas->Pen->Color = clAqua;

    const double step = static_cast<double>(width) / sampleCount;
    canvas->MoveTo(0, base1);
    for (std::int32_t i = 0; i < sampleCount - 1; i += 2) {
        canvas->LineTo(static_cast<int>(i * step),
                       static_cast<int>(base1 - SampleAt(samples, i) * scale));
    }
    // A right sample keeps its own interleaved index, so the lower trace
    // sits one step to the right of the upper one.
    canvas->MoveTo(0, base2);
    for (std::int32_t i = 1; i < sampleCount; i += 2) {
        canvas->LineTo(static_cast<int>(i * step),
                       static_cast<int>(base2 - SampleAt(samples, i) * scale));
    }
    canvas->Unlock();
}
