// The PulseAudio backend of the wave-audio layer.
//
// Each stream has its own connection and its own pa_mainloop, run on a
// thread of the stream's own. A plain pa_mainloop (not the threaded one)
// keeps the capture thread free of locks: the header protocol and the
// program's callback run inside the read callback with nothing held.
//
// Connecting at open happens on the opener's thread with a deadline, never
// autospawns a server, and closing only stops the thread and drops the
// connection, so neither hangs when the server is gone.
//
// Once open, a stream outlives its server: when the connection or the
// stream fails (the server restarted, the only output went away), the
// stream thread drops them and connects again twice a second, without ever
// blocking, until the server answers. Meanwhile capture goes on delivering
// silence at the real-time pace and playback drops what it is given, so the
// handles, the queued headers and the program's cycle never notice.
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

namespace wave {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kConnectTimeout = std::chrono::seconds(3);
constexpr auto kRetryInterval = std::chrono::milliseconds(500);
// The stream thread looks at its requests at least this often, even if a
// wake-up were lost or no sound comes.
constexpr int kPollMicros = 50'000;

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

// What the desktop's mixer shows for the program's streams.
std::unique_ptr<pa_proplist, ProplistFree> Properties() {
    std::unique_ptr<pa_proplist, ProplistFree> p(pa_proplist_new());
    pa_proplist_sets(p.get(), PA_PROP_APPLICATION_NAME, "monitor-audio");
    pa_proplist_sets(p.get(), PA_PROP_APPLICATION_ID, "monitor-audio");
    pa_proplist_sets(p.get(), PA_PROP_APPLICATION_ICON_NAME, "audio-input-microphone");
    pa_proplist_sets(p.get(), PA_PROP_MEDIA_ROLE, "production");
    return p;
}

int MicrosUntil(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(when - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, kPollMicros));
}

// One connection with one stream, and the thread that runs them.
class Connection {
public:
    // Called on the stream thread after every turn of the loop; returns how
    // long the next turn may wait at most, in microseconds.
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
        if (!loop)
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
        thread = std::thread([this] { Run(); });
    }

    void Wake() { pa_mainloop_wakeup(loop.get()); }

    // Stream thread only: the stream, null while the server is away.
    pa_stream* Stream() const { return stream.get(); }
    bool Live() const { return stream && pa_stream_get_state(stream.get()) == PA_STREAM_READY; }

    // Stops the thread and drops the stream and the connection.
    void Stop() {
        if (thread.joinable()) {
            stopping.store(true, std::memory_order_release);
            Wake();
            thread.join();
        }
        stream.reset();
        context.reset();
        loop.reset();
    }

private:
    std::unique_ptr<pa_mainloop, LoopFree> loop;
    std::unique_ptr<pa_context, ContextFree> context;
    std::unique_ptr<pa_stream, StreamFree> stream;
    std::thread thread;
    std::atomic<bool> stopping{false};
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
    // before the next step is due.
    int Watch() {
        if (Live())
            return kPollMicros;
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
            wait = std::min(watch, service ? std::clamp(service(), 0, kPollMicros) : kPollMicros);
        }
    }
};

// Some sources hand over sound ahead of time in large bursts: the test
// server's sine source renders up to two seconds in advance in one go. A live
// monitor wants one block per block period, so the capture stream passes
// sound on no faster than a little above real time (0.5 % above, so a
// source whose clock runs fast never builds up a backlog), with an allowance
// of two fragments, so sound recorded in real time (every real device, a
// null sink's monitor) passes straight through, one wake-up per fragment.
// The backlog buffer is sized at open; should it ever fill, the oldest sound
// is passed on at once. What is held when the stream moves to another source
// belongs to the old one and is dropped.
//
// While the server is away, silence takes the sound's place, one fragment
// per fragment period, so the program's cycle keeps turning.
class PulseCapture final : public CaptureStream {
public:
    explicit PulseCapture(CaptureSink& s) : sink(s) {}
    ~PulseCapture() override { connection.Stop(); }

    MMRESULT Open(const StreamFormat& format, std::size_t fragmentBytes) {
        frameBytes = format.bytesPerFrame;
        fragment = fragmentBytes;
        bytesPerMicro = double(format.rate) * format.bytesPerFrame / 1e6;
        backlog.resize(std::size_t(kBacklogSeconds * format.rate) * format.bytesPerFrame);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(fragmentBytes);
        connection.service = [this] {
            // Silence goes on until the new stream's first sound.
            const int wait = connection.Live() && !silent ? PassOn() : Silence();
            sink.OnWake();
            return wait;
        };
        const MMRESULT r =
            connection.Open(format, true, attr, PA_STREAM_ADJUST_LATENCY, [this](pa_stream* s) {
                pa_stream_set_read_callback(s, &PulseCapture::Readable, this);
                pa_stream_set_moved_callback(s, &PulseCapture::Moved, this);
            });
        if (r == MMSYSERR_NOERROR)
            connection.Start();
        return r;
    }

