// The two workers: the oscilloscope's exact pixels on a real canvas, how
// hand-overs wake (or do not wake) each worker, and a playback worker making
// a known block reach the test sound server's sink.
#include "HiloTiempo.h"
#include "HiloTocar.h"
#include "forms.h"
#include "program_format.h"
#include "sound_server.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int kWidth = 281;
constexpr int kHeight = 273;
constexpr std::int32_t kSampleCount = 1024;

using testwait::WaitUntil;

class Workers : public ::testing::Test {
protected:
    void SetUp() override {
        Application->Initialize();
        form = new TForm(nullptr);
        box = new TPaintBox(form);
        box->SetBounds(40, 48, kWidth, kHeight);
        box->SetColor(clBlack);
    }
    void TearDown() override { delete form; }

    void Resize(int width, int height) { box->SetBounds(40, 48, width, height); }
    TColor At(int x, int y) const { return box->Canvas->Pixel(x, y); }

    // Columns of row y that are aqua.
    std::vector<int> AquaColumns(int y) const {
        std::vector<int> xs;
        for (int x = 0; x < box->ClientWidth(); ++x) {
            if (At(x, y) == clAqua) {
                xs.push_back(x);
            }
        }
        return xs;
    }

    TForm* form = nullptr;
    TPaintBox* box = nullptr;
};

// A buffer of 1024 frames with the same value on both channels.
std::vector<std::int16_t> Constant(std::int16_t value) {
    return std::vector<std::int16_t>(2 * 1024, value);
}

// ---------------------------------------------------------------------------
// The picture

TEST_F(Workers, EachSampleValueLandsOnItsRowOfTheWorkedExample) {
    struct Row {
        std::int16_t sample;
        int top, bottom;
    };
    // The scale is 2^-15, not 1/32767: -32767 stays just short of a full
    // base1 below its baseline and truncates one row above -32768.
    const Row rows[] = {{32767, 0, 146}, {0, 63, 209},       {1, 62, 208},
                        {-1, 63, 209},   {-32767, 125, 271}, {-32768, 126, 272}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.sample);
        const auto samples = Constant(row.sample);
        THiloTiempo::Draw(box, samples.data(), kSampleCount);
        // A flat trace covers its row from x 0 to 279: the end point at
        // x 280 is never drawn, so the outline keeps that pixel.
        for (int y : {row.top, row.bottom}) {
            const auto xs = AquaColumns(y);
            ASSERT_EQ(xs.size(), 280u) << "row " << y;
            EXPECT_EQ(xs.front(), 0);
            EXPECT_EQ(xs.back(), 279);
        }
        // Nothing else is aqua away from the vertical rise at x 0.
        for (int y = 0; y < kHeight; ++y) {
            if (y != row.top && y != row.bottom) {
                for (int x = 2; x < kWidth; ++x) {
                    ASSERT_NE(At(x, y), clAqua) << x << "," << y;
                }
            }
        }
    }
}

TEST_F(Workers, BothTracesEndAtTheLastColumn) {
    // The last left and right samples are spikes: each trace's final line
    // climbs into column 280 and stops short of its end point.
    auto samples = Constant(0);
    samples[1022] = 32767;
    samples[1023] = 32767;
    THiloTiempo::Draw(box, samples.data(), kSampleCount);
    EXPECT_EQ(At(280, 1), clAqua);
    EXPECT_EQ(At(280, 0), clWhite);
    EXPECT_EQ(At(280, 147), clAqua);
    EXPECT_EQ(At(280, 146), clWhite);
    EXPECT_EQ(box->Canvas->PenX(), 280);
    EXPECT_EQ(box->Canvas->PenY(), 146);
}

TEST_F(Workers, ShortPaintBoxesDrawInvertedOrFlatWithoutFailing) {
    std::vector<std::int16_t> noise(2 * 1024);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<std::int16_t>((i * 7919) % 65536 - 32768);
    }
    for (int height = 0; height <= 23; ++height) {
        Resize(kWidth, height);
        THiloTiempo::Draw(box, noise.data(), kSampleCount);
    }

    // 17 pixels: base1 is -1, above the picture, and the scale turns
    // negative: full scale upwards lands below the baseline, on row 0.
    Resize(kWidth, 17);
    const auto loud = Constant(32767);
    THiloTiempo::Draw(box, loud.data(), kSampleCount);
    EXPECT_EQ(AquaColumns(0).size(), 280u);
    for (int y = 1; y < 17; ++y) {
        EXPECT_TRUE(AquaColumns(y).empty()) << "row " << y;
    }

    // 18 to 23 pixels: base1 is 0, the scale is 0, both traces are flat on
    // their baselines whatever the samples.
    for (int height = 18; height <= 23; ++height) {
        SCOPED_TRACE(height);
        Resize(kWidth, height);
        THiloTiempo::Draw(box, noise.data(), kSampleCount);
        const int base2 = height / 2 + 10;
        for (int y = 0; y < height; ++y) {
            const auto xs = AquaColumns(y);
            const bool traceRow = y == 0 || y == base2;
            EXPECT_EQ(xs.size(), traceRow ? 280u : 0u) << "row " << y;
        }
    }
}

// ---------------------------------------------------------------------------
// Hand-over

