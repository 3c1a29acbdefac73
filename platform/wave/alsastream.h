// What the ALSA backend's capture and playback streams share: the device
// and its timings, the library objects' owners, the stream state both sides
// build on, and the thread that runs a stream and the open that waits for
// it, neither of them for ever.
#pragma once

#include "realtime.h"
#include "wakefd.h"
#include "waveback.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace wave {

// Test hooks, defined in wavealsa.cpp; see there.
extern std::atomic<long> alsaCaptureHoldMicros;
extern std::atomic<int> alsaCaptureStreams;
extern std::atomic<long> alsaCloseHoldMicros;

namespace alsa {

using Clock = std::chrono::steady_clock;

// The plug layer converts rate, channels and sample format when the device
// behind "default" cannot take the program's.
inline constexpr const char* kDevice = "plug:default";
// The thread looks at its requests at least this often.
inline constexpr int kPollMillis = 50;
// How long opening waits for the device before giving up on it.
inline constexpr auto kOpenWait = std::chrono::seconds(3);
// How long closing waits for a stream's thread before leaving it behind.
inline constexpr auto kCloseWait = std::chrono::seconds(1);
// Capture: room for a few blocks; reading starts at every whole block.
inline constexpr snd_pcm_uframes_t kCaptureBlocks = 4;
// Playback: 5.8 ms periods in a 46 ms buffer, kept 12 to 17 ms ahead with
// silence so the device never runs dry between the program's blocks; a block
// plays after the silence already queued, and exactly as written. A machine
// too busy to keep that up (the device came close to running dry) gets one
// period more each time, up to a buffer less one period, and one period less
// again after every ten quiet seconds: stepped down after two, a machine busy
// all along (a build under ThreadSanitizer) ran dry again at the lower lead
// every two seconds and cut a block each time.
inline constexpr snd_pcm_uframes_t kPlaybackPeriod = 256;
inline constexpr snd_pcm_uframes_t kPlaybackPeriods = 8;
inline constexpr snd_pcm_uframes_t kPlaybackAhead = 3;
// A stream thread that got no real-time scheduling starts 29 ms ahead: at
// normal priority through PulseAudio's plug-in, whose ring says nothing of
// the server's own buffer, the lower lead let the server run dry unseen and
// skip part of a block now and then.
inline constexpr snd_pcm_uframes_t kPlaybackAheadUnprivileged = 5;
// Written sound the layer holds for a stream thread that has fallen behind,
// at most: one second, as the server backend.
inline constexpr double kPlaybackPendingSeconds = 1.0;
// Written sound still waiting this long when the device runs dry is late.
inline constexpr auto kPlaybackLate = std::chrono::milliseconds(250);

struct PcmClose {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using Pcm = std::unique_ptr<snd_pcm_t, PcmClose>;

// The library reports on stderr by default; the program logs nothing.
inline void Quiet(const char*, int, const char*, int, const char*, ...) {}

inline MMRESULT FromError(int err) {
    switch (-err) {
    case EBUSY:
        return MMSYSERR_ALLOCATED;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return MMSYSERR_NODRIVER;
    case ENOMEM:
        return MMSYSERR_NOMEM;
    case EINVAL:
        return WAVERR_BADFORMAT;
    default:
        return MMSYSERR_ERROR;
    }
}

// What a stream's thread and its owner share. The thread holds its own
// reference, so a thread left behind by a close still has all it uses.
class Shared {
public:
    std::atomic<bool> stopping{false};
    std::atomic<bool> finished{false};
    Pcm pcm;

    virtual ~Shared() = default;
    virtual void Run() = 0;

    MMRESULT Open(snd_pcm_stream_t direction, const StreamFormat& format, snd_pcm_uframes_t period,
                  snd_pcm_uframes_t buffer, snd_pcm_uframes_t availMin) {
        static std::once_flag quiet;
        std::call_once(quiet, [] { snd_lib_error_set_handler(&Quiet); });
        frameBytes = format.bytesPerFrame;
        rate = format.rate;
        asked = Asked{direction, format, period, buffer, availMin};

        if (!wake.Open())
            return MMSYSERR_NOMEM;
        Device device;
        if (MMRESULT r = OpenDevice(asked, device))
            return r;
        Adopt(std::move(device));
        return MMSYSERR_NOERROR;
    }

