// The PulseAudio backend of the wave-audio layer.
//
// Each stream has its own connection and its own pa_mainloop, run on a
// thread of the stream's own. A plain pa_mainloop (not the threaded one)
// keeps the capture thread free of locks: the header protocol and the
// program's callback run inside the read callback with nothing held.
//
// Connecting happens on the opener's thread with a deadline, never
// autospawns a server, and closing only stops the thread and drops the
// connection, so neither hangs when the server is gone.
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
// The stream thread looks at its requests at least this often, even if a
// wake-up were lost or no sound comes.
constexpr int kPollMicros = 50'000;
// Playback keeps little in flight: 30 to 40 ms ahead, topped up every 10 ms.
constexpr pa_usec_t kPlaybackTarget = 40'000;
constexpr pa_usec_t kPlaybackRequest = 10'000;
// Beyond this the server drops what is written faster than it plays.
constexpr pa_usec_t kPlaybackMax = 250'000;
// What the layer itself holds for a stream thread that has fallen behind.
constexpr pa_usec_t kPlaybackQueueMax = 1'000'000;

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

// One connection with one stream, and the thread that runs them.
class Connection {
public:
    // Called on the stream thread after every turn of the loop; returns how
    // long the next turn may wait at most, in microseconds.
    std::function<int()> service;

    ~Connection() { Stop(); }

    // Connects and sets up the stream on the caller's thread; `setup` gets
    // the new stream to install its callbacks before it connects.
    MMRESULT Open(const StreamFormat& format, bool capture, const pa_buffer_attr& attr,
                  const std::function<void(pa_stream*)>& setup) {
        const auto deadline = Clock::now() + kConnectTimeout;
        loop.reset(pa_mainloop_new());
        if (!loop)
            return MMSYSERR_NOMEM;
        auto props = Properties();
        context.reset(pa_context_new_with_proplist(pa_mainloop_get_api(loop.get()), "monitor-audio",
                                                   props.get()));
        if (!context)
            return MMSYSERR_NOMEM;
        if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return MMSYSERR_NODRIVER;
        if (!TurnUntil(deadline, [&] { return Progress(pa_context_get_state(context.get())); }))
            return MMSYSERR_NODRIVER;

        const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, format.rate,
                                        static_cast<std::uint8_t>(format.channels)};
        pa_channel_map map;
        pa_channel_map_init_auto(&map, format.channels, PA_CHANNEL_MAP_DEFAULT);
        stream.reset(pa_stream_new_with_proplist(
            context.get(), capture ? "Captura" : "Reproducción", &sampleSpec, &map, props.get()));
        if (!stream)
            return MMSYSERR_NOMEM;
        setup(stream.get());
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
        const int connected =
            capture
                ? pa_stream_connect_record(stream.get(), nullptr, &attr, flags)
                : pa_stream_connect_playback(stream.get(), nullptr, &attr, flags, nullptr, nullptr);
        if (connected < 0)
            return MMSYSERR_NODRIVER;
        if (!TurnUntil(deadline, [&] { return Progress(pa_stream_get_state(stream.get())); }))
            return MMSYSERR_NODRIVER;
        return MMSYSERR_NOERROR;
    }

    void Start() {
        thread = std::thread([this] { Run(); });
    }

    void Wake() { pa_mainloop_wakeup(loop.get()); }

    pa_stream* Stream() const { return stream.get(); }

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

    static int Progress(pa_context_state_t s) {
        return s == PA_CONTEXT_READY ? 1 : PA_CONTEXT_IS_GOOD(s) ? 0 : -1;
    }
    static int Progress(pa_stream_state_t s) {
        return s == PA_STREAM_READY ? 1 : PA_STREAM_IS_GOOD(s) ? 0 : -1;
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
            const auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            if (!Turn(static_cast<int>(std::min<long long>(left.count(), kPollMicros))))
                return false;
        }
    }

    void Run() {
        int wait = kPollMicros;
        while (!stopping.load(std::memory_order_acquire)) {
            // A loop that fails keeps the thread serving requests.
            if (!Turn(wait))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            wait = service ? std::clamp(service(), 0, kPollMicros) : kPollMicros;
        }
    }
};

// Some sources hand over sound ahead of time in large bursts: the test
// server's sine source renders up to two seconds in advance in one go. A live
// monitor wants one block per block period, so the capture stream passes
// sound on no faster than a little above real time (0.5 % above, so a
// source whose clock runs fast never builds up a backlog), with an allowance
// of one fragment for sound that arrives late. Sound recorded in real time
// is passed on as it arrives. The backlog buffer is
// sized at open; should it ever fill, the oldest sound is passed on at once.
class PulseCapture final : public CaptureStream {
public:
    explicit PulseCapture(CaptureSink& s) : sink(s) {}
    ~PulseCapture() override { connection.Stop(); }

