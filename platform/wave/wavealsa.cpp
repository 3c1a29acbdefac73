// The ALSA backend of the wave-audio layer, for systems without a sound
// server. Both sides use ALSA's default device through the plug layer, so a
// card that cannot do the program's format itself still serves it.
//
// Each stream runs a thread of its own on a non-blocking PCM. The thread
// waits in poll() on the PCM's descriptors and on an eventfd that Wake() and
// closing write to, never longer than 50 ms, so requests are served even
// while the device is silent. Capture reads one block at a time and the PCM
// wakes the thread only when a whole block is there: one wake-up per block,
// and nothing on that path locks or allocates.
//
// Closing never hangs. Should a library call on a stream's thread not come
// back (a plug-in waiting on something that stopped answering), the closer
// gives up after a while and leaves the thread to end by itself; what the
// thread uses is shared with it, and once closing has begun it never calls
// into the program's device again.
#include "waveback.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
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

// Reachable only from the layer's own tests (declared in their support
// headers): the next turn of an ALSA capture thread sleeps this long first,
// so a test can make the device overrun.
std::atomic<long> alsaCaptureHoldMicros{0};
// ALSA capture streams open now, so those tests know which backend serves.
std::atomic<int> alsaCaptureStreams{0};
// The next stream to close takes this long to close its device, as a
// plug-in waiting on a server that stopped answering does.
std::atomic<long> alsaCloseHoldMicros{0};

namespace {

using Clock = std::chrono::steady_clock;

// The plug layer converts rate, channels and sample format when the device
// behind "default" cannot take the program's.
constexpr const char* kDevice = "plug:default";
// The thread looks at its requests at least this often.
constexpr int kPollMillis = 50;
// How long opening waits for the device before giving up on it.
constexpr auto kOpenWait = std::chrono::seconds(3);
// How long closing waits for a stream's thread before leaving it behind.
constexpr auto kCloseWait = std::chrono::seconds(1);
// Capture: room for a few blocks; reading starts at every whole block.
constexpr snd_pcm_uframes_t kCaptureBlocks = 4;
// Playback: 5.8 ms periods in a 46 ms buffer, kept 12 to 17 ms ahead with
// silence so the device never runs dry between the program's blocks; a block
// plays after the silence already queued, and exactly as written. A machine
// too busy to keep that up (the device came close to running dry) gets one
// period more each time, up to a buffer less one period, and one period less
// again after every two quiet seconds.
constexpr snd_pcm_uframes_t kPlaybackPeriod = 256;
constexpr snd_pcm_uframes_t kPlaybackPeriods = 8;
constexpr snd_pcm_uframes_t kPlaybackAhead = 3;
// Written sound the layer holds for a stream thread that has fallen behind,
// at most: one second, as the server backend.
constexpr double kPlaybackPendingSeconds = 1.0;
// Written sound still waiting this long when the device runs dry is late.
constexpr auto kPlaybackLate = std::chrono::milliseconds(250);

struct PcmClose {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using Pcm = std::unique_ptr<snd_pcm_t, PcmClose>;

struct FdClose {
    void operator()(int* fd) const {
        close(*fd);
        delete fd;
    }
};
using Fd = std::unique_ptr<int, FdClose>;

// The library reports on stderr by default; the program logs nothing.
void Quiet(const char*, int, const char*, int, const char*, ...) {}

MMRESULT FromError(int err) {
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

        const int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (efd < 0)
            return MMSYSERR_NOMEM;
        wake.reset(new int(efd));

        snd_pcm_t* raw = nullptr;
        if (int err = snd_pcm_open(&raw, kDevice, direction, SND_PCM_NONBLOCK); err < 0)
            return FromError(err);
        pcm.reset(raw);
        if (MMRESULT r = Configure(format, period, buffer, availMin))
            return r;

        const int count = snd_pcm_poll_descriptors_count(pcm.get());
        if (count <= 0)
            return MMSYSERR_ERROR;
        fds.resize(static_cast<std::size_t>(count) + 1);
        if (snd_pcm_poll_descriptors(pcm.get(), fds.data(), static_cast<unsigned>(count)) != count)
            return MMSYSERR_ERROR;
        pcmFds = static_cast<unsigned>(count);
        fds[pcmFds] = pollfd{*wake, POLLIN, 0};
        return MMSYSERR_NOERROR;
    }

