// What the device layer's backends let its own tests reach: nothing the
// program can use.
#pragma once

#include <atomic>

namespace wave {

// The next turn of an ALSA capture thread first sleeps this many
// microseconds, as a thread held up by the system would.
extern std::atomic<long> alsaCaptureHoldMicros;
// ALSA capture streams open now: non-zero when capture runs on ALSA.
extern std::atomic<int> alsaCaptureStreams;
// The next ALSA stream to close takes this many microseconds to close its
// device, as one whose server stopped answering does.
extern std::atomic<long> alsaCloseHoldMicros;

// The next write of sound to an ALSA playback device fails with this errno
// value, never reaching the device; the next this-many writes of sound
// take half of what they are given.
extern std::atomic<int> alsaPlaybackRefusal;
extern std::atomic<int> alsaPlaybackShortWrites;

// The next turn of a server playback thread first sleeps this many
// microseconds.
extern std::atomic<long> serverPlaybackHoldMicros;

} // namespace wave