    MMRESULT Open(const StreamFormat& format, std::size_t fragmentBytes) {
        frameBytes = format.bytesPerFrame;
        fragment = fragmentBytes;
        bytesPerMicro = double(format.rate) * format.bytesPerFrame * kPaceRate / 1e6;
        backlog.resize(std::size_t(kBacklogSeconds * format.rate) * format.bytesPerFrame);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(fragmentBytes);
        connection.service = [this] {
            const int wait = PassOn();
            sink.OnWake();
            return wait;
        };
        const MMRESULT r = connection.Open(format, true, attr, [this](pa_stream* s) {
            pa_stream_set_read_callback(s, &PulseCapture::Readable, this);
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
    double bytesPerMicro = 0;
    std::vector<char> backlog; // ring of sound not yet passed on
    std::size_t head = 0;      // oldest byte
    std::size_t held = 0;
    double credit = -1; // bytes that may be passed on now; < 0 until sound came
    Clock::time_point lastCredit;
    Connection connection; // last: its thread stops before the rest goes

    static void Readable(pa_stream*, std::size_t, void* self) {
        static_cast<PulseCapture*>(self)->Read();
    }

    void Read() {
        pa_stream* s = connection.Stream();
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
        credit +=
            std::chrono::duration<double, std::micro>(now - lastCredit).count() * bytesPerMicro;
        lastCredit = now;
        credit = std::min(credit, double(fragment));
        std::size_t n = std::min(held, std::size_t(credit) / frameBytes * frameBytes);
        credit -= double(n);
        Release(n);
        if (held == 0)
            return kPollMicros;
        const double due = double(std::min(held, fragment)) - credit;
        return due <= 0 ? 0 : int(due / bytesPerMicro) + 1;
    }
};

// The program writes one block now and then, with silence in between. The
// stream is kept fed with silence between blocks, so it never runs dry: a
// stream that restarts after running dry makes the server re-mix what it has
// already mixed ahead, and the start of the block is lost to anyone
// recording the output (a null sink's monitor). A block then plays after the
// 30 to 40 ms of silence ahead of it, and exactly as written.
class PulsePlayback final : public PlaybackStream {
public:
    ~PulsePlayback() override { connection.Stop(); }

    MMRESULT Open(const StreamFormat& format) {
        const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, format.rate,
                                        static_cast<std::uint8_t>(format.channels)};
        queueMax = pa_usec_to_bytes(kPlaybackQueueMax, &sampleSpec);
        frameBytes = format.bytesPerFrame;
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kPlaybackMax, &sampleSpec));
        attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kPlaybackTarget, &sampleSpec));
        attr.prebuf = format.bytesPerFrame;
        attr.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kPlaybackRequest, &sampleSpec));
        attr.fragsize = static_cast<std::uint32_t>(-1);
        connection.service = [this] {
            Send();
            return kPollMicros;
        };
        const MMRESULT r = connection.Open(format, false, attr, [](pa_stream*) {});
        if (r == MMSYSERR_NOERROR) {
            // Running before the first block comes.
            FillWithSilence(connection.Stream());
            connection.Start();
        }
        return r;
    }

    bool Write(const void* data, std::size_t bytes) override {
        // The server takes whole frames only.
        bytes -= bytes % frameBytes;
        {
            std::lock_guard guard(lock);
            if (pending.size() + bytes > queueMax)
                return false;
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

private:
    std::mutex lock;
    std::vector<char> pending; // written, not yet passed to the server
    bool flush = false;
    std::size_t queueMax = 0;
    std::size_t frameBytes = 4;
    std::vector<char> sending; // stream thread only
    Connection connection;

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

    void Send() {
        bool flushNow = false;
        {
            std::lock_guard guard(lock);
            sending.swap(pending);
            flushNow = flush;
            flush = false;
        }
        pa_stream* s = connection.Stream();
        if (pa_stream_get_state(s) == PA_STREAM_READY) {
            if (flushNow) {
                if (pa_operation* op = pa_stream_flush(s, nullptr, nullptr))
                    pa_operation_unref(op);
            }
            // The library copies the bytes.
            if (!sending.empty())
                pa_stream_write(s, sending.data(), sending.size(), nullptr, 0, PA_SEEK_RELATIVE);
            FillWithSilence(s);
        }
        sending.clear();
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
