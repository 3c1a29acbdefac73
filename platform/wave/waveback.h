// The narrow boundary between the wave-audio device layer and a sound
// backend. The header protocol, the handle tables and the callbacks live in
// wavein.cpp and waveout.cpp and know nothing of the backend; a backend only
// moves bytes. wavepulse*.cpp implement it over a PulseAudio-protocol sound
// server, wavealsa*.cpp over ALSA; wavechoose.cpp picks one per device.
#pragma once

#include "mmsystem.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace wave {

struct StreamFormat {
    unsigned rate;
    unsigned channels;
    unsigned bytesPerFrame; // 16-bit samples, so 2 * channels
};

// Receives a capture stream's sound. Both calls come on the stream's own
// thread, one at a time; the capture device runs its whole header protocol
// and its callbacks inside them.
class CaptureSink {
public:
    // `data` is null when the backend lost sound: `bytes` of silence.
    virtual void OnData(const void* data, std::size_t bytes) = 0;
    // After Wake(), and also now and then without one (at least every 50 ms
    // or so), so work requested from other threads never waits on sound.
    virtual void OnWake() = 0;
    // The backend lost `bytes` of input it cannot give (an overrun): they
    // count as dropped sound, and the sound after them follows at once.
    virtual void OnLost(std::size_t bytes) = 0;

protected:
    ~CaptureSink() = default;
};

// A running capture stream: it reads the input from the moment it is opened
// until it is destroyed, on a thread of its own.
class CaptureStream {
public:
    virtual ~CaptureStream() = default; // stops and joins the thread; never hangs
    // Ends the thread, waiting for it a while but not for ever. False when it
    // did not end in time and runs on: it may still use the stream, which
    // must then never be destroyed (see LeaveBehind), and may still call the
    // sink, which must stay alive and refuse it.
    virtual bool Stop() = 0;
    // Makes the stream's thread call OnWake() soon. Callable from any thread.
    virtual void Wake() = 0;
};

// A playback stream. Write copies the bytes and returns at once.
class PlaybackStream {
public:
    virtual ~PlaybackStream() = default; // stops playing; never hangs
    // As CaptureStream::Stop.
    virtual bool Stop() = 0;
    // False when the sound could not be taken (too much is already pending).
    virtual bool Write(const void* data, std::size_t bytes) = 0;
    // Drops whatever is written and not yet played.
    virtual void Flush() = 0;
    // Bytes taken and then dropped rather than played late (the output was
    // suspended or gone), or refused by Write. Callable from any thread.
    virtual std::uint64_t Dropped() const { return 0; }
};

// Keeps a stream whose thread could not be stopped for the rest of the
// process, so that thread never reaches freed memory when it comes back.
void LeaveBehind(std::unique_ptr<CaptureStream> stream);
void LeaveBehind(std::unique_ptr<PlaybackStream> stream);

// Capture from the default input in fragments of about `fragmentBytes`.
// On failure returns null and sets `*result`. The sound server is tried
// first; when none answers, ALSA's default device.
std::unique_ptr<CaptureStream> OpenCaptureStream(const StreamFormat& format,
                                                 std::size_t fragmentBytes, CaptureSink& sink,
                                                 MMRESULT* result);

// Playback on the default output, with little sound in flight. The same
// choice as for capture, made on its own.
std::unique_ptr<PlaybackStream> OpenPlaybackStream(const StreamFormat& format, MMRESULT* result);

// Each backend on its own. The server's answers MMSYSERR_NODRIVER when no
// server can be reached within a few seconds.
std::unique_ptr<CaptureStream> OpenServerCaptureStream(const StreamFormat& format,
                                                       std::size_t fragmentBytes, CaptureSink& sink,
                                                       MMRESULT* result);
std::unique_ptr<PlaybackStream> OpenServerPlaybackStream(const StreamFormat& format,
                                                         MMRESULT* result);
std::unique_ptr<CaptureStream> OpenAlsaCaptureStream(const StreamFormat& format,
                                                     std::size_t fragmentBytes, CaptureSink& sink,
                                                     MMRESULT* result);
std::unique_ptr<PlaybackStream> OpenAlsaPlaybackStream(const StreamFormat& format,
                                                       MMRESULT* result);

} // namespace wave