    void Wake() override { connection.Wake(); }

private:
    static constexpr double kPaceRate = 1.005;
    static constexpr double kBacklogSeconds = 4.0;

    CaptureSink& sink;
    // Stream thread only (or the opener's, before the thread starts).
    std::size_t frameBytes = 4;
    std::size_t fragment = 4096;
    double bytesPerMicro = 0;  // real time
    std::vector<char> backlog; // ring of sound not yet passed on
    std::size_t head = 0;      // oldest byte
    std::size_t held = 0;
    double credit = -1; // bytes that may be passed on now; < 0 until sound came
    Clock::time_point lastCredit;
    // While the server is away: when the silence began and how much of it
    // has been passed on.
    bool silent = false;
    Clock::time_point silenceBegan;
    std::size_t silenceSent = 0;
    Connection connection; // last: its thread stops before the rest goes

    static void Readable(pa_stream*, std::size_t, void* self) {
        static_cast<PulseCapture*>(self)->Read();
    }
    static void Moved(pa_stream*, void* self) { static_cast<PulseCapture*>(self)->Forget(); }

    void Forget() {
        head = held = 0;
        credit = -1;
    }

    void Read() {
        pa_stream* s = connection.Stream();
        silent = false;
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
                return;
            Hold(static_cast<const char*>(data), bytes); // null for a hole: silence
            pa_stream_drop(s);
        }
        PassOn();
    }

    void Hold(const char* data, std::size_t bytes) {
        if (credit < 0) {
            credit = double(2 * fragment);
            lastCredit = Clock::now();
        }
        while (bytes > 0) {
            if (held == backlog.size())
                Release(std::min(held, fragment));
            const std::size_t tail = (head + held) % backlog.size();
            const std::size_t n = std::min({bytes, backlog.size() - tail, backlog.size() - held});
            if (data != nullptr) {
                std::memcpy(&backlog[tail], data, n);
                data += n;
            } else {
                std::memset(&backlog[tail], 0, n);
            }
            held += n;
            bytes -= n;
        }
    }

    void Release(std::size_t bytes) {
        while (bytes > 0) {
            const std::size_t n = std::min(bytes, backlog.size() - head);
            sink.OnData(&backlog[head], n);
            head = (head + n) % backlog.size();
            held -= n;
            bytes -= n;
        }
    }

    // Passes on what the pace allows; returns the microseconds until the
    // next fragment is due.
    int PassOn() {
        if (credit < 0)
            return kPollMicros;
        const auto now = Clock::now();
        credit += std::chrono::duration<double, std::micro>(now - lastCredit).count() *
                  bytesPerMicro * kPaceRate;
        lastCredit = now;
        credit = std::min(credit, double(2 * fragment));
        std::size_t n = std::min(held, std::size_t(credit) / frameBytes * frameBytes);
        credit -= double(n);
        Release(n);
        if (held == 0)
            return kPollMicros;
        const double due = double(std::min(held, fragment)) - credit;
        return due <= 0 ? 0 : int(due / (bytesPerMicro * kPaceRate)) + 1;
    }

    // Passes on the silence due by now; returns the microseconds until the
    // next fragment of it is due.
    int Silence() {
        const auto now = Clock::now();
        if (!silent) {
            // What was held came from a server that is gone.
            Forget();
            silent = true;
            silenceBegan = now;
            silenceSent = 0;
        }
        const double elapsed =
            std::chrono::duration<double, std::micro>(now - silenceBegan).count();
        const auto due = std::size_t(elapsed * bytesPerMicro) / frameBytes * frameBytes;
        while (due >= silenceSent + fragment) {
            sink.OnData(nullptr, fragment);
            silenceSent += fragment;
        }
        const double next = double(silenceSent + fragment) / bytesPerMicro - elapsed;
        return std::max(0, int(next) + 1);
    }
};