    // On the stream's own thread, at its end: a device still being opened
    // is closed by its opener.
    void CloseDevices() {
        pcm.reset();
        opening.reset();
    }

    void Wake() { wake.Wake(); }

protected:
    std::size_t frameBytes = 4;
    unsigned rate = 44100;
    snd_pcm_uframes_t periodFrames = 0;
    snd_pcm_uframes_t bufferFrames = 0;

    enum class Woken { kDevice, kRequest };

    // Waits until the device is ready, a request comes or the poll interval
    // ends. `device` false waits for requests only.
    Woken Wait(bool device = true, int millis = kPollMillis) {
        pollfd* first = device ? fds.data() : &fds[pcmFds];
        const nfds_t count = device ? pcmFds + 1 : 1;
        for (nfds_t i = 0; i < count; ++i)
            first[i].revents = 0;
        if (poll(first, count, millis) <= 0)
            return Woken::kRequest;
        if (fds[pcmFds].revents != 0)
            return Drained();
        unsigned short revents = 0;
        snd_pcm_poll_descriptors_revents(pcm.get(), fds.data(), pcmFds, &revents);
        if (revents == 0) {
            // A plug-in's descriptor may stay readable while its device is
            // not ready (PulseAudio's, until its own thread catches up):
            // polling it again at once would spin, and on a real-time
            // thread starve that very thread.
            fds[pcmFds].revents = 0;
            if (poll(&fds[pcmFds], 1, std::min(millis, kNotReadyMillis)) > 0)
                return Drained();
        }
        return Woken::kDevice;
    }

    std::size_t Bytes(snd_pcm_uframes_t frames) const { return frames * frameBytes; }

    // A device that stalled or went away is closed on a thread of its own
    // and a new one opened on another, so this thread goes on: a plug-in may
    // wait on its server while opening or closing, for as long as the
    // server does not answer. Reopen() starts an open unless one is under
    // way; Reopened() puts a finished one in place and says whether it did.
    void Abandon() {
        if (pcm)
            std::thread([old = std::move(pcm)]() mutable { old.reset(); }).detach();
    }
    void Reopen() {
        if (opening)
            return;
        opening = std::make_shared<Opening>();
        std::thread([o = opening, asked = asked] {
            o->result = OpenDevice(asked, o->device);
            o->done.store(true, std::memory_order_release);
        }).detach();
    }
    bool Reopened() {
        if (!opening || !opening->done.load(std::memory_order_acquire))
            return false;
        const std::shared_ptr<Opening> o = std::move(opening);
        if (o->result != MMSYSERR_NOERROR)
            return false;
        Adopt(std::move(o->device));
        return true;
    }

    // How long a thread waits on requests alone when its device called
    // itself ready and was not.
    static constexpr int kNotReadyMillis = 2;

private:
    // What the stream asked of its device, to ask it again of a new one.
    struct Asked {
        snd_pcm_stream_t direction = SND_PCM_STREAM_CAPTURE;
        StreamFormat format{};
        snd_pcm_uframes_t period = 0, buffer = 0, availMin = 0;
    };
    // A device opened and set up, with its poll descriptors.
    struct Device {
        Pcm pcm;
        std::vector<pollfd> fds;
        snd_pcm_uframes_t period = 0, buffer = 0;
    };
    struct Opening {
        std::atomic<bool> done{false};
        MMRESULT result = MMSYSERR_ERROR;
        Device device;
    };

    Asked asked;
    std::shared_ptr<Opening> opening;
    WakeFd wake;
    std::vector<pollfd> fds; // the PCM's, then the eventfd

    Woken Drained() {
        wake.Clear();
        return Woken::kRequest;
    }
    unsigned pcmFds = 0;

    void Adopt(Device&& device) {
        pcm = std::move(device.pcm);
        periodFrames = device.period;
        bufferFrames = device.buffer;
        fds = std::move(device.fds);
        pcmFds = static_cast<unsigned>(fds.size());
        fds.push_back(pollfd{wake.Get(), POLLIN, 0});
    }