TEST_F(Workers, AHandOverDuringAPassIsLostAndTheWorkerStopsAfterOnePass) {
    THiloTiempo worker(true, kSampleCount);
    const auto first = Constant(32767);
    const auto second = Constant(-32768);

    // Hold the canvas so the pass started by the first hand-over waits in
    // the middle; the second hand-over reaches a running worker.
    box->Canvas->Lock();
    worker.ShowBuffer(box, first.data());
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(worker.Suspended());
    worker.ShowBuffer(box, second.data());
    box->Canvas->Unlock();

    ASSERT_TRUE(WaitUntil([&] { return worker.Suspended(); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(worker.Suspended());
    EXPECT_EQ(AquaColumns(0).size(), 280u) << "the first buffer is drawn";
    EXPECT_TRUE(AquaColumns(126).empty()) << "the second buffer never is";

    // The next hand-over that finds it stopped is drawn.
    worker.ShowBuffer(box, second.data());
    ASSERT_TRUE(WaitUntil([&] { return AquaColumns(126).size() == 280u; }));
}

TEST_F(Workers, ATerminateRequestEndsTheDisplayWorkerOnlyAfterItsNextResume) {
    THiloTiempo worker(true, kSampleCount);
    const auto first = Constant(32767);
    const auto second = Constant(-32768);
    worker.ShowBuffer(box, first.data());
    ASSERT_TRUE(WaitUntil([&] { return worker.Suspended() && AquaColumns(0).size() == 280u; }));

    worker.Terminate();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(worker.Suspended()) << "a terminate request wakes nothing";

    // Resumed, the pass returns and the body ends without drawing again.
    worker.ShowBuffer(box, second.data());
    ASSERT_TRUE(WaitUntil([&] { return !worker.Suspended(); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(worker.Suspended());
    EXPECT_TRUE(AquaColumns(126).empty());
    EXPECT_EQ(worker.FatalException(), nullptr);
}

// ---------------------------------------------------------------------------
// Playback against the test sound server

class Playback : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsound::HaveTestSoundServer()) {
            GTEST_SKIP() << "no test sound server";
        }
        const WAVEFORMATEX format = ProgramFormat();
        ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL),
                  MMSYSERR_NOERROR);
    }
    void TearDown() override {
        if (device != nullptr) {
            waveOutClose(device);
        }
    }

    // A block of 1024 frames no sine or silence contains.
    struct Block {
        explicit Block(int step) : samples(2 * 1024) {
            for (std::size_t i = 0; i < samples.size(); ++i) {
                samples[i] = static_cast<std::int16_t>(step * static_cast<int>(i) % 20011 - 10000);
            }
            header.lpData = reinterpret_cast<LPSTR>(samples.data());
            header.dwBufferLength = 4096;
        }
        std::vector<std::int16_t> samples;
        WAVEHDR header{};
    };

    HWAVEOUT device = nullptr;
};

TEST_F(Playback, APausedWorkerKeepsTheNewestHeaderAndPlaysItWhenResumed) {
    testsound::SinkRecorder out;
    ASSERT_TRUE(out.Ready());

    THiloTocar worker(false);
    // The first pass, before any hand-over, plays nothing and stops.
    ASSERT_TRUE(WaitUntil([&] { return worker.Suspended(); }));
    EXPECT_TRUE(worker.GetPaused());
    EXPECT_EQ(worker.GetHeader(), nullptr);

    Block older(37);
    Block newer(53);
    worker.PlayBuffer(device, &older.header);
    worker.PlayBuffer(device, &newer.header);
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(worker.Suspended()) << "hand-overs do not wake a paused worker";
    EXPECT_EQ(worker.GetHeader(), &newer.header);
    for (std::int16_t s : out.Samples()) {
        ASSERT_EQ(s, 0) << "nothing is played while paused";
    }

    // As "Iniciar" does.
    worker.Resume();
    worker.SetPaused(false);
    EXPECT_GE(out.WaitFor(newer.samples.data(), 4096, 3s), 0)
        << "the newest block reaches the sink bit for bit";
    EXPECT_TRUE(WaitUntil([&] { return worker.Suspended(); }));
    const auto played = out.Bytes();
    const auto* first = reinterpret_cast<const std::uint8_t*>(older.samples.data());
    EXPECT_EQ(std::search(played.begin(), played.end(), first, first + 64), played.end())
        << "the older block is never played";
}

TEST_F(Playback, ABlockHandedOverAsTheWorkerStartsIsNotPlayedBeforeIniciar) {
    testsound::SinkRecorder out;
    ASSERT_TRUE(out.Ready());

    // The worker starts with a pass of its own while paused; a hand-over
    // that reaches it before that pass has looked for a header must still
    // wait for "Iniciar". Repeated, since how soon the pass runs varies.
    Block block(41);
    for (int round = 0; round < 50; ++round) {
        THiloTocar worker(false);
        worker.PlayBuffer(device, &block.header);
        ASSERT_TRUE(WaitUntil([&] { return worker.Suspended(); })) << "round " << round;
        EXPECT_EQ(worker.GetHeader(), &block.header);
    }
    EXPECT_LT(out.WaitFor(block.samples.data(), 4096, 500ms), 0)
        << "a block was played while paused";
}

} // namespace
