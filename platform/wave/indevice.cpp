#include "indevice.h"

#include "wavehdr.h"

#include <algorithm>

namespace wave {

thread_local InDevice* deviceOnThisThread = nullptr;

namespace {

// The stream thread's way in: refused once the device is cut off from it.
class Inside {
public:
    explicit Inside(InDevice& d) : device(d) {
        device.inside.store(true);
        in = !device.cutOff.load();
        if (!in)
            device.inside.store(false);
    }
    ~Inside() {
        if (in)
            device.inside.store(false);
    }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    explicit operator bool() const { return in; }

private:
    InDevice& device;
    bool in = false;
};

} // namespace

void InDevice::OnData(const void* data, std::size_t bytes) {
    Inside inside(*this);
    if (!inside)
        return;
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
    Inside inside(*this);
    if (!inside)
        return;
    OnDeviceThread mark(this);
    ServeRequests();
}

// Lost while nobody asked for sound is not counted, as for OnData.
void InDevice::OnLost(std::size_t bytes) {
    Inside inside(*this);
    if (!inside)
        return;
    OnDeviceThread mark(this);
    ServeRequests();
    if (started.load(std::memory_order_acquire))
        dropped.fetch_add(bytes, std::memory_order_relaxed);
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

} // namespace wave