    static MMRESULT OpenDevice(const Asked& a, Device& d) {
        snd_pcm_t* raw = nullptr;
        if (int err = snd_pcm_open(&raw, kDevice, a.direction, SND_PCM_NONBLOCK); err < 0)
            return FromError(err);
        d.pcm.reset(raw);
        if (MMRESULT r = Configure(raw, a, d))
            return r;
        const int count = snd_pcm_poll_descriptors_count(raw);
        if (count <= 0)
            return MMSYSERR_ERROR;
        d.fds.resize(static_cast<std::size_t>(count));
        if (snd_pcm_poll_descriptors(raw, d.fds.data(), static_cast<unsigned>(count)) != count)
            return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    }

    static MMRESULT Configure(snd_pcm_t* p, const Asked& a, Device& d) {
        const StreamFormat& format = a.format;
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        if (snd_pcm_hw_params_any(p, hw) < 0)
            return MMSYSERR_ERROR;
        if (snd_pcm_hw_params_set_rate_resample(p, hw, 1) < 0 ||
            snd_pcm_hw_params_set_access(p, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
            snd_pcm_hw_params_set_format(p, hw, SND_PCM_FORMAT_S16_LE) < 0 ||
            snd_pcm_hw_params_set_channels(p, hw, format.channels) < 0 ||
            snd_pcm_hw_params_set_rate(p, hw, format.rate, 0) < 0)
            return WAVERR_BADFORMAT;
        int dir = 0;
        snd_pcm_uframes_t size = a.period;
        snd_pcm_hw_params_set_period_size_near(p, hw, &size, &dir);
        size = a.buffer;
        snd_pcm_hw_params_set_buffer_size_near(p, hw, &size);
        if (int err = snd_pcm_hw_params(p, hw); err < 0)
            return FromError(err);
        snd_pcm_hw_params_get_period_size(hw, &d.period, &dir);
        snd_pcm_hw_params_get_buffer_size(hw, &d.buffer);
        if (d.period == 0 || d.buffer < d.period)
            return MMSYSERR_ERROR;

        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        if (snd_pcm_sw_params_current(p, sw) < 0 ||
            snd_pcm_sw_params_set_avail_min(p, sw, std::min(a.availMin, d.buffer)) < 0 ||
            snd_pcm_sw_params_set_start_threshold(p, sw, 1) < 0 ||
            snd_pcm_sw_params_set_stop_threshold(p, sw, d.buffer) < 0 ||
            snd_pcm_sw_params(p, sw) < 0)
            return MMSYSERR_ERROR;
        return snd_pcm_prepare(p) < 0 ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
    }
};

// Owns a stream's thread. Stop() asks it to end and waits for it, but not
// forever.
class Runner {
public:
    void Start(std::shared_ptr<Shared> s, const char* name) {
        shared = std::move(s);
        thread = std::thread([keep = shared, name] {
            realtime::NameThisThread(name);
            realtime::MakeThisThreadRealtime();
            keep->Run();
            // Closed here, not by the closer: a plug-in may wait on its
            // server while closing, and only this thread may be left to it.
            if (const long hold = alsaCloseHoldMicros.exchange(0); hold > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(hold));
            keep->CloseDevices();
            keep->finished.store(true);
        });
    }

    void Stop() {
        if (!thread.joinable())
            return;
        shared->stopping.store(true);
        shared->Wake();
        const auto deadline = Clock::now() + kCloseWait;
        while (!shared->finished.load()) {
            if (Clock::now() > deadline && Abandonable()) {
                thread.detach();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        thread.join();
    }

    // True when the thread may be left behind now; set per stream kind.
    std::function<bool()> Abandonable = [] { return true; };

private:
    std::shared_ptr<Shared> shared;
    std::thread thread;
};

// Opens on a thread of its own and waits for it, but not forever: a plug-in
// may wait without end on a server that accepts a connection and then stops
// answering. Left behind, the thread ends the open by itself and drops what
// it opened.
template <class Stream, class OpenFn>
MMRESULT OpenWithin(const std::shared_ptr<Stream>& stream, OpenFn open) {
    std::promise<MMRESULT> promise;
    std::future<MMRESULT> opened = promise.get_future();
    std::thread opener(
        [stream, open, done = std::move(promise)]() mutable { done.set_value(open(*stream)); });
    if (opened.wait_for(kOpenWait) != std::future_status::ready) {
        opener.detach();
        return MMSYSERR_NODRIVER;
    }
    opener.join();
    return opened.get();
}

} // namespace alsa
} // namespace wave