// The program writes one block now and then. Each block replaces whatever
// the stream still has queued, so it is played as soon as the output can
// take it, never behind older sound or a cushion of silence. Between blocks
// the stream is fed silence, so it never runs dry: a stream that restarts
// after running dry makes the server re-mix what it has already mixed ahead,
// and the start of the block is lost to anyone recording the output (a null
// sink's monitor). A block replaces queued sound, never sound already
// mixed, so it plays exactly as written.
//
// With nothing written for half a second the stream is corked and emptied,
// so the output device can go idle and the server has nothing to mix; the
// next block is written into the corked stream before it is uncorked, and
// plays whole. While the output is suspended (other than for being idle),
// or the server is away, blocks are dropped and counted: played later they
// would be late.
class PulsePlayback final : public PlaybackStream {
public:
    ~PulsePlayback() override { connection.Stop(); }

    MMRESULT Open(const StreamFormat& format) {
        const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, format.rate,
                                        static_cast<std::uint8_t>(format.channels)};
        queueMax = pa_usec_to_bytes(kQueueMax, &sampleSpec);
        frameBytes = format.bytesPerFrame;
        bytesPerSecond = std::size_t(format.rate) * format.bytesPerFrame;
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kServerMax, &sampleSpec));
        attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kTarget, &sampleSpec));
        attr.prebuf = format.bytesPerFrame;
        attr.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kRequest, &sampleSpec));
        attr.fragsize = static_cast<std::uint32_t>(-1);
        connection.service = [this] { return Send(); };
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        const MMRESULT r = connection.Open(format, false, attr, flags, [this](pa_stream* s) {
            corked = true;
            pa_stream_set_suspended_callback(s, &PulsePlayback::Suspended, this);
        });
        if (r == MMSYSERR_NOERROR)
            connection.Start();
        return r;
    }

    bool Write(const void* data, std::size_t bytes) override {
        // The server takes whole frames only.
        bytes -= bytes % frameBytes;
        {
            std::lock_guard guard(lock);
            if (pending.size() + bytes > queueMax) {
                dropped.fetch_add(bytes, std::memory_order_relaxed);
                return false;
            }
            const auto* p = static_cast<const char*>(data);
            pending.insert(pending.end(), p, p + bytes);
        }
        connection.Wake();
        return true;
    }

    void Flush() override {
        {
            std::lock_guard guard(lock);
            pending.clear();
            flush = true;
        }
        connection.Wake();
    }

    std::uint64_t Dropped() const override { return dropped.load(std::memory_order_relaxed); }

