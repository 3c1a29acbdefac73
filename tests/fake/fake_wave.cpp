#include "fake_wave.h"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace {

struct InDevice {
    WAVEINPROC callback = nullptr;
    DWORD_PTR instance = 0;
    bool started = false;
    std::deque<WAVEHDR*> queue;
};

struct Scripted {
    MMRESULT result;
    int remaining;
};

using HookFn = std::function<void(WAVEHDR*)>;

// A header handed back, to be delivered to its callback outside the lock.
struct Delivery {
    HWAVEIN handle;
    WAVEINPROC callback;
    DWORD_PTR instance;
    WAVEHDR* header;
};

struct Device {
    std::mutex mutex;
    std::uintptr_t nextHandle = 0x1000;
    std::map<HWAVEIN, InDevice> in;
    std::set<HWAVEOUT> out;
    std::map<std::string, Scripted> answers;
    std::map<std::string, std::shared_ptr<const HookFn>> hooks;
    std::vector<fakewave::Call> log;
};

Device& TheDevice() {
    static Device device;
    return device;
}

void LogLocked(Device& d, const char* function, const WAVEHDR* header, MMRESULT result) {
    d.log.push_back(fakewave::Call{function, header, result, std::this_thread::get_id(),
                                   std::chrono::steady_clock::now()});
}

void Deliver(const std::vector<Delivery>& deliveries) {
    Device& d = TheDevice();
    for (const Delivery& delivery : deliveries) {
        {
            std::lock_guard lock(d.mutex);
            LogLocked(d, "WIM_DATA", delivery.header, MMSYSERR_NOERROR);
        }
        if (delivery.callback != nullptr) {
            delivery.callback(delivery.handle, WIM_DATA, delivery.instance,
                              reinterpret_cast<DWORD_PTR>(delivery.header), 0);
        }
    }
}

// One device call: a scripted answer replaces it, otherwise body runs under
// the lock. Then the call is logged, headers it handed back are delivered
// and its hook runs, both without the lock.
template <class Body> MMRESULT Run(const char* function, WAVEHDR* header, Body body) {
    Device& d = TheDevice();
    std::vector<Delivery> deliveries;
    std::shared_ptr<const HookFn> hook;
    MMRESULT result = MMSYSERR_NOERROR;
    {
        std::lock_guard lock(d.mutex);
        auto scripted = d.answers.find(function);
        if (scripted != d.answers.end() && scripted->second.remaining != 0) {
            result = scripted->second.result;
            if (scripted->second.remaining > 0) {
                --scripted->second.remaining;
            }
        } else {
            result = body(d, deliveries);
        }
        LogLocked(d, function, header, result);
        if (auto found = d.hooks.find(function); found != d.hooks.end()) {
            hook = found->second;
        }
    }
    Deliver(deliveries);
    if (hook) {
        (*hook)(header);
    }
    return result;
}

MMRESULT CheckHeader(const WAVEHDR* h, UINT cbwh) {
    return h == nullptr || cbwh < WAVEHDR_SIZE32 ? MMSYSERR_INVALPARAM : MMSYSERR_NOERROR;
}

bool IsQueued(const Device& d, const WAVEHDR* h) {
    for (const auto& [handle, device] : d.in) {
        if (std::find(device.queue.begin(), device.queue.end(), h) != device.queue.end()) {
            return true;
        }
    }
    return false;
}

template <class Handle> Handle NewHandle(Device& d) {
    return reinterpret_cast<Handle>(d.nextHandle++);
}

void HandBack(WAVEHDR* h, DWORD bytes) {
    h->dwBytesRecorded = bytes;
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
}

} // namespace

