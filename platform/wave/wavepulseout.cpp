// The PulseAudio backend's playback stream, on the connection of
// pulseconnection.h.
#include "pulseconnection.h"

#include <sched.h>

#include <utility>

namespace wave {

// Reachable only from the layer's own tests (declared in their support
// headers): the next turn of a server playback thread sleeps this long
// first, as a thread held up by the system would.
std::atomic<long> serverPlaybackHoldMicros{0};

namespace {

using namespace pulse;

// The program writes one block now and then. Each block replaces whatever
// the stream still has queued, so it is played as soon as the output can
// take it, never behind older sound or a cushion of silence. Between blocks
// the stream is fed silence, so it never runs dry: a stream that restarts
// after running dry makes the server re-mix what it has already mixed ahead,
// and the start of the block is lost to anyone recording the output (a null
// sink's monitor). A block replaces queued sound, never sound already
// mixed, so it plays exactly as written. Every block goes out with silence
// right behind it: PipeWire plays nothing of a period it cannot fill, and a
// block's last frames waiting for the next top-up were heard a period late,
// cut off from the rest. The next block takes that silence's place.
//
// With nothing written for half a second the stream is corked and emptied,
// so the output device can go idle and the server has nothing to mix; the
// next block is written into the corked stream before it is uncorked, and
// plays whole. A corked stream still counts in the latency PulseAudio runs
// the output at, so there it also asks for a long one while it rests: a
// null sink woke 100 times a second for a resting stream, 4 without it. On
// PipeWire a change of latency cost the start of the next block, and there
// the stream rests at its live latency. While the output is suspended
// (other than for being idle), or the server is away, blocks are dropped
// and counted: played later they would be late.
class PulsePlayback final : public PlaybackStream {
public:
    ~PulsePlayback() override { connection.Stop(); }
    bool Stop() override { return connection.Stop(); }

    MMRESULT Open(const StreamFormat& format) {
        const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, format.rate,
                                        static_cast<std::uint8_t>(format.channels)};
        queueMax = pa_usec_to_bytes(kQueueMax, &sampleSpec);
        frameBytes = format.bytesPerFrame;
        bytesPerSecond = std::size_t(format.rate) * format.bytesPerFrame;
        liveAttr.maxlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kServerMax, &sampleSpec));
        liveAttr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kTarget, &sampleSpec));
        liveAttr.prebuf = format.bytesPerFrame;
        liveAttr.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kRequest, &sampleSpec));
        liveAttr.fragsize = static_cast<std::uint32_t>(-1);
        restAttr = liveAttr;
        restAttr.maxlength =
            static_cast<std::uint32_t>(pa_usec_to_bytes(kRestLatency, &sampleSpec));
        restAttr.tlength = restAttr.maxlength;
        restAttr.minreq = static_cast<std::uint32_t>(-1);
        leadBytes = liveAttr.tlength;
        padBytes = leadBytes;
        padBytesUnprivileged = pa_usec_to_bytes(kPadUnprivileged, &sampleSpec);
        restartBytes = pa_usec_to_bytes(kRestartLead, &sampleSpec);
        connection.service = [this] { return Send(); };
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        const MMRESULT r = connection.Open(format, false, liveAttr, flags, [this](pa_stream* s) {
            corked = true;
            atRestLatency = false;
            mayRestLatency = false;
            if (pa_operation* op =
                    pa_context_get_server_info(pa_stream_get_context(s), &ServerKnown, this))
                pa_operation_unref(op);
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
            written.emplace_back(pending.size(), Clock::now());
        }
        connection.Wake();
        return true;
    }

    void Flush() override {
        {
            std::lock_guard guard(lock);
            pending.clear();
            written.clear();
            flush = true;
        }
        connection.Wake();
    }

    std::uint64_t Dropped() const override { return dropped.load(std::memory_order_relaxed); }

