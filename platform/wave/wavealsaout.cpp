// The ALSA backend's playback stream, on what alsastream.h shares with
// capture.
#include "alsastream.h"

#include <sched.h>

namespace wave {

// Reachable only from the layer's own tests (declared in their support
// headers), for what a real device refuses only now and then: the next
// write of sound to an ALSA playback device fails with this error (EPIPE
// as after an underrun, ESTRPIPE as after a suspend) without reaching the
// device, and the next this-many writes of sound take half of what they
// are given.
std::atomic<int> alsaPlaybackRefusal{0};
std::atomic<int> alsaPlaybackShortWrites{0};

namespace {

using namespace alsa;

// A write of sound, as the test hooks above let it go.
snd_pcm_sframes_t WriteSound(snd_pcm_t* pcm, const char* from, snd_pcm_uframes_t frames) {
    if (const int refusal = alsaPlaybackRefusal.exchange(0); refusal != 0)
        return -refusal;
    if (alsaPlaybackShortWrites.load() > 0 && alsaPlaybackShortWrites.fetch_sub(1) > 0)
        frames = std::max<snd_pcm_uframes_t>(frames / 2, 1);
    return snd_pcm_writei(pcm, from, frames);
}

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
            ++flushes;
            flush = true;
        }
        Wake();
    }

    void Run() override {
        if (const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
            policy != SCHED_FIFO && policy != SCHED_RR) {
            leastAhead =
                std::min(bufferFrames - periodFrames, periodFrames * kPlaybackAheadUnprivileged);
            SetAhead(std::max(ahead, leastAhead));
        }
        bool idleWake = false;
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
            else if (!KeepAheadOfAStandstill(queued))
                KeepLessAheadWhenQuiet();
            std::uint64_t taken = 0;
            snd_pcm_uframes_t frames = Peek(room, &taken);
            const char* from = out.data();
            if (frames == 0 && queued < ahead) {
                frames = ahead - queued;
                from = silence.data();
            }
            if (frames > 0) {
                const snd_pcm_sframes_t n = from == out.data()
                                                ? WriteSound(pcm.get(), from, frames)
                                                : snd_pcm_writei(pcm.get(), from, frames);
                // Only what the device took leaves the ring; the rest goes
                // in on the next turn, a failed write's all of it.
                if (n > 0 && from == out.data())
                    Consume(static_cast<snd_pcm_uframes_t>(n), taken);
                if (n > 0) {
                    idleWake = false;
                    continue;
                }
                if (n < 0 && n != -EAGAIN) {
                    Recover(static_cast<int>(n));
                    continue;
                }
            }
            // The rest of a block that did not fit goes in as soon as there
            // is room, not once the device is nearly dry: a block is heard
            // whole only if its parts follow each other in time.
            if (Held()) {
                Wait(false, periodMillis);
            } else if (idleWake) {
                // The device woke the thread and then took nothing (a
                // plug-in that calls itself ready before its own thread has
                // caught up): waiting on it again at once would spin.
                idleWake = false;
                Wait(false, kNotReadyMillis);
            } else {
                idleWake = Wait() == Woken::kDevice;
            }
        }
    }