namespace fakewave {

void Reset() {
    Device& d = TheDevice();
    std::lock_guard lock(d.mutex);
    d.in.clear();
    d.out.clear();
    d.answers.clear();
    d.hooks.clear();
    d.log.clear();
}

void Answer(const std::string& function, MMRESULT result, int times) {
    Device& d = TheDevice();
    std::lock_guard lock(d.mutex);
    d.answers[function] = Scripted{result, times < 0 ? -1 : times};
}

void Hook(const std::string& function, std::function<void(WAVEHDR*)> hook) {
    Device& d = TheDevice();
    std::lock_guard lock(d.mutex);
    if (hook) {
        d.hooks[function] = std::make_shared<const HookFn>(std::move(hook));
    } else {
        d.hooks.erase(function);
    }
}

WAVEHDR* Complete() {
    Device& d = TheDevice();
    Delivery delivery{};
    {
        std::lock_guard lock(d.mutex);
        for (auto& [handle, device] : d.in) {
            if (device.started && !device.queue.empty()) {
                delivery = Delivery{handle, device.callback, device.instance, device.queue.front()};
                device.queue.pop_front();
                HandBack(delivery.header, delivery.header->dwBufferLength);
                break;
            }
        }
    }
    if (delivery.header != nullptr) {
        Deliver({delivery});
    }
    return delivery.header;
}

std::vector<Call> Log() {
    Device& d = TheDevice();
    std::lock_guard lock(d.mutex);
    return d.log;
}

std::vector<WAVEHDR*> Queued() {
    Device& d = TheDevice();
    std::lock_guard lock(d.mutex);
    std::vector<WAVEHDR*> queued;
    for (const auto& [handle, device] : d.in) {
        queued.insert(queued.end(), device.queue.begin(), device.queue.end());
    }
    return queued;
}

} // namespace fakewave

// Capture side.

