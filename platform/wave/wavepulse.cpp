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
//
// This file holds the capture stream; pulseconnection.h the connection both
// sides share, wavepulseout.cpp the playback stream.
#include "pulseconnection.h"

namespace wave {
namespace {

using namespace pulse;

// Some sources hand over sound ahead of time in large bursts: the test
// server's sine source renders up to two seconds in advance in one go. A live
// monitor wants one block per block period, so the capture stream passes
// sound on no faster than a little above real time (0.5 % above, so a
// source whose clock runs fast never builds up a backlog), with an allowance
// of four fragments, so sound recorded in real time (every real device, a
// null sink's monitor) passes straight through, one wake-up per fragment.
// The allowance is what a server that held its sound back owes: PipeWire's
// pulse server hands capture on from a thread at normal priority, which a
// busy machine held up for tens of milliseconds, and then three fragments
// came at once. With two allowed, the third waited for the pace, and so did
// every fragment after it, 0.5 % of a fragment sooner each: for seconds
// every block was heard up to a fragment late. No fragment is passed on
// sooner than a fragment period after the one two before it, so a burst
// still hands over two at once at most, and the block handed over before
// them is not refilled at once.
// The backlog buffer is sized at open; should it ever fill, the oldest sound
// is passed on at once. What is held when the stream moves to another source
// belongs to the old one and is dropped.
//
// Sound is passed on in whole fragments only, each in one call, however the
// server cut it up: the device then writes a header once, when its block is
// complete, and a block handed over earlier stays as it was for two block
// periods instead of being refilled piece by piece from the moment it is
// queued again. The backlog holds a whole number of fragments and is only
// ever emptied a fragment at a time, so a fragment never wraps around it.
//
// While the server is away, silence takes the sound's place, one fragment
// per fragment period, so the program's cycle keeps turning.
//
// A server can also stop answering without closing its socket (stopped, or
// hung), and PipeWire's stream stops for good once its source was
// suspended: either way the stream looks ready and gives nothing. So the
// server is asked for the stream's timing ten times a second, and a stream
// whose server leaves that unanswered for half a second, or that has had
// nothing to pass on for as long, is taken for a lost one: silence follows
// at once, and the connection is made anew.
class PulseCapture final : public CaptureStream {
public:
    explicit PulseCapture(CaptureSink& s) : sink(s) {}
    ~PulseCapture() override { connection.Stop(); }
    bool Stop() override { return connection.Stop(); }

    MMRESULT Open(const StreamFormat& format, std::size_t fragmentBytes) {
        frameBytes = format.bytesPerFrame;
        fragment = fragmentBytes;
        bytesPerMicro = double(format.rate) * format.bytesPerFrame / 1e6;
        const std::size_t fragments =
            std::size_t(kBacklogSeconds * format.rate) * format.bytesPerFrame / fragmentBytes;
        backlog.resize(std::max<std::size_t>(fragments, 2) * fragmentBytes);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(fragmentBytes);
        connection.service = [this] {
            WatchForStall();
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
    static constexpr std::size_t kAllowance = 4; // fragments
    static constexpr double kBacklogSeconds = 4.0;
    static constexpr auto kStallLimit = std::chrono::milliseconds(500);
    static constexpr auto kAskInterval = std::chrono::milliseconds(100);
    // A new stream's first sound may take longer: a source nobody listened
    // to renders far ahead and notices its new listener only at its next
    // turn.
    static constexpr auto kFirstSoundLimit = std::chrono::seconds(3);

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
    // When the last two fragments were passed on, and how many were.
    Clock::time_point passedAt[2];
    std::size_t passes = 0;
    // While the server is away: when the silence began and how much of it
    // has been passed on.
    bool silent = false;
    Clock::time_point silenceBegan;
    std::size_t silenceSent = 0;
    // Which stream was last seen live and since when, which one gave the
    // last sound and when, and the timing request still unanswered.
    std::uint64_t liveStream = 0;
    Clock::time_point liveSince;
    std::uint64_t soundStream = 0;
    Clock::time_point lastSound;
    bool asked = false;
    Clock::time_point askedAt;
    Connection connection; // last: its thread stops before the rest goes

    static void Readable(pa_stream*, std::size_t, void* self) {
        static_cast<PulseCapture*>(self)->Read();
    }
    static void Moved(pa_stream*, void* self) { static_cast<PulseCapture*>(self)->Forget(); }
    // Never called for a stream already dropped: the library cancels its
    // requests with it.
    static void Answered(pa_stream*, int, void* self) {
        static_cast<PulseCapture*>(self)->asked = false;
    }

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
            soundStream = connection.StreamsMade();
            lastSound = Clock::now();
        }
        PassOn();
    }

    void WatchForStall() {
        if (!connection.Live())
            return;
        const auto now = Clock::now();
        if (connection.StreamsMade() != liveStream) {
            liveStream = connection.StreamsMade();
            liveSince = now;
            asked = false;
            askedAt = now;
        }
        const bool heard = soundStream == liveStream;
        const bool quiet =
            now - (heard ? lastSound : liveSince) > (heard ? kStallLimit : kFirstSoundLimit);
        if ((asked && now - askedAt > kStallLimit) || quiet) {
            connection.Renew();
            return;
        }
        if (!asked && now - askedAt >= kAskInterval) {
            pa_operation* op =
                pa_stream_update_timing_info(connection.Stream(), &PulseCapture::Answered, this);
            if (op != nullptr) {
                pa_operation_unref(op);
                asked = true;
                askedAt = now;
            }
        }
    }

    void Hold(const char* data, std::size_t bytes) {
        if (credit < 0) {
            credit = double(2 * fragment);
            lastCredit = Clock::now();
        }
        while (bytes > 0) {
            if (held == backlog.size())
                Release();
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

    // The oldest fragment, in one piece. A source that hands over seconds
    // at a time is quiet for as long between its bursts: sound passed on
    // from the backlog counts as the stream's too.
    void Release() {
        lastSound = Clock::now();
        passedAt[passes++ % 2] = lastSound;
        sink.OnData(&backlog[head], fragment);
        head = (head + fragment) % backlog.size();
        held -= fragment;
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
        credit = std::min(credit, double(kAllowance * fragment));
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::micro>(double(fragment) / bytesPerMicro));
        // The time the one two before the next fragment was passed on.
        const auto spaced = [&] { return passes < 2 || now - passedAt[passes % 2] >= period; };
        while (held >= fragment && credit >= double(fragment) && spaced()) {
            credit -= double(fragment);
            Release();
        }
        // Short of a fragment, the server's next sound wakes the loop.
        if (held < fragment)
            return kPollMicros;
        double due = (double(fragment) - credit) / (bytesPerMicro * kPaceRate);
        if (!spaced())
            due = std::max(
                due, std::chrono::duration<double, std::micro>(passedAt[passes % 2] + period - now)
                         .count());
        return due <= 0 ? 0 : int(due) + 1;
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

} // namespace wave
