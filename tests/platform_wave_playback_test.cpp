// The wave-audio layer's playback side, against the real test sound server:
// what is written is read back from the null sink's monitor.
#include "alsa_hooks.h"
#include "mmsystem.h"
#include "program_format.h"
#include "pulseconnection.h"
#include "ring.h"
#include "sound_server.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testsound::HaveTestSoundServer;
using testsound::Shell;
using testsound::SinkRecorder;
using Clock = std::chrono::steady_clock;

namespace {

using testring::Block;
using testring::kBlockBytes;

// Noise no other test plays: found in the sink's output only if it went
// through untouched.
std::vector<char> Pattern(std::uint32_t seed) {
    std::vector<char> bytes(kBlockBytes);
    for (char& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<char>(seed >> 24);
    }
    return bytes;
}

HWAVEOUT OpenOut() {
    const WAVEFORMATEX f = ProgramFormat();
    HWAVEOUT out = nullptr;
    int window = 0;
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&window), 0,
                          CALLBACK_WINDOW),
              MMSYSERR_NOERROR);
    return out;
}

template <class Pred> bool WaitUntil(Pred pred, std::chrono::milliseconds timeout) {
    return testwait::WaitUntil(pred, timeout);
}

#define REQUIRE_SERVER()                                                                           \
    if (!HaveTestSoundServer())                                                                    \
    GTEST_SKIP() << "PULSE_SERVER is not set: no test sound server"

} // namespace