MMRESULT waveInOpen(HWAVEIN* phwi, UINT /*uDeviceID*/, const WAVEFORMATEX* pwfx,
                    DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen) {
    return Run("waveInOpen", nullptr, [&](Device& d, auto&) -> MMRESULT {
        if (pwfx == nullptr) {
            return MMSYSERR_INVALPARAM;
        }
        if (fdwOpen & WAVE_FORMAT_QUERY) {
            return MMSYSERR_NOERROR;
        }
        if (phwi == nullptr) {
            return MMSYSERR_INVALPARAM;
        }
        const HWAVEIN handle = NewHandle<HWAVEIN>(d);
        InDevice& device = d.in[handle];
        if ((fdwOpen & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION) {
            device.callback = reinterpret_cast<WAVEINPROC>(dwCallback);
            device.instance = dwInstance;
        }
        *phwi = handle;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    return Run("waveInPrepareHeader", pwh, [&](Device& d, auto&) -> MMRESULT {
        if (!d.in.contains(hwi)) {
            return MMSYSERR_INVALHANDLE;
        }
        if (MMRESULT r = CheckHeader(pwh, cbwh)) {
            return r;
        }
        if (pwh->lpData == nullptr || pwh->dwBufferLength == 0) {
            return MMSYSERR_INVALPARAM;
        }
        pwh->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    return Run("waveInUnprepareHeader", pwh, [&](Device& d, auto&) -> MMRESULT {
        if (!d.in.contains(hwi)) {
            return MMSYSERR_INVALHANDLE;
        }
        if (MMRESULT r = CheckHeader(pwh, cbwh)) {
            return r;
        }
        if (IsQueued(d, pwh)) {
            return WAVERR_STILLPLAYING;
        }
        pwh->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    return Run("waveInAddBuffer", pwh, [&](Device& d, auto&) -> MMRESULT {
        auto device = d.in.find(hwi);
        if (device == d.in.end()) {
            return MMSYSERR_INVALHANDLE;
        }
        if (MMRESULT r = CheckHeader(pwh, cbwh)) {
            return r;
        }
        if (pwh->lpData == nullptr || pwh->dwBufferLength == 0) {
            return MMSYSERR_INVALPARAM;
        }
        if (!(pwh->dwFlags & WHDR_PREPARED)) {
            return WAVERR_UNPREPARED;
        }
        if (IsQueued(d, pwh)) {
            return WAVERR_STILLPLAYING;
        }
        pwh->dwFlags = (pwh->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
        device->second.queue.push_back(pwh);
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInStart(HWAVEIN hwi) {
    return Run("waveInStart", nullptr, [&](Device& d, auto&) -> MMRESULT {
        auto device = d.in.find(hwi);
        if (device == d.in.end()) {
            return MMSYSERR_INVALHANDLE;
        }
        device->second.started = true;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInStop(HWAVEIN hwi) {
    return Run("waveInStop", nullptr, [&](Device& d, auto&) -> MMRESULT {
        auto device = d.in.find(hwi);
        if (device == d.in.end()) {
            return MMSYSERR_INVALHANDLE;
        }
        device->second.started = false;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInReset(HWAVEIN hwi) {
    return Run("waveInReset", nullptr,
               [&](Device& d, std::vector<Delivery>& deliveries) -> MMRESULT {
                   auto device = d.in.find(hwi);
                   if (device == d.in.end()) {
                       return MMSYSERR_INVALHANDLE;
                   }
                   // Headers the callbacks queue again stay queued for a later start.
                   InDevice& in = device->second;
                   in.started = false;
                   for (WAVEHDR* h : in.queue) {
                       HandBack(h, 0);
                       deliveries.push_back(Delivery{hwi, in.callback, in.instance, h});
                   }
                   in.queue.clear();
                   return MMSYSERR_NOERROR;
               });
}

MMRESULT waveInClose(HWAVEIN hwi) {
    return Run("waveInClose", nullptr, [&](Device& d, auto&) -> MMRESULT {
        auto device = d.in.find(hwi);
        if (device == d.in.end()) {
            return MMSYSERR_INVALHANDLE;
        }
        if (!device->second.queue.empty()) {
            return WAVERR_STILLPLAYING;
        }
        d.in.erase(device);
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInGetDroppedBytes(HWAVEIN hwi, std::uint64_t* bytes) {
    return Run("waveInGetDroppedBytes", nullptr, [&](Device& d, auto&) -> MMRESULT {
        if (!d.in.contains(hwi)) {
            return MMSYSERR_INVALHANDLE;
        }
        if (bytes == nullptr) {
            return MMSYSERR_INVALPARAM;
        }
        *bytes = 0;
        return MMSYSERR_NOERROR;
    });
}

// Playback side: buffers are taken whole when written, so a written header
// is done at once and nothing is ever held.

MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT /*uDeviceID*/, const WAVEFORMATEX* pwfx,
                     DWORD_PTR /*dwCallback*/, DWORD_PTR /*dwInstance*/, DWORD fdwOpen) {
    return Run("waveOutOpen", nullptr, [&](Device& d, auto&) -> MMRESULT {
        if (pwfx == nullptr) {
            return MMSYSERR_INVALPARAM;
        }
        if (fdwOpen & WAVE_FORMAT_QUERY) {
            return MMSYSERR_NOERROR;
        }
        if (phwo == nullptr) {
            return MMSYSERR_INVALPARAM;
        }
        *phwo = NewHandle<HWAVEOUT>(d);
        d.out.insert(*phwo);
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    return Run("waveOutPrepareHeader", pwh, [&](Device& d, auto&) -> MMRESULT {
        if (!d.out.contains(hwo)) {
            return MMSYSERR_INVALHANDLE;
        }
        if (MMRESULT r = CheckHeader(pwh, cbwh)) {
            return r;
        }
        pwh->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    return Run("waveOutUnprepareHeader", pwh, [&](Device& d, auto&) -> MMRESULT {
        if (!d.out.contains(hwo)) {
            return MMSYSERR_INVALHANDLE;
        }
        if (MMRESULT r = CheckHeader(pwh, cbwh)) {
            return r;
        }
        pwh->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    return Run("waveOutWrite", pwh, [&](Device& d, auto&) -> MMRESULT {
        if (!d.out.contains(hwo)) {
            return MMSYSERR_INVALHANDLE;
        }
        if (MMRESULT r = CheckHeader(pwh, cbwh)) {
            return r;
        }
        if (!(pwh->dwFlags & WHDR_PREPARED)) {
            return WAVERR_UNPREPARED;
        }
        pwh->dwFlags |= WHDR_DONE;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
    return Run("waveOutReset", nullptr, [&](Device& d, auto&) -> MMRESULT {
        return d.out.contains(hwo) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
    });
}

MMRESULT waveOutClose(HWAVEOUT hwo) {
    return Run("waveOutClose", nullptr, [&](Device& d, auto&) -> MMRESULT {
        return d.out.erase(hwo) != 0 ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
    });
}
