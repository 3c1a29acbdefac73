// One whole oscilloscope frame, every pixel: the picture the display worker
// leaves on the canvas for a known block must be exactly the one worked out
// here from the drawing rules alone (row and column mapping, lines that stop
// short of their end point, an outline with exclusive right and bottom
// edges), whatever shortcuts the canvas takes to draw it.
#include "HiloTiempo.h"
#include "forms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kWidth = 281;
constexpr int kHeight = 273;
constexpr std::int32_t kSampleCount = 1024;

// The picture as a plain grid of colours, drawn by the rules.
struct Frame {
    std::vector<TColor> pixels = std::vector<TColor>(kWidth * kHeight, clBlack);

    void Set(int x, int y, TColor colour) {
        if (x >= 0 && y >= 0 && x < kWidth && y < kHeight) {
            pixels[y * kWidth + x] = colour;
        }
    }

    // The pixels of a line from (x0, y0) towards (x1, y1), its end point left
    // out: one pixel per step along the longer axis, each the one nearest the
    // exact line on the shorter axis, a tie going to the end point's side.
    void Line(int x0, int y0, int x1, int y1, TColor colour) {
        const int dx = x1 - x0;
        const int dy = y1 - y0;
        const int steps = std::max(std::abs(dx), std::abs(dy));
        for (int k = 0; k < steps; ++k) {
            Set(x0 + Nearest(k * dx, steps), y0 + Nearest(k * dy, steps), colour);
        }
    }

    // num / den rounded to the nearest integer, halves away from zero.
    static int Nearest(int num, int den) {
        const int twice = 2 * std::abs(num) + den;
        const int magnitude = twice / (2 * den);
        return num < 0 ? -magnitude : magnitude;
    }
};

Frame Expected(const std::vector<std::int16_t>& samples) {
    Frame frame;
    // The outline: rows 0 and 272, columns 0 and 280, over a black field.
    for (int x = 0; x < kWidth; ++x) {
        frame.Set(x, 0, clWhite);
        frame.Set(x, kHeight - 1, clWhite);
    }
    for (int y = 0; y < kHeight; ++y) {
        frame.Set(0, y, clWhite);
        frame.Set(kWidth - 1, y, clWhite);
    }
    // Baselines 63 and 209, 63 pixels for full scale, 281/1024 of a column
    // per interleaved sample index; every division here is exact in binary,
    // so only the truncation toward zero rounds.
    const int bases[2] = {63, 209};
    for (int channel = 0; channel < 2; ++channel) {
        int x = 0;
        int y = bases[channel];
        for (int i = channel; i < kSampleCount; i += 2) {
            const int nextX = (i * 281) / 1024;
            // base − sample × 63 / 32768, truncated toward zero; never
            // negative here, so integer division truncates the same way.
            const int nextY = (bases[channel] * 32768 - samples[i] * 63) / 32768;
            frame.Line(x, y, nextX, nextY, clAqua);
            x = nextX;
            y = nextY;
        }
    }
    return frame;
}

TEST(OscilloscopeFrame, AKnownBlockDrawsExactlyTheFrameOfTheDrawingRules) {
    Application->Initialize();
    TForm form(nullptr);
    auto* box = new TPaintBox(&form);
    box->SetBounds(40, 48, kWidth, kHeight);
    box->SetColor(clBlack);

    // Full-scale steps at both extremes, the values next to them, a slow ramp
    // across the whole range, silence, and a pseudo-random stretch whose
    // lines run in every direction and slope.
    std::vector<std::int16_t> samples(2 * 1024);
    const std::int16_t extremes[] = {32767, -32768, -32767, 0, 32767, 1, -1, -32768};
    std::uint32_t random = 12345;
    for (int i = 0; i < static_cast<int>(samples.size()); ++i) {
        std::int32_t value;
        if (i < 160) {
            value = extremes[(i / 4) % 8];
        } else if (i < 560) {
            value = -32768 + (i - 160) * 65535 / 399;
        } else if (i < 640) {
            value = 0;
        } else {
            random = random * 1103515245u + 12345u;
            value = static_cast<std::int32_t>((random >> 8) % 65536) - 32768;
        }
        samples[i] = static_cast<std::int16_t>(value);
    }

    // Twice over the same canvas: the second pass must leave nothing of the
    // first behind.
    const std::vector<std::int16_t> other(2 * 1024, -32768);
    THiloTiempo::Draw(box, other.data(), kSampleCount);
    THiloTiempo::Draw(box, samples.data(), kSampleCount);

    const Frame expected = Expected(samples);
    int wrong = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const TColor want = expected.pixels[y * kWidth + x];
            const TColor got = box->Canvas->Pixel(x, y);
            if (got != want && ++wrong <= 10) {
                ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << got
                              << " instead of " << want;
            }
        }
    }
    EXPECT_EQ(wrong, 0) << "pixels that differ from the rules' frame";
}

} // namespace
