// The capture side of the wave-audio layer: the calls the program makes on a
// capture device. The device itself, run on its stream thread, is in
// indevice.h. Backend-neutral: the sound arrives through CaptureSink.
//
// The program re-queues buffers from inside its WIM_DATA callback, so
// prepare, unprepare and add must neither lock, allocate nor block. Handles
// therefore index a fixed table of slots whose state lives in one atomic
// word, and queued headers form a lock-free list through their own lpNext.
//
// Sound that arrives while the device is not started (before waveInStart,
// after waveInStop or waveInReset) is discarded and not counted: nobody asked
// for it. Sound that arrives while started with no header queued is dropped
// and counted in waveInGetDroppedBytes; it is never buffered.
#include "handles.h"
#include "indevice.h"
#include "mmsystem.h"
#include "waveback.h"
#include "wavehdr.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace {

using namespace wave;

// Capture fragments are one program block long: 1024 frames, 23.2 ms at
// 44.1 kHz, so a block is handed back as soon as the server delivers it.
constexpr std::size_t kFramesPerFragment = 1024;

InDevice slots[kDeviceSlots];

InDevice* SlotOf(HWAVEIN h, std::uint64_t* gen) {
    std::size_t slot = 0;
    return DecodeHandle(h, &slot, gen) ? &slots[slot] : nullptr;
}