private:
    // Silence is kept up to 40 ms ahead: enough that the stream never runs
    // dry on a busy machine. No block waits behind it. PulseAudio runs the
    // output at half of what the target leaves after two requests, 2.5 ms
    // here, and a block written at the read point waits for the output's
    // next turn: half a turn in the middle, and a whole one more for each
    // turn the block's way through both processes took longer than what was
    // left of the one it came in. With 5 ms turns that cost 2.5 ms in the
    // middle, and a block held up 5 ms was heard 10 ms after its last frame;
    // now it is 1.3 and 5.
    static constexpr pa_usec_t kTarget = 40'000;
    static constexpr pa_usec_t kRequest = 17'500;
    static constexpr auto kSilenceLead = std::chrono::milliseconds(10);
    // A stream that ran dry starts again with the next write, and the
    // server re-mixes what it had mixed ahead: whoever records the output (a
    // null sink's monitor) loses the start of what comes first. A block
    // written then goes behind this much silence. What is left queued is
    // known only to within what the server reads ahead (2.5 ms here): a
    // stream this close to its end counts as dry.
    static constexpr pa_usec_t kRestartLead = 10'000;
    static constexpr auto kDryWithin = std::chrono::milliseconds(5);
    // A stream thread that got no real-time scheduling can be held up by
    // other work for tens of milliseconds, and a stream that runs dry loses
    // the start of the block written next (under AddressSanitizer on a
    // busy machine, 3 ms of one now and then). It tops up 30 ms ahead, and
    // pads each block with 45 ms of silence, so its first top-up, which
    // waits until the block has surely been read, still finds 20 ms
    // queued. A block that comes before then goes behind the padding: with
    // more than 47 ms of it, blocks 70 ms apart would each go behind the
    // last one's, later and later, until they were dropped as late.
    static constexpr auto kSilenceLeadUnprivileged = std::chrono::milliseconds(30);
    static constexpr pa_usec_t kPadUnprivileged = 45'000;
    // The server reads up to a period ahead (PipeWire's is up to 1024
    // frames here): a block is not written at the read point before the
    // last one has surely been read.
    static constexpr auto kReadAhead = std::chrono::milliseconds(25);
    // Beyond this the server drops what is written faster than it plays.
    static constexpr pa_usec_t kServerMax = 250'000;
    // What the layer itself holds for a stream thread that has fallen behind.
    static constexpr pa_usec_t kQueueMax = 1'000'000;
    static constexpr auto kRestAfter = std::chrono::milliseconds(500);
    static constexpr pa_usec_t kRestLatency = 2'000'000;
    // Sound that would be heard later than this after it was written is
    // dropped instead.
    static constexpr auto kLateLimit = std::chrono::milliseconds(100);
    // Queued sound older than this when the output wakes is not played.
    static constexpr auto kStaleAfter = std::chrono::milliseconds(20);

    std::mutex lock;
    std::vector<char> pending; // written, not yet passed to the server
    // Where each write ended in `pending`, and when it came.
    std::vector<std::pair<std::size_t, Clock::time_point>> written;
    bool flush = false;
    std::size_t queueMax = 0;
    std::size_t frameBytes = 4;
    std::size_t bytesPerSecond = 176'400;
    std::size_t leadBytes = 0; // the live lead of silence
    std::size_t padBytesUnprivileged = 0;
    std::size_t restartBytes = 0;
    pa_buffer_attr liveAttr{};
    pa_buffer_attr restAttr{};
    std::atomic<std::uint64_t> dropped{0};
    // Stream thread only.
    bool schedulingKnown = false;
    Clock::duration silenceLead = kSilenceLead;
    std::size_t padBytes = 0; // the silence behind each block
    std::vector<char> sending;
    std::vector<std::pair<std::size_t, Clock::time_point>> sendingWritten;
    bool corked = true;
    bool atRestLatency = false;
    bool mayRestLatency = false;   // the server is known, and is not PipeWire
    Clock::time_point soundUntil;  // when what was written will have been played
    std::size_t silenceBehind = 0; // queued behind the last sound
    // Uncorked with one block: the server may start reading well after the
    // uncork (PipeWire on a busy machine), so the next block is never
    // written at the read point, which may still lie in the first.
    bool starting = false;
    Clock::time_point lastBlock; // when the last block was passed to the server
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

    void SetLatency(pa_stream* s, bool rest) {
        if (pa_operation* op =
                pa_stream_set_buffer_attr(s, rest ? &restAttr : &liveAttr, nullptr, nullptr))
            pa_operation_unref(op);
        atRestLatency = rest;
    }

    static void ServerKnown(pa_context*, const pa_server_info* info, void* self) {
        auto* playback = static_cast<PulsePlayback*>(self);
        playback->mayRestLatency = info != nullptr && info->server_name != nullptr &&
                                   std::strstr(info->server_name, "PipeWire") == nullptr;
    }

    void Rest(pa_stream* s) {
        if (pa_operation* op = pa_stream_cork(s, 1, nullptr, nullptr))
            pa_operation_unref(op);
        if (pa_operation* op = pa_stream_flush(s, nullptr, nullptr))
            pa_operation_unref(op);
        corked = true;
    }

    // As much as the stream says it can take, up to the live lead: right
    // after the stream left its resting latency, it may still say it can
    // take far more. Only the server tells the stream of room, so a thread
    // held up past the end of the queue does not pile silence up behind it
    // for the time it lost.
    void FillWithSilence(pa_stream* s) {
        const std::size_t bytes = pa_stream_writable_size(s);
        if (bytes != static_cast<std::size_t>(-1) && bytes != 0)
            AddSilence(s, std::min(bytes, leadBytes));
    }

    // The padding, whatever the stream says it can take: a period of
    // PipeWire's is never longer than the live lead.
    void Pad(pa_stream* s) {
        silenceBehind = 0;
        AddSilence(s, padBytes);
    }

    void AddSilence(pa_stream* s, std::size_t most, pa_seek_mode_t seek = PA_SEEK_RELATIVE) {
        void* data = nullptr;
        std::size_t bytes = most;
        if (pa_stream_begin_write(s, &data, &bytes) < 0 || data == nullptr)
            return;
        bytes = std::min(bytes, most);
        std::memset(data, 0, bytes);
        pa_stream_write(s, data, bytes, nullptr, 0, seek);
        silenceBehind += bytes;
    }

    // Once, on the stream thread, after it asked for real-time scheduling.
    void KnowScheduling() {
        schedulingKnown = true;
        const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
        if (policy != SCHED_FIFO && policy != SCHED_RR) {
            silenceLead = kSilenceLeadUnprivileged;
            padBytes = padBytesUnprivileged;
        }
    }

    Clock::duration Duration(std::size_t bytes) const {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(double(bytes) / double(bytesPerSecond)));
    }

    int Send() {
        if (const long hold = serverPlaybackHoldMicros.exchange(0); hold > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(hold));
        if (!schedulingKnown)
            KnowScheduling();
        bool flushNow = false;
        {
            std::lock_guard guard(lock);
            sending.swap(pending);
            sendingWritten.swap(written);
            flushNow = flush;
            flush = false;
        }
        const auto now = Clock::now();
        // Written so long ago (this thread was held up) that it would be
        // heard late even if it went out now.
        std::size_t late = 0;
        for (const auto& [end, when] : sendingWritten)
            if (now - when > kLateLimit)
                late = end;
        sendingWritten.clear();
        if (late > 0) {
            dropped.fetch_add(late, std::memory_order_relaxed);
            sending.erase(sending.begin(), sending.begin() + std::ptrdiff_t(late));
        }
        pa_stream* s = connection.Live() ? connection.Stream() : nullptr;
        if (s != nullptr && flushNow && !corked)
            Rest(s);
        // A corked stream's output may sleep for being idle; uncorking it
        // wakes it.
        if (s == nullptr || (!corked && pa_stream_is_suspended(s) == 1)) {
            dropped.fetch_add(sending.size(), std::memory_order_relaxed);
            sending.clear();
            // Nothing is due before the next block, the output's return or
            // the new stream, and each of them wakes the loop. Waking for
            // the silence or the rest of a stream that cannot play would
            // spin.
            return kUntilWoken;
        }
        if (!sending.empty()) {
            Play(s, now);
        } else if (!corked) {
            if (now - soundUntil >= kRestAfter)
                Rest(s);
            else if (now >= TopUpAt())
                FillWithSilence(s);
        }
        sending.clear();
        if (s != nullptr && corked && !atRestLatency && mayRestLatency)
            SetLatency(s, true);
        // A resting stream waits for the next block, which wakes the loop.
        if (corked)
            return kUntilWoken;
        // Awake to top up with silence before the last sound runs out, and
        // to rest on time.
        const auto topUp = TopUpAt();
        return MicrosUntil(now < topUp ? topUp : soundUntil + kRestAfter);
    }

    Clock::time_point QueuedUntil() const { return soundUntil + Duration(silenceBehind); }
    // Silence added before the last block was surely read would hold up a
    // block that comes then, which goes behind all of it.
    Clock::time_point TopUpAt() const {
        return std::max(QueuedUntil() - silenceLead, soundUntil + kReadAhead);
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
        const auto length = Duration(sending.size());
        if (!corked && now < soundUntil && soundUntil + length - now > kLateLimit) {
            dropped.fetch_add(sending.size(), std::memory_order_relaxed);
            return;
        }
        const bool started = !std::exchange(starting, false);
        // This thread was held up past all the stream had queued, and the
        // server has read on past its end: written behind it (as a block
        // right after an uncork goes), the block's start would go where the
        // server has already been, and be lost.
        const bool dry = !corked && now + kDryWithin >= QueuedUntil();
        lastBlock = now;
        if (corked) {
            // Starting a stream makes the server re-mix what it has already
            // mixed ahead; a lead of silence takes that, not the block. The
            // live latency is asked for ahead of the sound.
            if (atRestLatency)
                SetLatency(s, false);
            silenceBehind = 0;
            FillWithSilence(s);
            pa_stream_write(s, sending.data(), sending.size(), nullptr, 0, PA_SEEK_RELATIVE);
            if (pa_operation* op = pa_stream_cork(s, 0, nullptr, nullptr))
                pa_operation_unref(op);
            corked = false;
            soundUntil = now + Duration(silenceBehind) + length;
            starting = true;
        } else if (dry || (started && now >= soundUntil + kReadAhead)) {
            // All that is queued is silence: the block goes in its place, at
            // the point the server reads next, so it is not played late. On
            // a stream that ran dry, behind a lead of silence.
            silenceBehind = 0;
            if (dry)
                AddSilence(s, restartBytes, PA_SEEK_RELATIVE_ON_READ);
            pa_stream_write(s, sending.data(), sending.size(), nullptr, 0,
                            silenceBehind > 0 ? PA_SEEK_RELATIVE : PA_SEEK_RELATIVE_ON_READ);
            soundUntil = now + Duration(silenceBehind) + length;
        } else {
            // The last block may not have been read yet: behind its silence,
            // never over it.
            pa_stream_write(s, sending.data(), sending.size(), nullptr, 0, PA_SEEK_RELATIVE);
            soundUntil += Duration(silenceBehind) + length;
        }
        Pad(s);
    }
};

} // namespace

std::unique_ptr<PlaybackStream> OpenServerPlaybackStream(const StreamFormat& format,
                                                         MMRESULT* result) {
    auto stream = std::make_unique<PulsePlayback>();
    *result = stream->Open(format);
    if (*result != MMSYSERR_NOERROR)
        return nullptr;
    return stream;
}

} // namespace wave
