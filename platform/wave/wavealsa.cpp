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
//
// This file holds the capture stream; alsastream.h what both sides share,
// wavealsaout.cpp the playback stream.
#include "alsastream.h"

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

using namespace alsa;

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
        Lively(false);
        while (!stopping.load()) {
            if (const long hold = alsaCaptureHoldMicros.exchange(0); hold > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(hold));
            if (!pcm) {
                // No device: silence until a new one is open.
                if (Reopened()) {
                    snd_pcm_start(pcm.get());
                    Anchor();
                    Lively(false);
                } else if (!AwaitDevice()) {
                    break;
                }
                continue;
            }
            const snd_pcm_sframes_t n =
                snd_pcm_readi(pcm.get(), &block[Bytes(filled)], blockFrames - filled);
            if (n > 0) {
                Lively(true);
                filled += static_cast<snd_pcm_uframes_t>(n);
                if (filled < blockFrames)
                    continue;
                filled = 0;
                read += blockFrames;
                if (!HandOver())
                    break;
            } else if (n == -EAGAIN || n == 0) {
                if (Clock::now() - lastSound > (heard ? kStallLimit : kFirstSoundLimit)) {
                    Lose();
                    continue;
                }
                Anchor();
                if (silent && !HandOverSilence())
                    break;
                if (Wait(true, silent ? std::min(kPollMillis, MillisToSilence()) : kPollMillis) ==
                        Woken::kRequest &&
                    !Serve())
                    break;
            } else if (n == -EPIPE || n == -ESTRPIPE || n == -EINTR) {
                if (!Recover(static_cast<int>(n)))
                    break;
            } else {
                // The device is gone.
                Lose();
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

    // A running device that gives nothing for this long stalled (a plug-in
    // whose server stopped answering) or went away without saying so. A new
    // one may take longer for its first sound.
    static constexpr auto kStallLimit = std::chrono::milliseconds(500);
    static constexpr auto kFirstSoundLimit = std::chrono::seconds(3);
    static constexpr auto kReopenEvery = std::chrono::milliseconds(500);

    CaptureSink& sink;
    snd_pcm_uframes_t blockFrames = 1024;
    std::vector<char> block;
    snd_pcm_uframes_t filled = 0;
    // The last time the device had less than a block, and the whole blocks
    // read since. The device's clock and ours then agree well enough to tell
    // how far behind or ahead of the sound the reading is.
    Clock::time_point anchor;
    std::uint64_t read = 0;

    // Sound came (or, false, a device was opened) now.
    Clock::time_point lastSound;
    bool heard = false;
    // While a device is lost and until the new one's first sound: when the
    // silence began and the frames of it handed over, and when the last
    // open was started.
    bool silent = false;
    Clock::time_point silenceBegan;
    std::uint64_t silenceSent = 0;
    Clock::time_point lastOpen;

    void Lively(bool sound) {
        lastSound = Clock::now();
        heard = sound;
        silent = silent && !sound;
    }

    // The device stalled or went away: silence follows at once, at the pace
    // of real time, so the program's cycle keeps turning, and a new device
    // is opened. What was read of a block is dropped with the device.
    void Lose() {
        Abandon();
        filled = 0;
        if (!silent) {
            silent = true;
            silenceBegan = Clock::now();
            silenceSent = 0;
        }
        lastOpen = Clock::now();
        Reopen();
    }

    bool HandOverSilence() {
        const double due =
            std::chrono::duration<double>(Clock::now() - silenceBegan).count() * rate;
        while (double(silenceSent + blockFrames) <= due) {
            if (!Enter())
                return false;
            sink.OnData(nullptr, block.size());
            Leave();
            silenceSent += blockFrames;
        }
        return true;
    }

    int MillisToSilence() const {
        const double next = double(silenceSent + blockFrames) / rate -
                            std::chrono::duration<double>(Clock::now() - silenceBegan).count();
        return std::max(0, static_cast<int>(next * 1000.0) + 1);
    }

    // No device: hands over the silence due, starts another open if the
    // last one failed a while ago, and waits for the next block of silence
    // or a request.
    bool AwaitDevice() {
        if (!HandOverSilence())
            return false;
        if (Clock::now() - lastOpen >= kReopenEvery) {
            lastOpen = Clock::now();
            Reopen();
        }
        Wait(false, std::min(kPollMillis, MillisToSilence()));
        return Serve();
    }

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

class AlsaCapture final : public CaptureStream {
public:
    explicit AlsaCapture(std::shared_ptr<Capture> c) : capture(std::move(c)) {
        alsaCaptureStreams.fetch_add(1);
        runner.Abandonable = [c = capture.get()] { return !c->inSink.load(); };
        runner.Start(capture, "captura");
    }
    ~AlsaCapture() override {
        runner.Stop();
        alsaCaptureStreams.fetch_sub(1);
    }
    // A thread left behind holds what it uses and stays out of the sink.
    bool Stop() override {
        runner.Stop();
        return true;
    }
    void Wake() override { capture->Wake(); }

private:
    std::shared_ptr<Capture> capture;
    Runner runner;
};

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

} // namespace wave
