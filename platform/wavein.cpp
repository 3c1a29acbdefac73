// The capture side of the wave-audio layer: handles, the header queue and
// the callbacks. Backend-neutral: the sound arrives through CaptureSink.
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
#include "mmsystem.h"
#include "waveback.h"
#include "wavehdr.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

namespace {

using namespace wave;

constexpr std::size_t kSlots = 64;
// Capture fragments are one program block long: 1024 frames, 23.2 ms at
// 44.1 kHz, so a block is handed back as soon as the server delivers it.
constexpr std::size_t kFramesPerFragment = 1024;

// A slot's word: users in flight (16 bits), headers the device holds (16
// bits), state (2 bits), generation (24 bits). Keeping them in one word lets
// close decide "nothing queued and nobody inside" in a single step.
constexpr std::uint64_t kUserUnit = 1;
constexpr std::uint64_t kUserMax = 0xFFFF;
constexpr std::uint64_t kQueuedUnit = std::uint64_t{1} << 16;
constexpr std::uint64_t kQueuedMax = 0xFFFF;
constexpr int kStateShift = 32;
constexpr std::uint64_t kStateMask = std::uint64_t{3} << kStateShift;
constexpr int kGenShift = 40;
constexpr std::uint64_t kGenMask = 0xFFFFFF;

enum State : std::uint64_t { kFree = 0, kOpening = 1, kOpen = 2, kClosing = 3 };

std::uint64_t Users(std::uint64_t w) {
    return w & kUserMax;
}
std::uint64_t Queued(std::uint64_t w) {
    return (w >> 16) & kQueuedMax;
}
std::uint64_t StateOf(std::uint64_t w) {
    return (w >> kStateShift) & 3;
}
std::uint64_t GenOf(std::uint64_t w) {
    return w >> kGenShift;
}
std::uint64_t WithState(std::uint64_t w, State s) {
    return (w & ~kStateMask) | (std::uint64_t{s} << kStateShift);
}

// A handle is (generation << 8 | slot + 1): never null, never dereferenced.
HWAVEIN MakeHandle(std::size_t slot, std::uint64_t gen) {
    return reinterpret_cast<HWAVEIN>(static_cast<std::uintptr_t>(gen << 8 | (slot + 1)));
}

class InDevice;
thread_local InDevice* deviceOnThisThread = nullptr;

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
        current = fifoHead = fifoTail = nullptr;
        filled = capacity = 0;
    }

    void OnData(const void* data, std::size_t bytes) override;
    void OnWake() override;

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

InDevice slots[kSlots];

// Marks the device thread while it runs the device, so calls made from the
// callback are recognised.
class OnDeviceThread {
public:
    explicit OnDeviceThread(InDevice* d) : saved(deviceOnThisThread) { deviceOnThisThread = d; }
    ~OnDeviceThread() { deviceOnThisThread = saved; }

private:
    InDevice* saved;
};

void InDevice::OnData(const void* data, std::size_t bytes) {
    OnDeviceThread mark(this);
    ServeRequests();
    auto* p = static_cast<const char*>(data);
    // The callback may stop or reset the device, so `started` is read anew
    // after each hand-back.
    while (bytes > 0 && started.load(std::memory_order_acquire)) {
        if (current == nullptr && !TakeNext()) {
            dropped.fetch_add(bytes, std::memory_order_relaxed);
            return;
        }
        const std::size_t n = std::min(capacity - filled, bytes);
        StoreSamples(current->lpData + filled, p, n);
        if (p != nullptr) {
            p += n;
        }
        filled += n;
        bytes -= n;
        if (filled == capacity) {
            WAVEHDR* h = current;
            current = nullptr;
            HandBack(h, filled);
            ServeRequests();
        }
    }
}

void InDevice::OnWake() {
    OnDeviceThread mark(this);
    ServeRequests();
}

void InDevice::ServeRequests() {
    const std::uint32_t reset = resetAsked.load(std::memory_order_acquire);
    if (reset != resetServed.load(std::memory_order_relaxed)) {
        ResetHere();
        resetServed.store(reset, std::memory_order_release);
        resetServed.notify_all();
    }
    const std::uint32_t stop = stopAsked.load(std::memory_order_acquire);
    if (stop != stopServed.load(std::memory_order_relaxed)) {
        StopHere();
        stopServed.store(stop, std::memory_order_release);
        stopServed.notify_all();
    }
}

// Moves the headers added since the last look to the end of the device's own
// FIFO, oldest first, so headers are filled in the order they were queued.
void InDevice::TakeIncoming() {
    WAVEHDR* list = incoming.exchange(nullptr, std::memory_order_acquire);
    WAVEHDR* oldest = list;
    WAVEHDR* reversed = nullptr;
    while (list != nullptr) {
        WAVEHDR* next = list->lpNext;
        list->lpNext = reversed;
        reversed = list;
        list = next;
    }
    if (reversed == nullptr)
        return;
    if (fifoTail != nullptr)
        fifoTail->lpNext = reversed;
    else
        fifoHead = reversed;
    fifoTail = oldest;
    fifoTail->lpNext = nullptr;
}