TEST(WavePlayback, AWrittenBlockReachesTheSinkBitForBit) {
    REQUIRE_SERVER();
    HWAVEOUT out = OpenOut();
    ASSERT_NE(out, nullptr);
    // At rest the stream does not hold the output at its own short latency,
    // which would wake the output every few milliseconds for nothing. (A
    // recording of the output would: it is started after this.)
    EXPECT_TRUE(WaitUntil(
        [] {
            const std::string sinks = Shell("pactl list sinks");
            const auto at = sinks.find("configured ");
            return at != std::string::npos && std::stol(sinks.substr(at + 11)) >= 500'000;
        },
        3s));
    SinkRecorder sink;
    ASSERT_TRUE(sink.Ready());
    const std::vector<char> pattern = Pattern(1);
    Block b(pattern);
    ASSERT_EQ(waveOutPrepareHeader(out, &b.header, 32), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_NOERROR);
    // Handed back at once.
    EXPECT_EQ(FlagsOf(b.header), WHDR_PREPARED | WHDR_DONE);
    EXPECT_GE(sink.WaitFor(pattern.data(), pattern.size(), 3s), 0);

    // As the playback worker plays: a block, then 60 ms of nothing, then the
    // next one, each whole.
    const std::vector<char> next = Pattern(11);
    std::this_thread::sleep_for(60ms);
    std::memcpy(b.memory.data(), next.data(), kBlockBytes);
    ASSERT_EQ(waveOutPrepareHeader(out, &b.header, 32), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_NOERROR);
    EXPECT_GE(sink.WaitFor(next.data(), next.size(), 3s), 0);

    // With nothing more written the output rests (its stream corked), and
    // the next block still comes out whole: the whole frames of it, where
    // its length ends inside one.
    EXPECT_TRUE(WaitUntil(
        [] { return Shell("pactl list sink-inputs").find("Corked: yes") != std::string::npos; },
        3s));
    const std::vector<char> after = Pattern(12);
    std::memcpy(b.memory.data(), after.data(), kBlockBytes);
    b.header.dwBufferLength = kBlockBytes - 2;
    ASSERT_EQ(waveOutPrepareHeader(out, &b.header, 32), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_NOERROR);
    const std::ptrdiff_t at = sink.WaitFor(after.data(), after.size() - 4, 3s);
    ASSERT_GE(at, 0);
    std::this_thread::sleep_for(100ms);
    const auto heard = sink.Bytes();
    ASSERT_GE(heard.size(), std::size_t(at) + kBlockBytes);
    EXPECT_EQ(
        std::count(&heard[std::size_t(at) + kBlockBytes - 4], &heard[0] + at + kBlockBytes, 0), 4);
    EXPECT_EQ(waveOutUnprepareHeader(out, &b.header, 32), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

// Blocks written while the stream thread is held up for 300 ms would all be
// heard well over 100 ms after they were written: none is played, all are
// counted. The next block, written on time, plays.
TEST(WavePlayback, SoundThatWouldBeHeardLateIsDroppedAndCounted) {
    REQUIRE_SERVER();
    HWAVEOUT out = OpenOut();
    ASSERT_NE(out, nullptr);
    SinkRecorder sink;
    ASSERT_TRUE(sink.Ready());
    Block b(Pattern(30));
    ASSERT_EQ(waveOutPrepareHeader(out, &b.header, 32), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_NOERROR);
    // Held up 130 ms past all the stream queued, the next block, not yet
    // late, used to lose its start.
    std::this_thread::sleep_for(5ms);
    wave::serverPlaybackHoldMicros.store(130'000);
    std::this_thread::sleep_for(85ms);
    std::memcpy(b.memory.data(), Pattern(29).data(), kBlockBytes);
    ASSERT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_NOERROR);
    ASSERT_GE(sink.WaitFor(b.memory.data(), kBlockBytes, 3s), 0);
    std::uint64_t before = 0;
    ASSERT_EQ(waveOutGetDroppedBytes(out, &before), MMSYSERR_NOERROR);

    wave::serverPlaybackHoldMicros.store(300'000);
    // The live stream's thread turns every 10 ms or so and takes the hold.
    std::this_thread::sleep_for(30ms);
    std::vector<std::vector<char>> held;
    for (std::uint32_t i = 0; i < 4; ++i) {
        held.push_back(Pattern(31 + i));
        std::memcpy(b.memory.data(), held.back().data(), kBlockBytes);
        ASSERT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_NOERROR);
    }
    std::this_thread::sleep_for(400ms);
    const std::vector<char> onTime = Pattern(40);
    std::memcpy(b.memory.data(), onTime.data(), kBlockBytes);
    ASSERT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_NOERROR);
    EXPECT_GE(sink.WaitFor(onTime.data(), kBlockBytes, 3s), 0);
    for (const auto& late : held)
        EXPECT_LT(sink.WaitFor(late.data(), kBlockBytes, 0ms), 0);
    std::uint64_t after = 0;
    ASSERT_EQ(waveOutGetDroppedBytes(out, &after), MMSYSERR_NOERROR);
    EXPECT_EQ(after - before, held.size() * kBlockBytes);
    EXPECT_EQ(waveOutUnprepareHeader(out, &b.header, 32), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

// A wake that lands while the stream thread is at work, after it looked for
// work, makes it look again at once. Such a wake used to be lost: a block
// written then waited for the thread's next timer, and on a resting stream,
// which has none, for good.
TEST(WavePlayback, AWakeWhileTheStreamThreadWorksIsNotLost) {
    REQUIRE_SERVER();
    wave::pulse::Connection connection;
    std::atomic<bool> armed{false};
    std::atomic<bool> wokeItself{false};
    std::atomic<int> looksAfter{0};
    connection.service = [&] {
        if (wokeItself.load())
            looksAfter.fetch_add(1);
        if (armed.exchange(false)) {
            // As another thread's wake, coming now.
            connection.Wake();
            wokeItself.store(true);
        }
        return wave::pulse::kUntilWoken;
    };
    pa_buffer_attr attr{};
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = attr.fragsize =
        static_cast<std::uint32_t>(-1);
    ASSERT_EQ(
        connection.Open({44100, 2, 4}, false, attr, PA_STREAM_START_CORKED, [](pa_stream*) {}),
        MMSYSERR_NOERROR);
    connection.Start();
    // The corked stream is set up, and the server has nothing more to say.
    std::this_thread::sleep_for(300ms);
    armed.store(true);
    connection.Wake();
    EXPECT_TRUE(WaitUntil([&] { return looksAfter.load() > 0; }, 2s));
    EXPECT_TRUE(connection.Stop());
}

// Writes a new block every 70 ms, as the playback worker does, for `time`;
// keeps what was written and when.
struct Writer {
    HWAVEOUT out = nullptr;
    std::uint32_t next = 1000;
    std::vector<std::pair<Clock::time_point, std::vector<char>>> written;

    void PlayFor(Clock::duration time) {
        const auto end = Clock::now() + time;
        while (Clock::now() < end) {
            Block b(Pattern(next++));
            waveOutPrepareHeader(out, &b.header, 32);
            written.emplace_back(Clock::now(), b.memory);
            waveOutWrite(out, &b.header, 32);
            waveOutUnprepareHeader(out, &b.header, 32);
            std::this_thread::sleep_for(70ms);
        }
    }
};

bool Heard(const std::vector<std::uint8_t>& recorded, std::size_t from,
           const std::vector<char>& block) {
    return std::search(recorded.begin() + std::ptrdiff_t(from), recorded.end(), block.begin(),
                       block.end(), [](std::uint8_t a, char b) {
                           return a == static_cast<std::uint8_t>(b);
                       }) != recorded.end();
}

// Sound written while the output sleeps would come out late: none of it is
// heard after the output wakes, and what is written then is.
TEST(WavePlayback, NothingWrittenWhileTheOutputWasSuspendedIsPlayedLate) {
    REQUIRE_SERVER();
    testsound::PrivateSoundServer server;
    ASSERT_TRUE(server.Start());
    SinkRecorder sink;
    ASSERT_TRUE(sink.Ready());
    Writer w;
    w.out = OpenOut();
    ASSERT_NE(w.out, nullptr);
    w.PlayFor(500ms);
    Shell("pactl suspend-sink out 1");
    w.PlayFor(3s);
    const std::size_t stale = w.written.size();
    const auto resumed = Clock::now();
    Shell("pactl suspend-sink out 0");
    const std::size_t mark = sink.Bytes().size();
    w.PlayFor(1500ms);
    const auto recorded = sink.Bytes();
    for (std::size_t i = 0; i < stale; ++i) {
        if (resumed - w.written[i].first > 45ms) {
            EXPECT_FALSE(Heard(recorded, mark, w.written[i].second)) << "block " << i;
        }
    }
    EXPECT_TRUE(Heard(recorded, mark, w.written.back().second) ||
                Heard(recorded, mark, w.written[w.written.size() - 2].second));
    EXPECT_EQ(waveOutClose(w.out), MMSYSERR_NOERROR);
}

// On a desktop an output with nothing to play falls asleep; the next block
// wakes it and is played, not dropped as if written to a sleeping output.
TEST(WavePlayback, AnOutputAsleepForBeingIdleWakesForTheNextBlock) {
    REQUIRE_SERVER();
    testsound::PrivateSoundServer server;
    ASSERT_TRUE(server.Start());
    Shell("pactl load-module module-suspend-on-idle timeout=1");
    Writer w;
    w.out = OpenOut();
    ASSERT_NE(w.out, nullptr);
    w.PlayFor(100ms);
    auto sinkIs = [](const char* state) {
        return [state] { return Shell("pactl list short sinks").find(state) != std::string::npos; };
    };
    ASSERT_TRUE(WaitUntil(sinkIs("SUSPENDED"), 5s)) << "the idle output did not fall asleep";
    w.PlayFor(100ms);
    EXPECT_TRUE(WaitUntil(sinkIs("RUNNING"), 2s)) << "a block did not wake the output";
    std::uint64_t dropped = 1;
    EXPECT_EQ(waveOutGetDroppedBytes(w.out, &dropped), MMSYSERR_NOERROR);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(waveOutClose(w.out), MMSYSERR_NOERROR);
}

// The only output goes away while playing and a new one comes: playback
// finds it, through the same handle.
TEST(WavePlayback, SoundComesBackWhenTheOnlyOutputIsCreatedAgain) {
    REQUIRE_SERVER();
    testsound::PrivateSoundServer server;
    ASSERT_TRUE(server.Start());
    Writer w;
    w.out = OpenOut();
    ASSERT_NE(w.out, nullptr);
    w.PlayFor(300ms);
    Shell("pactl unload-module module-null-sink");
    w.PlayFor(1s);
    Shell("pactl load-module module-null-sink sink_name=out rate=44100 channels=2 >/dev/null; "
          "pactl set-default-sink out");
    SinkRecorder sink;
    ASSERT_TRUE(sink.Ready());
    const std::size_t before = w.written.size();
    w.PlayFor(3s);
    const auto recorded = sink.Bytes();
    int heard = 0;
    for (std::size_t i = before; i < w.written.size(); ++i) {
        heard += Heard(recorded, 0, w.written[i].second) ? 1 : 0;
    }
    EXPECT_GE(heard, 10) << "of " << w.written.size() - before << " blocks written";
    EXPECT_EQ(waveOutClose(w.out), MMSYSERR_NOERROR);
}

// A write the ALSA device refuses (after an underrun, after a suspend) or
// takes only half of loses nothing: every block still leaves the ring in
// order, and each is heard whole.
TEST(WavePlayback, AlsaWritesRefusedOrCutShortLoseNothing) {
    REQUIRE_SERVER();
    SinkRecorder sink;
    ASSERT_TRUE(sink.Ready());
    Writer w;
    w.out = OpenOut();
    ASSERT_NE(w.out, nullptr);
    testsound::SoundLibraryThreadsInRealTime();
    w.PlayFor(100ms);
    for (const int refusal : {EPIPE, ESTRPIPE, 0}) {
        // Refused once the last block is heard, as after a real underrun: the
        // restart drops what the device holds, and a block that went in late
        // (the device ran dry before its thread first ran) may still be there.
        sink.WaitFor(w.written.back().second.data(), kBlockBytes, 1s);
        wave::alsaPlaybackRefusal.store(refusal);
        wave::alsaPlaybackShortWrites.store(refusal == 0 ? 4 : 0);
        w.PlayFor(150ms);
        if (wave::alsaPlaybackRefusal.load() != 0 || wave::alsaPlaybackShortWrites.load() > 0) {
            wave::alsaPlaybackRefusal.store(0);
            wave::alsaPlaybackShortWrites.store(0);
            waveOutClose(w.out);
            GTEST_SKIP() << "playback is not on ALSA";
        }
    }
    w.PlayFor(100ms);
    std::this_thread::sleep_for(300ms);
    const auto recorded = sink.Bytes();
    std::size_t at = 0;
    for (std::size_t i = 0; i < w.written.size(); ++i) {
        const auto& block = w.written[i].second;
        const auto found = std::search(
            recorded.begin() + std::ptrdiff_t(at), recorded.end(), block.begin(), block.end(),
            [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
        ASSERT_NE(found, recorded.end()) << "block " << i << " of " << w.written.size();
        at = std::size_t(found - recorded.begin()) + block.size();
    }
    std::uint64_t dropped = 1;
    EXPECT_EQ(waveOutGetDroppedBytes(w.out, &dropped), MMSYSERR_NOERROR);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(waveOutClose(w.out), MMSYSERR_NOERROR);
}

// The program re-queues a played header for capture one block later, and
// frees the ring right after closing: neither may change what is heard.
TEST(WavePlayback, AHeaderReusedOrFreedRightAfterWriteDoesNotDisturbWhatIsPlayed) {
    REQUIRE_SERVER();
    SinkRecorder sink;
    ASSERT_TRUE(sink.Ready());
    HWAVEOUT out = OpenOut();
    const WAVEFORMATEX f = ProgramFormat();
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);

    const std::vector<char> freedPattern = Pattern(2);
    auto freed = std::make_unique<Block>(freedPattern);
    ASSERT_EQ(waveOutPrepareHeader(out, &freed->header, 32), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &freed->header, 32), MMSYSERR_NOERROR);
    std::memset(freed->memory.data(), 0x33, kBlockBytes);
    freed.reset();

    const std::vector<char> reusedPattern = Pattern(3);
    Block reused(reusedPattern);
    ASSERT_EQ(waveOutPrepareHeader(out, &reused.header, 32), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &reused.header, 32), MMSYSERR_NOERROR);
    reused.header.dwFlags = 0;
    ASSERT_EQ(waveInPrepareHeader(in, &reused.header, 32), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, &reused.header, 32), MMSYSERR_NOERROR);
    // While the capture device holds it, playback refuses it.
    EXPECT_EQ(waveOutWrite(out, &reused.header, 32), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(out, &reused.header, 32), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);

    EXPECT_GE(sink.WaitFor(freedPattern.data(), freedPattern.size(), 3s), 0);
    EXPECT_GE(sink.WaitFor(reusedPattern.data(), reusedPattern.size(), 3s), 0);
    // The capture side did fill it meanwhile.
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    EXPECT_NE(std::memcmp(reused.memory.data(), reusedPattern.data(), kBlockBytes), 0);
    EXPECT_EQ(waveInUnprepareHeader(in, &reused.header, 32), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

TEST(WavePlayback, HeaderProtocolAndClosedHandles) {
    REQUIRE_SERVER();
    HWAVEOUT out = OpenOut();
    ASSERT_NE(out, nullptr);
    Block b(Pattern(4));
    EXPECT_EQ(waveOutWrite(out, &b.header, 32), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutWrite(out, nullptr, 32), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(out, nullptr, 32), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(out, &b.header, 31), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(out, &b.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(out, &b.header, 16), MMSYSERR_INVALPARAM);
    EXPECT_EQ(FlagsOf(b.header), WHDR_PREPARED);
    EXPECT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_NOERROR);
    EXPECT_EQ(FlagsOf(b.header), WHDR_PREPARED | WHDR_DONE);
    // Written again as the playback worker does, flags as they are.
    EXPECT_EQ(waveOutPrepareHeader(out, &b.header, 32), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_NOERROR);
    // A length that ends inside a frame plays the whole frames.
    b.header.dwBufferLength = kBlockBytes - 1;
    EXPECT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(out, &b.header, 32), MMSYSERR_NOERROR);
    EXPECT_EQ(FlagsOf(b.header), WHDR_DONE);

    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutPrepareHeader(out, &b.header, 32), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutWrite(out, &b.header, 32), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_INVALHANDLE);

    const WAVEFORMATEX f = ProgramFormat();
    HWAVEOUT other = nullptr;
    EXPECT_EQ(waveOutOpen(&other, WAVE_MAPPER, &f, 1, 0, CALLBACK_FUNCTION), MMSYSERR_INVALFLAG);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveOutOpen(&other, 0, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_NE(other, out);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(other), MMSYSERR_NOERROR);
}

TEST(WavePlayback, CloseRacingWritesOnAnotherThreadIsSafe) {
    REQUIRE_SERVER();
    for (int round = 0; round < 5; ++round) {
        HWAVEOUT out = OpenOut();
        ASSERT_NE(out, nullptr);
        std::atomic<bool> bad{false};
        std::atomic<int> writes{0};
        std::thread writer([&] {
            Block b(Pattern(5));
            for (;;) {
                MMRESULT r = waveOutPrepareHeader(out, &b.header, 32);
                if (r == MMSYSERR_NOERROR)
                    r = waveOutWrite(out, &b.header, 32);
                if (r == MMSYSERR_INVALHANDLE)
                    return;
                bad = bad || r != MMSYSERR_NOERROR;
                writes.fetch_add(1);
                std::this_thread::sleep_for(1ms);
            }
        });
        while (writes.load() < 3)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
        EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
        writer.join();
        EXPECT_FALSE(bad.load());
    }
}