private:
    // Silence is kept 30 to 40 ms ahead, topped up every 10 ms: enough that
    // the stream never runs dry on a busy machine. No block waits behind it.
    static constexpr pa_usec_t kTarget = 40'000;
    static constexpr pa_usec_t kRequest = 10'000;
    static constexpr auto kSilenceLead = std::chrono::milliseconds(10);
    // Beyond this the server drops what is written faster than it plays.
    static constexpr pa_usec_t kServerMax = 250'000;
    // What the layer itself holds for a stream thread that has fallen behind.
    static constexpr pa_usec_t kQueueMax = 1'000'000;
    static constexpr auto kRestAfter = std::chrono::milliseconds(500);
    // Sound that would be heard later than this after it was written is
    // dropped instead.
    static constexpr auto kLateLimit = std::chrono::milliseconds(100);
    // Queued sound older than this when the output wakes is not played.
    static constexpr auto kStaleAfter = std::chrono::milliseconds(20);

    std::mutex lock;
    std::vector<char> pending; // written, not yet passed to the server
    bool flush = false;
    std::size_t queueMax = 0;
    std::size_t frameBytes = 4;
    std::size_t bytesPerSecond = 176'400;
    std::atomic<std::uint64_t> dropped{0};
    // Stream thread only.
    std::vector<char> sending;
    bool corked = true;
    Clock::time_point soundUntil; // when what was written will have been played
    Clock::time_point lastBlock;  // when the last block was passed to the server
    Connection connection;

    static void Suspended(pa_stream* s, void* self) {
        static_cast<PulsePlayback*>(self)->SuspendedChanged(s);
    }

    // Sound queued while the output sleeps would come out late when it
    // wakes. An output that slept only because it was idle wakes when the
    // stream is uncorked, at once: what was written then is still fresh,
    // still behind its lead of silence, and stays.
    void SuspendedChanged(pa_stream* s) {
        if (pa_stream_is_suspended(s) == 1 || Clock::now() - lastBlock > kStaleAfter) {
            if (pa_operation* op = pa_stream_flush(s, nullptr, nullptr))
                pa_operation_unref(op);
        }
    }

    void Rest(pa_stream* s) {
        if (pa_operation* op = pa_stream_cork(s, 1, nullptr, nullptr))
            pa_operation_unref(op);
        if (pa_operation* op = pa_stream_flush(s, nullptr, nullptr))
            pa_operation_unref(op);
        corked = true;
    }

    void FillWithSilence(pa_stream* s) {
        std::size_t bytes = pa_stream_writable_size(s);
        if (bytes == static_cast<std::size_t>(-1) || bytes == 0)
            return;
        void* data = nullptr;
        if (pa_stream_begin_write(s, &data, &bytes) < 0 || data == nullptr)
            return;
        std::memset(data, 0, bytes);
        pa_stream_write(s, data, bytes, nullptr, 0, PA_SEEK_RELATIVE);
    }

    int Send() {
        bool flushNow = false;
        {
            std::lock_guard guard(lock);
            sending.swap(pending);
            flushNow = flush;
            flush = false;
        }
        const auto now = Clock::now();
        pa_stream* s = connection.Live() ? connection.Stream() : nullptr;
        if (s != nullptr && flushNow && !corked)
            Rest(s);
        // A corked stream's output may sleep for being idle; uncorking it
        // wakes it.
        if (s == nullptr || (!corked && pa_stream_is_suspended(s) == 1)) {
            dropped.fetch_add(sending.size(), std::memory_order_relaxed);
        } else if (!sending.empty()) {
            Play(s, now);
        } else if (!corked) {
            if (now - soundUntil >= kRestAfter)
                Rest(s);
            else if (now + kSilenceLead >= soundUntil)
                FillWithSilence(s);
        }
        sending.clear();
        if (corked)
            return kPollMicros;
        // Awake to top up with silence before the last sound runs out, and
        // to rest on time.
        return MicrosUntil(now < soundUntil - kSilenceLead ? soundUntil - kSilenceLead
                                                           : soundUntil + kRestAfter);
    }

    void Play(pa_stream* s, Clock::time_point now) {
        // More than the stream can play in time (a burst, or what piled up
        // while this thread stalled): the oldest goes.
        const std::size_t most = std::size_t(double(bytesPerSecond) * kLateLimit.count() / 1000) /
                                 frameBytes * frameBytes;
        if (sending.size() > most) {
            dropped.fetch_add(sending.size() - most, std::memory_order_relaxed);
            sending.erase(sending.begin(), sending.end() - std::ptrdiff_t(most));
        }
        const auto length = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(double(sending.size()) / double(bytesPerSecond)));
        if (!corked && now < soundUntil && soundUntil + length - now > kLateLimit) {
            dropped.fetch_add(sending.size(), std::memory_order_relaxed);
            return;
        }
        lastBlock = now;
        if (corked) {
            // Starting a stream makes the server re-mix what it has already
            // mixed ahead; a lead of silence takes that, not the block.
            FillWithSilence(s);
            pa_stream_write(s, sending.data(), sending.size(), nullptr, 0, PA_SEEK_RELATIVE);
            if (pa_operation* op = pa_stream_cork(s, 0, nullptr, nullptr))
                pa_operation_unref(op);
            corked = false;
            soundUntil = now + std::chrono::microseconds(kTarget) + length;
        } else if (now >= soundUntil) {
            // All that is queued is silence: the block goes in its place, at
            // the point the server reads next, so it is not played late.
            pa_stream_write(s, sending.data(), sending.size(), nullptr, 0,
                            PA_SEEK_RELATIVE_ON_READ);
            soundUntil = now + length;
        } else {
            // Right behind the sound still queued.
            pa_stream_write(s, sending.data(), sending.size(), nullptr, 0, PA_SEEK_RELATIVE);
            soundUntil += length;
        }
    }
};

} // namespace

std::unique_ptr<CaptureStream> OpenServerCaptureStream(const StreamFormat& format,
                                                       std::size_t fragmentBytes, CaptureSink& sink,
                                                       MMRESULT* result) {
    auto stream = std::make_unique<PulseCapture>(sink);
    *result = stream->Open(format, fragmentBytes);
    if (*result != MMSYSERR_NOERROR)
        return nullptr;
    return stream;
}

std::unique_ptr<PlaybackStream> OpenServerPlaybackStream(const StreamFormat& format,
                                                         MMRESULT* result) {
    auto stream = std::make_unique<PulsePlayback>();
    *result = stream->Open(format);
    if (*result != MMSYSERR_NOERROR)
        return nullptr;
    return stream;
}

} // namespace wave
