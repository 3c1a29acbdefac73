// The one audio format the program uses, for tests that open devices the
// way it does, and a race-free look at a header's flags, which a device
// thread may be changing.
#pragma once

#include "mmsystem.h"

#include <atomic>

inline WAVEFORMATEX ProgramFormat() {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = 44100;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 4;
    f.nAvgBytesPerSec = 176400;
    return f;
}

inline DWORD FlagsOf(WAVEHDR& h) {
    return std::atomic_ref<DWORD>(h.dwFlags).load();
}