private:
    std::mutex lock;
    std::vector<char> pending; // a ring of written sound, sized at open
    std::size_t head = 0;
    std::size_t held = 0;
    Clock::time_point pendingSince; // when `held` last grew from nothing
    bool flush = false;
    std::uint64_t flushes = 0; // times the ring was emptied unplayed
    static constexpr auto kSettle = std::chrono::milliseconds(200);
    static constexpr auto kQuiet = std::chrono::seconds(10);
    Clock::time_point openedAt;
    Clock::time_point lastNearDry;
    snd_pcm_uframes_t leastAhead = 0;
    // Stream thread only.
    snd_pcm_uframes_t ahead = 0;
    // Longer than a graph period of any server this plays through.
    static constexpr auto kStill = std::chrono::milliseconds(100);
    snd_pcm_uframes_t lastQueued = 0;
    Clock::time_point queuedSince;
    int periodMillis = 5;
    std::vector<char> out;
    std::vector<char> silence;

    // The device ran dry (this thread was held up) or failed. Sound written
    // a while before the device stood still was due long ago and is
    // dropped; what came just before plays at once.
    void Recover(int err) {
        {
            std::lock_guard guard(lock);
            if (held > 0 && Clock::now() - pendingSince > kPlaybackLate) {
                held = 0;
                ++flushes;
            }
        }
        KeepMoreAhead();
        if (snd_pcm_recover(pcm.get(), err, 1) < 0) {
            Wait(false); // the device is gone: wait to be closed
            return;
        }
        // Prepared again after an underrun or a suspend, the device starts
        // anew, and like a new one may lose its start: silence goes first,
        // as at open, so the next block is heard whole.
        if (err == -EPIPE || err == -ESTRPIPE)
            snd_pcm_writei(pcm.get(), silence.data(), bufferFrames - periodFrames);
    }

    // PipeWire's PulseAudio server plays nothing of a graph period it
    // cannot fill, and takes nothing either: behind PulseAudio's plug-in, a
    // lead shorter than the graph's period (1024 frames at 48 kHz, 941 of
    // ours) stands still in the server, and the next block's tail stays
    // there behind the period that took its head, heard only with the block
    // after. A running device whose queue has not moved for a while gets a
    // period more, for good.
    bool KeepAheadOfAStandstill(snd_pcm_uframes_t queued) {
        const auto now = Clock::now();
        if (queued != lastQueued || queued == 0 ||
            snd_pcm_state(pcm.get()) != SND_PCM_STATE_RUNNING) {
            lastQueued = queued;
            queuedSince = now;
            return false;
        }
        if (now - queuedSince < kStill)
            return false;
        queuedSince = now;
        KeepMoreAhead();
        leastAhead = std::max(leastAhead, ahead);
        return true;
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

    // Copies up to `room` frames of written sound to `out`, leaving them in
    // the ring; `*at` tells Consume which ring they came from.
    snd_pcm_uframes_t Peek(snd_pcm_uframes_t room, std::uint64_t* at) {
        std::lock_guard guard(lock);
        *at = flushes;
        const std::size_t bytes = std::min(held, Bytes(room));
        for (std::size_t done = 0, from = head; done < bytes;) {
            const std::size_t n = std::min(bytes - done, pending.size() - from);
            std::memcpy(&out[done], &pending[from], n);
            from = (from + n) % pending.size();
            done += n;
        }
        return bytes / frameBytes;
    }

    // Drops the first `frames` frames the device took, unless the ring was
    // emptied since they were copied.
    void Consume(snd_pcm_uframes_t frames, std::uint64_t at) {
        std::lock_guard guard(lock);
        if (at != flushes)
            return;
        const std::size_t bytes = std::min(held, Bytes(frames));
        head = (head + bytes) % pending.size();
        held -= bytes;
    }
};

class AlsaPlayback final : public PlaybackStream {
public:
    explicit AlsaPlayback(std::shared_ptr<Playback> p) : playback(std::move(p)) {
        runner.Start(playback, "reproduccion");
    }
    ~AlsaPlayback() override { runner.Stop(); }
    // A thread left behind holds what it uses.
    bool Stop() override {
        runner.Stop();
        return true;
    }
    bool Write(const void* data, std::size_t bytes) override {
        return playback->Write(data, bytes);
    }
    void Flush() override { playback->Flush(); }

private:
    std::shared_ptr<Playback> playback;
    Runner runner;
};

} // namespace

std::unique_ptr<PlaybackStream> OpenAlsaPlaybackStream(const StreamFormat& format,
                                                       MMRESULT* result) {
    auto playback = std::make_shared<Playback>();
    *result = OpenWithin(playback, [format](Playback& p) { return p.Open(format); });
    if (*result != MMSYSERR_NOERROR)
        return nullptr;
    return std::make_unique<AlsaPlayback>(std::move(playback));
}

} // namespace wave