    void Wake() {
        const std::uint64_t one = 1;
        // A full counter already means "woken".
        [[maybe_unused]] const ssize_t n = write(*wake, &one, sizeof one);
    }

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
        if (fds[pcmFds].revents != 0) {
            std::uint64_t value = 0;
            [[maybe_unused]] const ssize_t n = read(*wake, &value, sizeof value);
            return Woken::kRequest;
        }
        unsigned short revents = 0;
        snd_pcm_poll_descriptors_revents(pcm.get(), fds.data(), pcmFds, &revents);
        return Woken::kDevice;
    }

    std::size_t Bytes(snd_pcm_uframes_t frames) const { return frames * frameBytes; }

private:
    Fd wake;
    std::vector<pollfd> fds; // the PCM's, then the eventfd
    unsigned pcmFds = 0;

    MMRESULT Configure(const StreamFormat& format, snd_pcm_uframes_t period,
                       snd_pcm_uframes_t buffer, snd_pcm_uframes_t availMin) {
        snd_pcm_t* p = pcm.get();
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
        snd_pcm_uframes_t size = period;
        snd_pcm_hw_params_set_period_size_near(p, hw, &size, &dir);
        size = buffer;
        snd_pcm_hw_params_set_buffer_size_near(p, hw, &size);
        if (int err = snd_pcm_hw_params(p, hw); err < 0)
            return FromError(err);
        snd_pcm_hw_params_get_period_size(hw, &periodFrames, &dir);
        snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames);
        if (periodFrames == 0 || bufferFrames < periodFrames)
            return MMSYSERR_ERROR;

        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        if (snd_pcm_sw_params_current(p, sw) < 0 ||
            snd_pcm_sw_params_set_avail_min(p, sw, std::min(availMin, bufferFrames)) < 0 ||
            snd_pcm_sw_params_set_start_threshold(p, sw, 1) < 0 ||
            snd_pcm_sw_params_set_stop_threshold(p, sw, bufferFrames) < 0 ||
            snd_pcm_sw_params(p, sw) < 0)
            return MMSYSERR_ERROR;
        return snd_pcm_prepare(p) < 0 ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
    }
};

