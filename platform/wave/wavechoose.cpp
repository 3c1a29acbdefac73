// Which backend serves a device: the sound server when one answers, ALSA's
// default device when none does. Nothing to configure: a desktop has a
// server (PulseAudio, or PipeWire through its PulseAudio service), a minimal
// or console-only system may have only ALSA. Each device chooses on its own,
// so capture and playback each fall back by themselves, and a device never
// mixes the two.
//
// A refused or missing socket fails at once, so the fallback costs nothing
// on a system without a server; only a server that hangs makes the device
// wait out the server's connect deadline first.
#include "waveback.h"

#include <mutex>
#include <vector>

namespace wave {

std::unique_ptr<CaptureStream> OpenCaptureStream(const StreamFormat& format,
                                                 std::size_t fragmentBytes, CaptureSink& sink,
                                                 MMRESULT* result) {
    auto stream = OpenServerCaptureStream(format, fragmentBytes, sink, result);
    if (stream || *result != MMSYSERR_NODRIVER)
        return stream;
    return OpenAlsaCaptureStream(format, fragmentBytes, sink, result);
}

std::unique_ptr<PlaybackStream> OpenPlaybackStream(const StreamFormat& format, MMRESULT* result) {
    auto stream = OpenServerPlaybackStream(format, result);
    if (stream || *result != MMSYSERR_NODRIVER)
        return stream;
    return OpenAlsaPlaybackStream(format, result);
}

namespace {

// Never freed, so what is kept here stays reachable to the end.
template <class Stream> void Keep(std::unique_ptr<Stream> stream) {
    static std::mutex lock;
    static auto* kept = new std::vector<Stream*>;
    std::lock_guard guard(lock);
    kept->push_back(stream.release());
}

} // namespace

void LeaveBehind(std::unique_ptr<CaptureStream> stream) {
    Keep(std::move(stream));
}

void LeaveBehind(std::unique_ptr<PlaybackStream> stream) {
    Keep(std::move(stream));
}

} // namespace wave
