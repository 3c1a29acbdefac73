// What the PulseAudio backend's capture and playback streams share: the
// library objects' owners, the stream properties, and the connection with
// its own loop and thread that outlives its server.
#pragma once

#include "realtime.h"
#include "wakefd.h"
#include "waveback.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace wave::pulse {

using Clock = std::chrono::steady_clock;

inline constexpr auto kConnectTimeout = std::chrono::seconds(3);
inline constexpr auto kRetryInterval = std::chrono::milliseconds(500);
// How long stopping waits for the stream thread before leaving it behind.
inline constexpr auto kStopWait = std::chrono::seconds(1);
// The longest a stream thread waits while something is due: sound, a
// retry, an answer from the server.
inline constexpr int kPollMicros = 50'000;
// Nothing is due: the thread sleeps until the server sends something or a
// request wakes it (Connection::Wake(), which is never lost).
inline constexpr int kUntilWoken = -1;

struct LoopFree {
    void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextFree {
    void operator()(pa_context* c) const {
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
struct StreamFree {
    void operator()(pa_stream* s) const {
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_set_read_callback(s, nullptr, nullptr);
        pa_stream_set_moved_callback(s, nullptr, nullptr);
        pa_stream_set_suspended_callback(s, nullptr, nullptr);
        pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
};
struct ProplistFree {
    void operator()(pa_proplist* p) const { pa_proplist_free(p); }
};

// What the desktop's mixer shows for the program's streams; the icon is
// the one the package installs under the desktop entry's name.
inline std::unique_ptr<pa_proplist, ProplistFree> Properties() {
    std::unique_ptr<pa_proplist, ProplistFree> p(pa_proplist_new());
    pa_proplist_sets(p.get(), PA_PROP_APPLICATION_NAME, "monitor-audio");
    pa_proplist_sets(p.get(), PA_PROP_APPLICATION_ID, "monitor-audio");
    pa_proplist_sets(p.get(), PA_PROP_APPLICATION_ICON_NAME,
                     "io.github.monitor_audio.MonitorAudio");
    pa_proplist_sets(p.get(), PA_PROP_MEDIA_ROLE, "production");
    return p;
}

inline int MicrosUntil(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(when - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, kPollMicros));
}

// One connection with one stream, and the thread that runs them.
class Connection {
public:
    // Called on the stream thread after every turn of the loop; returns how
    // long the next turn may wait at most, in microseconds, or kUntilWoken.
    std::function<int()> service;

    ~Connection() { Stop(); }

    // Connects and sets up the stream on the caller's thread; `setup` gets
    // each new stream (this one and those of later reconnections) to install
    // its callbacks before it connects.
    MMRESULT Open(const StreamFormat& format, bool capture, const pa_buffer_attr& attr,
                  pa_stream_flags_t flags, std::function<void(pa_stream*)> setup) {
        const auto deadline = Clock::now() + kConnectTimeout;
        forCapture = capture;
        bufferAttr = attr;
        streamFlags = flags;
        setupStream = std::move(setup);
        sampleSpec = {PA_SAMPLE_S16LE, format.rate, static_cast<std::uint8_t>(format.channels)};
        pa_channel_map_init_auto(&channelMap, format.channels, PA_CHANNEL_MAP_DEFAULT);
        loop.reset(pa_mainloop_new());
        if (!loop || !wake.Open())
            return MMSYSERR_NOMEM;
        pa_mainloop_api* api = pa_mainloop_get_api(loop.get());
        if (api->io_new(api, wake.Get(), PA_IO_EVENT_INPUT, &Connection::Woken, this) == nullptr)
            return MMSYSERR_NOMEM;
        if (MMRESULT r = Connect())
            return r;
        if (!TurnUntil(deadline, [&] { return Progress(pa_context_get_state(context.get())); }))
            return MMSYSERR_NODRIVER;
        if (MMRESULT r = NewStream())
            return r;
        if (!TurnUntil(deadline, [&] { return Progress(pa_stream_get_state(stream.get())); }))
            return MMSYSERR_NODRIVER;
        return MMSYSERR_NOERROR;
    }

    void Start() {
        thread = std::thread([this] {
            realtime::NameThisThread(forCapture ? "captura" : "reproduccion");
            realtime::MakeThisThreadRealtime();
            Run();
        });
    }

    // Not pa_mainloop_wakeup(): the loop clears that as it prepares its next
    // turn, so a wake that came after the service had looked for work, and
    // before then, was lost. A block written in that gap waited for the
    // stream thread's next timer, 10 ms later.
    void Wake() { wake.Wake(); }

    // Stream thread only: the stream, null while the server is away.
    pa_stream* Stream() const { return stream.get(); }
    // Stream thread only: how many streams have been made, so a caller can
    // tell a new one from the one it knew.
    std::uint64_t StreamsMade() const { return streamsMade; }

    // Stream thread only: a server that stopped answering without closing
    // its socket looks to the library like one that is there. The caller
    // that notices drops the connection as if it had been lost, and the
    // next turn connects again.
    void Renew() {
        Drop();
        retryAt = Clock::now();
    }
    bool Live() const { return stream && pa_stream_get_state(stream.get()) == PA_STREAM_READY; }

    // Stops the thread and drops the stream and the connection. A thread
    // that does not end in time (held inside the library) is left behind
    // with all it uses: false, and the owner must keep this alive for good.
    bool Stop() {
        if (leftBehind)
            return false;
        if (thread.joinable()) {
            stopping.store(true, std::memory_order_release);
            Wake();
            const auto deadline = Clock::now() + kStopWait;
            while (!finished.load(std::memory_order_acquire)) {
                if (Clock::now() > deadline) {
                    thread.detach();
                    leftBehind = true;
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            thread.join();
        }
        stream.reset();
        context.reset();
        loop.reset();
        return true;
    }

private:
    WakeFd wake; // first: the loop watches it to the end
    std::unique_ptr<pa_mainloop, LoopFree> loop;
    std::unique_ptr<pa_context, ContextFree> context;
    std::unique_ptr<pa_stream, StreamFree> stream;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> finished{false};
    bool leftBehind = false;
    // What every new stream is made from.
    bool forCapture = true;
    pa_buffer_attr bufferAttr{};
    pa_stream_flags_t streamFlags = PA_STREAM_NOFLAGS;
    pa_sample_spec sampleSpec{};
    pa_channel_map channelMap{};
    std::function<void(pa_stream*)> setupStream;
    // Stream thread only: when to try again, and when the attempt under
    // way began.
    Clock::time_point retryAt;
    Clock::time_point attemptBegan;
    std::uint64_t streamsMade = 0;

    // Dispatched before the service runs, so whatever the wake was for is
    // seen in this turn.
    static void Woken(pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void* self) {
        static_cast<Connection*>(self)->wake.Clear();
    }

    static int Progress(pa_context_state_t s) {
        return s == PA_CONTEXT_READY ? 1 : PA_CONTEXT_IS_GOOD(s) ? 0 : -1;
    }
    static int Progress(pa_stream_state_t s) {
        return s == PA_STREAM_READY ? 1 : PA_STREAM_IS_GOOD(s) ? 0 : -1;
    }

    MMRESULT Connect() {
        auto props = Properties();
        context.reset(pa_context_new_with_proplist(pa_mainloop_get_api(loop.get()), "monitor-audio",
                                                   props.get()));
        if (!context)
            return MMSYSERR_NOMEM;
        if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return MMSYSERR_NODRIVER;
        return MMSYSERR_NOERROR;
    }

    MMRESULT NewStream() {
        auto props = Properties();
        stream.reset(pa_stream_new_with_proplist(context.get(),
                                                 forCapture ? "Captura" : "Reproducción",
                                                 &sampleSpec, &channelMap, props.get()));
        if (!stream)
            return MMSYSERR_NOMEM;
        ++streamsMade;
        setupStream(stream.get());
        const int connected =
            forCapture ? pa_stream_connect_record(stream.get(), nullptr, &bufferAttr, streamFlags)
                       : pa_stream_connect_playback(stream.get(), nullptr, &bufferAttr, streamFlags,
                                                    nullptr, nullptr);
        return connected < 0 ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
    }

    void Drop() {
        stream.reset();
        context.reset();
    }

    // After each turn: notices a lost server or stream and connects again,
    // one non-blocking step at a time. Returns how long the loop may wait
    // before the next step is due: while the stream is live, until the
    // server says otherwise.
    int Watch() {
        if (Live())
            return kUntilWoken;
        const auto now = Clock::now();
        if (context) {
            const pa_context_state_t cs = pa_context_get_state(context.get());
            if (!PA_CONTEXT_IS_GOOD(cs)) {
                Drop();
                retryAt = now + kRetryInterval;
            } else if (stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream.get()))) {
                // The server is there but the stream went (its device left):
                // a new one goes to whatever is the default by then.
                stream.reset();
                retryAt = now + kRetryInterval;
            } else if ((cs != PA_CONTEXT_READY || stream) && now - attemptBegan > kConnectTimeout) {
                // An answer that never comes is a server that is not there.
                Drop();
                retryAt = now;
            }
        }
        if (!context && now >= retryAt) {
            attemptBegan = now;
            if (Connect() != MMSYSERR_NOERROR) {
                context.reset();
                retryAt = now + kRetryInterval;
            }
        }
        if (context && !stream && pa_context_get_state(context.get()) == PA_CONTEXT_READY &&
            now >= retryAt) {
            attemptBegan = now;
            if (NewStream() != MMSYSERR_NOERROR) {
                stream.reset();
                retryAt = now + kRetryInterval;
            }
        }
        // Waiting on the server wakes the loop; waiting to retry does not.
        const bool connecting =
            context && (stream || pa_context_get_state(context.get()) != PA_CONTEXT_READY);
        return connecting ? kPollMicros : MicrosUntil(retryAt);
    }

    // One turn of the loop, waiting at most `micros`.
    bool Turn(int micros) {
        pa_mainloop* m = loop.get();
        return pa_mainloop_prepare(m, micros) >= 0 && pa_mainloop_poll(m) >= 0 &&
               pa_mainloop_dispatch(m) >= 0;
    }

    static int Sooner(int a, int b) {
        if (a == kUntilWoken)
            return b == kUntilWoken ? b : std::clamp(b, 0, kPollMicros);
        return b == kUntilWoken ? a : std::clamp(std::min(a, b), 0, kPollMicros);
    }

    template <class Ready> bool TurnUntil(Clock::time_point deadline, Ready ready) {
        for (;;) {
            const int r = ready();
            if (r != 0)
                return r > 0;
            if (Clock::now() >= deadline)
                return false;
            if (!Turn(MicrosUntil(deadline)))
                return false;
        }
    }

    void Run() {
        int wait = kPollMicros;
        while (!stopping.load(std::memory_order_acquire)) {
            // A loop that fails keeps the thread serving requests.
            if (!Turn(wait))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const int watch = Watch();
            wait = Sooner(watch, service ? service() : kUntilWoken);
        }
        finished.store(true, std::memory_order_release);
    }
};

} // namespace wave::pulse