// Owns a stream's thread. Stop() asks it to end and waits for it, but not
// forever.
class Runner {
public:
    void Start(std::shared_ptr<Shared> s) {
        shared = std::move(s);
        thread = std::thread([keep = shared] {
            keep->Run();
            // Closed here, not by the closer: a plug-in may wait on its
            // server while closing, and only this thread may be left to it.
            if (const long hold = alsaCloseHoldMicros.exchange(0); hold > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(hold));
            keep->pcm.reset();
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

class Capture final : public Shared {
public:
    explicit Capture(CaptureSink& s) : sink(s) {}

    // Set while the thread is inside the program's device. With `stopping`
    // it forms a handshake (both sequentially consistent): either the
    // thread sees closing has begun and stays out, or the closer sees the
    // thread inside and waits for it.
    std::atomic<bool> inSink{false};

    MMRESULT Open(const StreamFormat& format, std::size_t fragmentBytes) {
        blockFrames = std::max<snd_pcm_uframes_t>(fragmentBytes / format.bytesPerFrame, 1);
        block.resize(blockFrames * format.bytesPerFrame);
        return Shared::Open(SND_PCM_STREAM_CAPTURE, format, blockFrames,
                            blockFrames * kCaptureBlocks, blockFrames);
    }

    void Run() override {
        snd_pcm_start(pcm.get());
        Anchor();
        while (!stopping.load()) {
            if (const long hold = alsaCaptureHoldMicros.exchange(0); hold > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(hold));
            const snd_pcm_sframes_t n =
                snd_pcm_readi(pcm.get(), &block[Bytes(filled)], blockFrames - filled);
            if (n > 0) {
                filled += static_cast<snd_pcm_uframes_t>(n);
                if (filled < blockFrames)
                    continue;
                filled = 0;
                read += blockFrames;
                if (!HandOver())
                    break;
            } else if (n == -EAGAIN || n == 0) {
                Anchor();
                if (Wait() == Woken::kRequest && !Serve())
                    break;
            } else if (n == -EPIPE || n == -ESTRPIPE || n == -EINTR) {
                if (!Recover(static_cast<int>(n)))
                    break;
            } else {
                // The device is gone: serve requests until closed.
                Wait(false);
                if (!Serve())
                    break;
            }
        }
    }

private:
    // Blocks may be handed over at most this much faster than real time, and
    // this far ahead of it, so a device whose clock runs a little fast never
    // builds up a backlog, and a block that came late is followed at once by
    // the next.
    static constexpr double kPaceRate = 1.005;
    static constexpr snd_pcm_uframes_t kAheadBlocks = 2;

    CaptureSink& sink;
    snd_pcm_uframes_t blockFrames = 1024;
    std::vector<char> block;
    snd_pcm_uframes_t filled = 0;
    // The last time the device had less than a block, and the whole blocks
    // read since. The device's clock and ours then agree well enough to tell
    // how far behind or ahead of the sound the reading is.
    Clock::time_point anchor;
    std::uint64_t read = 0;

    void Anchor() {
        anchor = Clock::now();
        read = 0;
    }

    // Frames the device has taken in since the anchor, by our clock.
    double Arrived() const {
        return std::chrono::duration<double>(Clock::now() - anchor).count() * rate;
    }

    // Frames taken in and not read: an overrun lost them.
    std::uint64_t Behind() const {
        const double behind = Arrived() - double(read);
        return behind > 0 ? static_cast<std::uint64_t>(behind) : 0;
    }

    // Hands the block just read to the program, at the pace of real time.
    // Some devices hold on to sound without ever overrunning (a sound
    // server's plug-in does) or hand it over ahead of time in bursts (a
    // server's generated source does): sound further behind than the
    // device's own buffer is late and dropped as an overrun would drop it,
    // and sound ahead of time waits for its time.
    bool HandOver() {
        if (Behind() > bufferFrames) {
            if (!Enter())
                return false;
            sink.OnLost(block.size());
            Leave();
            return true;
        }
        for (;;) {
            const double early =
                double(read) - double(kAheadBlocks * blockFrames) - Arrived() * kPaceRate;
            if (early <= 0)
                break;
            const int millis = static_cast<int>(early * 1000.0 / rate) + 1;
            Wait(false, std::min(millis, kPollMillis));
            if (!Serve())
                return false;
        }
        if (!Enter())
            return false;
        sink.OnData(block.data(), block.size());
        Leave();
        return true;
    }

    bool Enter() {
        inSink.store(true);
        if (!stopping.load())
            return true;
        inSink.store(false);
        return false;
    }
    void Leave() { inSink.store(false); }

    bool Serve() {
        if (!Enter())
            return false;
        sink.OnWake();
        Leave();
        return true;
    }

    // An overrun: the device stopped and what it held is gone. The part of a
    // block read before it is dropped too, so every block the program gets
    // is continuous sound.
    bool Recover(int err) {
        const std::uint64_t lost = Behind() + filled;
        filled = 0;
        if (err != -EINTR) {
            snd_pcm_recover(pcm.get(), err, 1);
            snd_pcm_start(pcm.get());
        }
        Anchor();
        if (lost == 0)
            return true;
        if (!Enter())
            return false;
        sink.OnLost(Bytes(lost));
        Leave();
        return true;
    }
};

class Playback final : public Shared {
public:
    MMRESULT Open(const StreamFormat& format) {
        // Woken when no more than kPlaybackAhead - 1 periods are queued.
        const MMRESULT r = Shared::Open(SND_PCM_STREAM_PLAYBACK, format, kPlaybackPeriod,
                                        kPlaybackPeriod * kPlaybackPeriods,
                                        kPlaybackPeriod * (kPlaybackPeriods - kPlaybackAhead + 1));
        if (r != MMSYSERR_NOERROR)
            return r;
        openedAt = lastNearDry = Clock::now();
        ahead = leastAhead = std::min(bufferFrames, periodFrames * kPlaybackAhead);
        periodMillis = std::max(1, static_cast<int>(periodFrames * 1000 / rate));
        pending.resize(Bytes(static_cast<snd_pcm_uframes_t>(kPlaybackPendingSeconds * rate)));
        out.resize(Bytes(bufferFrames));
        silence.assign(Bytes(bufferFrames), 0);
        // Running, with most of a buffer of silence, before the first block
        // comes: a device that starts on a block may lose its start to
        // whoever records the output (a sound server mixing ahead of a new
        // stream). The thread then lets the silence run down to `ahead`.
        const snd_pcm_sframes_t n =
            snd_pcm_writei(pcm.get(), silence.data(), bufferFrames - periodFrames);
        return n < 0 ? FromError(static_cast<int>(n)) : MMSYSERR_NOERROR;
    }

    bool Write(const void* data, std::size_t bytes) {
        bytes -= bytes % frameBytes;
        {
            std::lock_guard guard(lock);
            if (held + bytes > pending.size())
                return false;
            if (held == 0)
                pendingSince = Clock::now();
            const auto* p = static_cast<const char*>(data);
            for (std::size_t done = 0; done < bytes;) {
                const std::size_t tail = (head + held) % pending.size();
                const std::size_t n = std::min(bytes - done, pending.size() - tail);
                std::memcpy(&pending[tail], p + done, n);
                held += n;
                done += n;
            }
        }
        Wake();
        return true;
    }

    void Flush() {
        {
            std::lock_guard guard(lock);
            held = 0;
            flush = true;
        }
        Wake();
    }

    void Run() override {
        while (!stopping.load()) {
            bool flushNow = false;
            {
                std::lock_guard guard(lock);
                flushNow = flush;
                flush = false;
            }
            if (flushNow) {
                snd_pcm_drop(pcm.get());
                snd_pcm_prepare(pcm.get());
            }
            const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm.get());
            if (avail < 0) {
                Recover(static_cast<int>(avail));
                continue;
            }
            const auto room = static_cast<snd_pcm_uframes_t>(avail);
            const snd_pcm_uframes_t queued = room < bufferFrames ? bufferFrames - room : 0;
            // The thread's own start is no sign of a busy machine.
            if (queued < periodFrames / 2 && Clock::now() - openedAt > kSettle &&
                snd_pcm_state(pcm.get()) == SND_PCM_STATE_RUNNING)
                KeepMoreAhead();
            else
                KeepLessAheadWhenQuiet();
            snd_pcm_uframes_t frames = Take(room);
            const char* from = out.data();
            if (frames == 0 && queued < ahead) {
                frames = ahead - queued;
                from = silence.data();
            }
            if (frames > 0) {
                const snd_pcm_sframes_t n = snd_pcm_writei(pcm.get(), from, frames);
                if (n >= 0)
                    continue;
                if (n != -EAGAIN) {
                    Recover(static_cast<int>(n));
                    continue;
                }
            }
            // The rest of a block that did not fit goes in as soon as there
            // is room, not once the device is nearly dry: a block is heard
            // whole only if its parts follow each other in time.
            if (Held())
                Wait(false, periodMillis);
            else
                Wait();
        }
    }

private:
    std::mutex lock;
    std::vector<char> pending; // a ring of written sound, sized at open
    std::size_t head = 0;
    std::size_t held = 0;
    Clock::time_point pendingSince; // when `held` last grew from nothing
    bool flush = false;
    static constexpr auto kSettle = std::chrono::milliseconds(200);
    static constexpr auto kQuiet = std::chrono::seconds(2);
    Clock::time_point openedAt;
    Clock::time_point lastNearDry;
    snd_pcm_uframes_t leastAhead = 0;
    // Stream thread only.
    snd_pcm_uframes_t ahead = 0;
    int periodMillis = 5;
    std::vector<char> out;
    std::vector<char> silence;

    // The device ran dry (this thread was held up) or failed. Sound written
    // a while before the device stood still was due long ago and is
    // dropped; what came just before plays at once.
    void Recover(int err) {
        {
            std::lock_guard guard(lock);
            if (held > 0 && Clock::now() - pendingSince > kPlaybackLate)
                held = 0;
        }
        KeepMoreAhead();
        if (snd_pcm_recover(pcm.get(), err, 1) < 0)
            Wait(false); // the device is gone: wait to be closed
    }

    void KeepMoreAhead() {
        lastNearDry = Clock::now();
        if (ahead + periodFrames < bufferFrames)
            SetAhead(ahead + periodFrames);
    }

    // A busy spell passes: one period less after every quiet while.
    void KeepLessAheadWhenQuiet() {
        const auto now = Clock::now();
        if (ahead <= leastAhead || now - lastNearDry < kQuiet)
            return;
        lastNearDry = now;
        SetAhead(ahead - periodFrames);
    }

    void SetAhead(snd_pcm_uframes_t frames) {
        ahead = frames;
        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        if (snd_pcm_sw_params_current(pcm.get(), sw) == 0 &&
            snd_pcm_sw_params_set_avail_min(pcm.get(), sw, bufferFrames - ahead + periodFrames) ==
                0)
            snd_pcm_sw_params(pcm.get(), sw);
    }

    bool Held() {
        std::lock_guard guard(lock);
        return held > 0;
    }

    // Moves up to `room` frames of written sound to `out`.
    snd_pcm_uframes_t Take(snd_pcm_uframes_t room) {
        std::lock_guard guard(lock);
        const std::size_t bytes = std::min(held, Bytes(room));
        for (std::size_t done = 0; done < bytes;) {
            const std::size_t n = std::min(bytes - done, pending.size() - head);
            std::memcpy(&out[done], &pending[head], n);
            head = (head + n) % pending.size();
            held -= n;
            done += n;
        }
        return bytes / frameBytes;
    }
};

class AlsaCapture final : public CaptureStream {
public:
    explicit AlsaCapture(std::shared_ptr<Capture> c) : capture(std::move(c)) {
        alsaCaptureStreams.fetch_add(1);
        runner.Abandonable = [c = capture.get()] { return !c->inSink.load(); };
        runner.Start(capture);
    }
    ~AlsaCapture() override {
        runner.Stop();
        alsaCaptureStreams.fetch_sub(1);
    }
    void Wake() override { capture->Wake(); }

private:
    std::shared_ptr<Capture> capture;
    Runner runner;
};

class AlsaPlayback final : public PlaybackStream {
public:
    explicit AlsaPlayback(std::shared_ptr<Playback> p) : playback(std::move(p)) {
        runner.Start(playback);
    }
    ~AlsaPlayback() override { runner.Stop(); }
    bool Write(const void* data, std::size_t bytes) override {
        return playback->Write(data, bytes);
    }
    void Flush() override { playback->Flush(); }

private:
    std::shared_ptr<Playback> playback;
    Runner runner;
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

} // namespace

std::unique_ptr<CaptureStream> OpenAlsaCaptureStream(const StreamFormat& format,
                                                     std::size_t fragmentBytes, CaptureSink& sink,
                                                     MMRESULT* result) {
    auto capture = std::make_shared<Capture>(sink);
    *result = OpenWithin(
        capture, [format, fragmentBytes](Capture& c) { return c.Open(format, fragmentBytes); });
    if (*result != MMSYSERR_NOERROR)
        return nullptr;
    return std::make_unique<AlsaCapture>(std::move(capture));
}

std::unique_ptr<PlaybackStream> OpenAlsaPlaybackStream(const StreamFormat& format,
                                                       MMRESULT* result) {
    auto playback = std::make_shared<Playback>();
    *result = OpenWithin(playback, [format](Playback& p) { return p.Open(format); });
    if (*result != MMSYSERR_NOERROR)
        return nullptr;
    return std::make_unique<AlsaPlayback>(std::move(playback));
}

} // namespace wave