// A counted reference to an open device: close waits until none is left.
class Use {
public:
    explicit Use(HWAVEIN h) {
        std::uint64_t gen = 0;
        InDevice* slot = SlotOf(h, &gen);
        if (slot == nullptr)
            return;
        std::uint64_t w = slot->word.load(std::memory_order_acquire);
        do {
            if (StateOf(w) != kOpen || GenOf(w) != gen || Users(w) == kUserMax)
                return;
        } while (!slot->word.compare_exchange_weak(w, w + kUserUnit, std::memory_order_acq_rel,
                                                   std::memory_order_acquire));
        d = slot;
    }
    ~Use() {
        if (d != nullptr)
            d->word.fetch_sub(kUserUnit, std::memory_order_release);
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    InDevice* operator->() const { return d; }
    explicit operator bool() const { return d != nullptr; }
    InDevice* get() const { return d; }

private:
    InDevice* d = nullptr;
};

// How long a caller waits for the stream thread to serve a request, or to
// leave the device, before it gives up on the thread.
constexpr auto kAnswerWait = std::chrono::seconds(1);

// Cuts the device off from a stream thread that stopped answering (held
// inside the sound library) and hands back every header it held, on the
// caller's thread: once cut off, the device's own state is its callers'.
// False only while the thread is still inside the device past the deadline.
bool ServeHere(InDevice* d, std::chrono::steady_clock::time_point deadline) {
    d->cutOff.store(true);
    while (d->inside.load()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    while (d->serving.test_and_set(std::memory_order_acquire))
        std::this_thread::yield();
    {
        OnDeviceThread mark(d);
        d->ResetHere();
    }
    d->serving.clear(std::memory_order_release);
    return true;
}

// Stop and reset alike: on a device that lost its thread nothing more is
// recorded, so every header comes back.
MMRESULT AskAndWait(InDevice* d, std::atomic<std::uint32_t>& asked,
                    std::atomic<std::uint32_t>& served) {
    const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
    if (!d->cutOff.load()) {
        const std::uint32_t ticket = asked.fetch_add(1, std::memory_order_acq_rel) + 1;
        d->stream->Wake();
        while (static_cast<std::int32_t>(served.load(std::memory_order_acquire) - ticket) < 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return ServeHere(d, deadline + kAnswerWait) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return MMSYSERR_NOERROR;
    }
    return ServeHere(d, deadline) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

} // namespace

MMRESULT waveInOpen(HWAVEIN* phwi, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen) {
    StreamFormat format{};
    if (MMRESULT r = CheckOpen(pwfx, uDeviceID, fdwOpen, CALLBACK_FUNCTION, &format))
        return r;
    const bool callsBack = (fdwOpen & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION;
    if (callsBack && dwCallback == 0)
        return MMSYSERR_INVALPARAM;
    if (fdwOpen & WAVE_FORMAT_QUERY)
        return MMSYSERR_NOERROR;
    if (phwi == nullptr)
        return MMSYSERR_INVALPARAM;
    *phwi = nullptr;

    for (std::size_t i = 0; i < kDeviceSlots; ++i) {
        InDevice& d = slots[i];
        std::uint64_t w = d.word.load(std::memory_order_acquire);
        if (StateOf(w) != kFree)
            continue;
        const std::uint64_t gen = NextGeneration(GenOf(w));
        const std::uint64_t opening = gen << kGenShift | std::uint64_t{kOpening} << kStateShift;
        if (!d.word.compare_exchange_strong(w, opening, std::memory_order_acq_rel))
            continue;
        const auto handle = MakeHandle<HWAVEIN>(i, gen);
        d.Init(handle, callsBack ? reinterpret_cast<WAVEINPROC>(dwCallback) : nullptr, dwInstance,
               format.bytesPerFrame);
        MMRESULT r = MMSYSERR_ERROR;
        d.stream = OpenCaptureStream(format, kFramesPerFragment * format.bytesPerFrame, d, &r);
        if (!d.stream) {
            d.word.store(WithState(opening, kFree), std::memory_order_release);
            return r != MMSYSERR_NOERROR ? r : MMSYSERR_ERROR;
        }
        d.word.store(WithState(opening, kOpen), std::memory_order_release);
        *phwi = handle;
        return MMSYSERR_NOERROR;
    }
    return MMSYSERR_NOMEM;
}

MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    Use d(hwi);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = CheckHeaderArg(pwh, cbwh))
        return r;
    return PrepareHeader(pwh);
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    Use d(hwi);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = CheckHeaderArg(pwh, cbwh))
        return r;
    return UnprepareHeader(pwh);
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    Use d(hwi);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = CheckHeaderArg(pwh, cbwh))
        return r;
    if (pwh->lpData == nullptr || pwh->dwBufferLength < d->frameBytes)
        return MMSYSERR_INVALPARAM;
    if (!(Flags(pwh).load(std::memory_order_acquire) & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    DWORD_PTR mark = Mark(pwh).load(std::memory_order_acquire);
    do {
        if (mark == HeldMark(pwh))
            return WAVERR_STILLPLAYING;
    } while (!Mark(pwh).compare_exchange_weak(mark, HeldMark(pwh), std::memory_order_acq_rel));
    // An unprepare racing this call either comes first (and the header is
    // refused) or sees the mark (and answers WAVERR_STILLPLAYING).
    DWORD f = Flags(pwh).load(std::memory_order_acquire);
    do {
        if (!(f & WHDR_PREPARED)) {
            Mark(pwh).store(0, std::memory_order_release);
            return WAVERR_UNPREPARED;
        }
    } while (!Flags(pwh).compare_exchange_weak(f, (f | WHDR_INQUEUE) & ~WHDR_DONE,
                                               std::memory_order_acq_rel));
    std::atomic_ref<DWORD>(pwh->dwBytesRecorded).store(0, std::memory_order_relaxed);

    // Counted before the device can see it, so the count never runs below
    // what the device hands back.
    std::uint64_t w = d->word.load(std::memory_order_relaxed);
    do {
        if (Queued(w) == kQueuedMax) {
            Flags(pwh).fetch_and(~WHDR_INQUEUE, std::memory_order_acq_rel);
            Mark(pwh).store(0, std::memory_order_release);
            return MMSYSERR_NOMEM;
        }
    } while (!d->word.compare_exchange_weak(w, w + kQueuedUnit, std::memory_order_acq_rel,
                                            std::memory_order_relaxed));

    WAVEHDR* head = d->incoming.load(std::memory_order_relaxed);
    do {
        pwh->lpNext = head;
    } while (!d->incoming.compare_exchange_weak(head, pwh, std::memory_order_release,
                                                std::memory_order_relaxed));
    return MMSYSERR_NOERROR;
}

MMRESULT waveInStart(HWAVEIN hwi) {
    Use d(hwi);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    d->started.store(true, std::memory_order_release);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInStop(HWAVEIN hwi) {
    Use d(hwi);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    d->started.store(false, std::memory_order_release);
    if (deviceOnThisThread == d.get()) {
        d->StopHere();
        return MMSYSERR_NOERROR;
    }
    return AskAndWait(d.get(), d->stopAsked, d->stopServed);
}

MMRESULT waveInReset(HWAVEIN hwi) {
    Use d(hwi);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    d->started.store(false, std::memory_order_release);
    if (deviceOnThisThread == d.get()) {
        d->ResetHere();
        return MMSYSERR_NOERROR;
    }
    return AskAndWait(d.get(), d->resetAsked, d->resetServed);
}

MMRESULT waveInClose(HWAVEIN hwi) {
    std::uint64_t gen = 0;
    InDevice* d = SlotOf(hwi, &gen);
    if (d == nullptr)
        return MMSYSERR_INVALHANDLE;
    std::uint64_t w = d->word.load(std::memory_order_acquire);
    for (;;) {
        if (StateOf(w) != kOpen || GenOf(w) != gen)
            return MMSYSERR_INVALHANDLE;
        // The device thread cannot join itself: closing from the callback is
        // refused, and the device goes on.
        if (deviceOnThisThread == d)
            return MMSYSERR_ERROR;
        if (Queued(w) != 0)
            return WAVERR_STILLPLAYING;
        if (Users(w) != 0) {
            // Someone is inside a short, non-blocking call on this device.
            std::this_thread::yield();
            w = d->word.load(std::memory_order_acquire);
            continue;
        }
        if (d->word.compare_exchange_weak(w, WithState(w, kClosing), std::memory_order_acq_rel,
                                          std::memory_order_acquire))
            break;
    }
    // Ends the device thread: no callback runs after this.
    if (d->stream->Stop()) {
        d->stream.reset();
        d->word.store(WithState(w, kFree), std::memory_order_release);
        return MMSYSERR_NOERROR;
    }
    // The thread runs on, held somewhere: the stream stays with it and the
    // slot stays closing for good, so the device it may still try to enter
    // is never another's, and refuses it.
    d->cutOff.store(true);
    const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
    while (d->inside.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    LeaveBehind(std::move(d->stream));
    return MMSYSERR_NOERROR;
}

MMRESULT waveInGetDroppedBytes(HWAVEIN hwi, std::uint64_t* bytes) {
    Use d(hwi);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (bytes == nullptr)
        return MMSYSERR_INVALPARAM;
    *bytes = d->dropped.load(std::memory_order_relaxed);
    return MMSYSERR_NOERROR;
}
