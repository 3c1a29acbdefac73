// A capture device as its stream thread runs it: the slot word that open,
// close and the header calls share, the queue of headers the program added,
// and the filling and handing back of each header.
//
// Everything here runs inside the program's WIM_DATA callback path, so none
// of it locks, allocates or blocks.
#pragma once

#include "mmsystem.h"
#include "waveback.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace wave {

// A slot's word: users in flight (16 bits), headers the device holds (16
// bits), state (2 bits), generation (24 bits). Keeping them in one word lets
// close decide "nothing queued and nobody inside" in a single step.
inline constexpr std::uint64_t kUserUnit = 1;
inline constexpr std::uint64_t kUserMax = 0xFFFF;
inline constexpr std::uint64_t kQueuedUnit = std::uint64_t{1} << 16;
inline constexpr std::uint64_t kQueuedMax = 0xFFFF;
inline constexpr int kStateShift = 32;
inline constexpr std::uint64_t kStateMask = std::uint64_t{3} << kStateShift;
inline constexpr int kGenShift = 40;

enum State : std::uint64_t { kFree = 0, kOpening = 1, kOpen = 2, kClosing = 3 };

inline std::uint64_t Users(std::uint64_t w) {
    return w & kUserMax;
}
inline std::uint64_t Queued(std::uint64_t w) {
    return (w >> 16) & kQueuedMax;
}
inline std::uint64_t StateOf(std::uint64_t w) {
    return (w >> kStateShift) & 3;
}
inline std::uint64_t GenOf(std::uint64_t w) {
    return w >> kGenShift;
}
inline std::uint64_t WithState(std::uint64_t w, State s) {
    return (w & ~kStateMask) | (std::uint64_t{s} << kStateShift);
}

class InDevice;
// The device whose stream thread this is, while it runs the device.
extern thread_local InDevice* deviceOnThisThread;

class InDevice final : public CaptureSink {
public:
    std::atomic<std::uint64_t> word{0};

    // Written by open before the slot is published (and before the stream's
    // thread starts); constant while open.
    HWAVEIN handle = nullptr;
    WAVEINPROC callback = nullptr;
    DWORD_PTR instance = 0;
    std::size_t frameBytes = 4;
    std::unique_ptr<CaptureStream> stream;

    std::atomic<bool> started{false};
    std::atomic<std::uint64_t> dropped{0};
    // Headers added and not yet taken by the device thread, newest first.
    std::atomic<WAVEHDR*> incoming{nullptr};
    // Stop and reset run on the device thread; callers elsewhere take a
    // ticket and wait for it to be served.
    std::atomic<std::uint32_t> resetAsked{0}, resetServed{0};
    std::atomic<std::uint32_t> stopAsked{0}, stopServed{0};
    // A stream thread that did not answer in time is cut off from the device
    // for good, and the callers serve their requests themselves. `inside`
    // is set while the thread runs the device; with `cutOff` it forms a
    // handshake (both sequentially consistent): either the thread sees the
    // cut and stays out, or the one cutting sees it inside and waits for it.
    std::atomic<bool> inside{false};
    std::atomic<bool> cutOff{false};
    // Held by a caller serving a request on a cut-off device.
    std::atomic_flag serving;

    void Init(HWAVEIN h, WAVEINPROC cb, DWORD_PTR inst, std::size_t bytesPerFrame) {
        handle = h;
        callback = cb;
        instance = inst;
        frameBytes = bytesPerFrame;
        started.store(false, std::memory_order_relaxed);
        dropped.store(0, std::memory_order_relaxed);
        incoming.store(nullptr, std::memory_order_relaxed);
        resetAsked.store(0, std::memory_order_relaxed);
        resetServed.store(0, std::memory_order_relaxed);
        stopAsked.store(0, std::memory_order_relaxed);
        stopServed.store(0, std::memory_order_relaxed);
        inside.store(false);
        cutOff.store(false);
        current = fifoHead = fifoTail = nullptr;
        filled = capacity = 0;
    }

    void OnData(const void* data, std::size_t bytes) override;
    void OnWake() override;
    void OnLost(std::size_t bytes) override;

    void ResetHere();
    void StopHere();

private:
    // Device thread only.
    WAVEHDR* current = nullptr;
    std::size_t filled = 0;
    std::size_t capacity = 0;
    WAVEHDR* fifoHead = nullptr;
    WAVEHDR* fifoTail = nullptr;

    void ServeRequests();
    void TakeIncoming();
    bool TakeNext();
    void HandBack(WAVEHDR* h, std::size_t bytes);
};

// Marks the device thread while it runs the device, so calls made from the
// callback are recognised.
class OnDeviceThread {
public:
    explicit OnDeviceThread(InDevice* d) : saved(deviceOnThisThread) { deviceOnThisThread = d; }
    ~OnDeviceThread() { deviceOnThisThread = saved; }

private:
    InDevice* saved;
};

} // namespace wave
