// Capture as the program runs it, without the program: two 4096-byte
// headers, and at each completion the completed one is unprepared and the
// other one re-armed and queued from inside the callback, so one header at
// most is queued at any time. Keeps the arrival time of the first blocks
// and, when asked, a copy of their samples.
//
//     testring::CaptureRing ring(42);
//     ring.Open(); ring.Start(); ... ring.Shutdown();
#pragma once

#include "mmsystem.h"
#include "program_format.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

namespace testring {

constexpr DWORD kBlockBytes = 4096;
constexpr int kBlockSamples = kBlockBytes / 2;

// A header with its own block of memory: silence, or the bytes given.
struct Block {
    std::vector<char> memory;
    WAVEHDR header{};
    explicit Block(std::vector<char> bytes = std::vector<char>(kBlockBytes))
        : memory(std::move(bytes)) {
        header.lpData = memory.data();
        header.dwBufferLength = static_cast<DWORD>(memory.size());
    }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
};

class CaptureRing {
public:
    using Clock = std::chrono::steady_clock;

    // Times the first `kept` blocks; with `keepSamples` also copies their
    // samples and byte counts (a memcpy per block on the device thread,
    // which a benchmark of the callback's cost leaves out).
    explicit CaptureRing(int kept, bool keepSamples = true)
        : wanted(kept), times(static_cast<std::size_t>(kept)),
          samples(keepSamples ? static_cast<std::size_t>(kept) * kBlockSamples : 0),
          recorded(keepSamples ? static_cast<std::size_t>(kept) : 0) {}
    CaptureRing(const CaptureRing&) = delete;
    CaptureRing& operator=(const CaptureRing&) = delete;

    HWAVEIN in = nullptr;
    Block blocks[2];
    // Cleared to stop the cycle: completions are still counted.
    std::atomic<bool> requeue{true};
    std::atomic<int> completed{0};
    const int wanted;
    // Written by the device thread for block k before `completed` passes k.
    std::vector<Clock::time_point> times;
    std::vector<std::int16_t> samples;
    std::vector<DWORD> recorded;

    static void Callback(HWAVEIN hwi, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
        if (msg != WIM_DATA)
            return;
        reinterpret_cast<CaptureRing*>(instance)->Completed(hwi, reinterpret_cast<WAVEHDR*>(p1));
    }

    MMRESULT Open() {
        const WAVEFORMATEX f = ProgramFormat();
        return waveInOpen(&in, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&CaptureRing::Callback),
                          reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }

    // Queues the first header and starts the device; false if any step failed.
    bool Start() {
        return waveInPrepareHeader(in, &blocks[0].header, WAVEHDR_SIZE32) == MMSYSERR_NOERROR &&
               waveInAddBuffer(in, &blocks[0].header, WAVEHDR_SIZE32) == MMSYSERR_NOERROR &&
               waveInStart(in) == MMSYSERR_NOERROR;
    }

    // The program's shutdown: stop re-queuing, reset, unprepare, close.
    // Gives up with WAVERR_STILLPLAYING if a header is not back within 0.5 s.
    MMRESULT Shutdown() {
        requeue = false;
        waveInReset(in);
        for (Block& b : blocks) {
            for (int tries = 0;
                 waveInUnprepareHeader(in, &b.header, WAVEHDR_SIZE32) == WAVERR_STILLPLAYING;
                 ++tries) {
                if (tries == 50)
                    return WAVERR_STILLPLAYING;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return waveInClose(in);
    }

private:
    void Completed(HWAVEIN hwi, WAVEHDR* done) {
        const int k = completed.load(std::memory_order_relaxed);
        if (k < wanted) {
            const auto i = static_cast<std::size_t>(k);
            times[i] = Clock::now();
            if (!recorded.empty()) {
                std::memcpy(&samples[i * kBlockSamples], done->lpData, kBlockBytes);
                recorded[i] = done->dwBytesRecorded;
            }
        }
        completed.store(k + 1, std::memory_order_release);
        if (!requeue.load())
            return;
        waveInUnprepareHeader(hwi, done, WAVEHDR_SIZE32);
        WAVEHDR& next = done == &blocks[0].header ? blocks[1].header : blocks[0].header;
        // Re-armed as the program does, atomically: some tests touch these
        // headers from another thread on purpose.
        std::atomic_ref<DWORD>(next.dwBufferLength).store(kBlockBytes, std::memory_order_relaxed);
        std::atomic_ref<DWORD>(next.dwFlags).store(0, std::memory_order_relaxed);
        std::atomic_ref<DWORD>(next.dwLoops).store(0, std::memory_order_relaxed);
        waveInPrepareHeader(hwi, &next, WAVEHDR_SIZE32);
        waveInAddBuffer(hwi, &next, WAVEHDR_SIZE32);
    }
};

} // namespace testring