bool InDevice::TakeNext() {
    if (fifoHead == nullptr)
        TakeIncoming();
    if (fifoHead == nullptr)
        return false;
    current = fifoHead;
    fifoHead = current->lpNext;
    if (fifoHead == nullptr)
        fifoTail = nullptr;
    SeePlayback();
    // Whole frames only; a header emptied of length by its owner after it was
    // queued comes back at once with nothing recorded.
    capacity = current->dwBufferLength / frameBytes * frameBytes;
    filled = 0;
    return true;
}

void InDevice::HandBack(WAVEHDR* h, std::size_t bytes) {
    std::atomic_ref<DWORD>(h->dwBytesRecorded)
        .store(static_cast<DWORD>(bytes), std::memory_order_relaxed);
    DWORD f = Flags(h).load(std::memory_order_relaxed);
    while (!Flags(h).compare_exchange_weak(f, (f & ~WHDR_INQUEUE) | WHDR_DONE,
                                           std::memory_order_acq_rel, std::memory_order_relaxed)) {
    }
    Mark(h).store(0, std::memory_order_release);
    word.fetch_sub(kQueuedUnit, std::memory_order_acq_rel);
    // From here on the header is its owner's again; only its address is used.
    if (callback != nullptr) {
        SeePlayback();
        callback(handle, WIM_DATA, instance, reinterpret_cast<DWORD_PTR>(h), 0);
    }
}

void InDevice::ResetHere() {
    started.store(false, std::memory_order_release);
    TakeIncoming();
    WAVEHDR* partial = current;
    const std::size_t partialBytes = filled;
    WAVEHDR* list = fifoHead;
    current = fifoHead = fifoTail = nullptr;
    filled = 0;
    // Headers the callbacks below add stay queued for a later start.
    if (partial != nullptr)
        HandBack(partial, partialBytes);
    while (list != nullptr) {
        WAVEHDR* next = list->lpNext;
        HandBack(list, 0);
        list = next;
    }
}

// As the classic API does: a partly filled buffer comes back, empty ones
// stay queued.
void InDevice::StopHere() {
    started.store(false, std::memory_order_release);
    if (current != nullptr && filled > 0) {
        WAVEHDR* h = current;
        current = nullptr;
        HandBack(h, filled);
        filled = 0;
    }
}

InDevice* SlotOf(HWAVEIN h, std::uint64_t* gen) {
    const auto token = reinterpret_cast<std::uintptr_t>(h);
    const std::size_t index = token & 0xFF;
    if (index == 0 || index > kSlots || (token >> 8) > kGenMask)
        return nullptr;
    *gen = token >> 8;
    return &slots[index - 1];
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

void AskAndWait(InDevice* d, std::atomic<std::uint32_t>& asked,
                std::atomic<std::uint32_t>& served) {
    const std::uint32_t ticket = asked.fetch_add(1, std::memory_order_acq_rel) + 1;
    d->stream->Wake();
    for (std::uint32_t seen = served.load(std::memory_order_acquire);
         static_cast<std::int32_t>(seen - ticket) < 0;
         seen = served.load(std::memory_order_acquire))
        served.wait(seen, std::memory_order_acquire);
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

    for (std::size_t i = 0; i < kSlots; ++i) {
        InDevice& d = slots[i];
        std::uint64_t w = d.word.load(std::memory_order_acquire);
        if (StateOf(w) != kFree)
            continue;
        const std::uint64_t gen = ((GenOf(w) + 1) & kGenMask);
        const std::uint64_t opening = gen << kGenShift | std::uint64_t{kOpening} << kStateShift;
        if (!d.word.compare_exchange_strong(w, opening, std::memory_order_acq_rel))
            continue;
        const HWAVEIN handle = MakeHandle(i, gen);
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
    // refused) or sees the mark (and answers 33).
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
    if (deviceOnThisThread == d.get())
        d->StopHere();
    else
        AskAndWait(d.get(), d->stopAsked, d->stopServed);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInReset(HWAVEIN hwi) {
    Use d(hwi);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    d->started.store(false, std::memory_order_release);
    if (deviceOnThisThread == d.get())
        d->ResetHere();
    else
        AskAndWait(d.get(), d->resetAsked, d->resetServed);
    return MMSYSERR_NOERROR;
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
    // Joins the device thread: no callback runs after this.
    d->stream.reset();
    d->word.store(WithState(w, kFree), std::memory_order_release);
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
