// The oscilloscope worker: draws one captured buffer as two traces, left
// channel in the upper half of the paint box and right channel in the lower
// half, then stops until the next buffer is handed over.
#pragma once

#include "thread.h"

#include <atomic>
#include <cstdint>

class TPaintBox;

class THiloTiempo : public TThread {
public:
    THiloTiempo(bool CreateSuspended, std::int32_t sampleCount);
    ~THiloTiempo() override;

    // Called from the audio callback thread: takes no lock and never blocks.
    // Always resumes; a worker that is in the middle of a pass ignores it, so
    // a buffer that arrives then is simply not drawn.
    void ShowBuffer(TPaintBox* paintBox, const std::int16_t* samples);

    // One pass: the picture of the newest buffer, then the worker stops.
    void DrawTraces();

    // The picture itself: a black field with a white outline and the two aqua
    // traces of the first sampleCount interleaved samples. Takes the canvas
    // lock for the whole picture, so a repaint never shows half of it.
    static void Draw(TPaintBox* paintBox, const std::int16_t* samples, std::int32_t sampleCount);

protected:
    void Execute() override;

private:
    std::int32_t sampleCount;
    // Written by the callback thread, read by the worker.
    std::atomic<const std::int16_t*> samples{nullptr};
    std::atomic<TPaintBox*> paintBox{nullptr};
};
