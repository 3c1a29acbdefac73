// What the capture and playback sides share: header checks, format checks
// and the ordering point between them. Backend-neutral.
#pragma once

#include "mmsystem.h"
#include "waveback.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wave {

// A header's flags can be touched by two threads at once (the event loop
// unprepares while a device thread hands the header back), so the layer
// only ever reaches them atomically.
inline std::atomic_ref<DWORD> Flags(WAVEHDR* h) {
    return std::atomic_ref<DWORD>(h->dwFlags);
}

// The program plays a captured buffer on its playback worker and, one block
// later, re-arms the same header with plain writes and queues it for capture
// again on the capture thread. Nothing in the program orders those two
// threads, so every playback call ends with a release on this counter and
// the capture thread acquires it before it writes into a header or calls
// back: whatever the playback side did to a header happens before the
// capture side touches it again.
inline std::atomic<std::uint64_t> playbackEpoch{0};

inline void PublishPlayback() {
    playbackEpoch.fetch_add(1, std::memory_order_release);
}
inline void SeePlayback() {
    (void)playbackEpoch.load(std::memory_order_acquire);
}

// Sample memory is shared without a lock: the program hands a captured
// buffer to its workers and queues it for capture again one block later, so
// a worker that runs that late reads while the device refills it. The layer
// therefore writes and reads buffers in whole 16-bit samples through
// atomic_ref (plain moves on this hardware): a late reader sees old or new
// samples, never a torn one, and the program stays free of data races.
// Memory that is not sample-aligned is copied plainly.
inline void StoreSamples(char* dst, const char* src, std::size_t bytes) {
    if ((reinterpret_cast<std::uintptr_t>(dst) | reinterpret_cast<std::uintptr_t>(src) | bytes) &
        1) {
        src != nullptr ? static_cast<void>(std::memcpy(dst, src, bytes))
                       : static_cast<void>(std::memset(dst, 0, bytes));
        return;
    }
    auto* out = reinterpret_cast<std::int16_t*>(dst);
    const auto* in = reinterpret_cast<const std::int16_t*>(src);
    for (std::size_t i = 0; i < bytes / 2; ++i) {
        std::atomic_ref<std::int16_t>(out[i]).store(in != nullptr ? in[i] : 0,
                                                    std::memory_order_relaxed);
    }
}
inline void LoadSamples(char* dst, char* src, std::size_t bytes) {
    if ((reinterpret_cast<std::uintptr_t>(dst) | reinterpret_cast<std::uintptr_t>(src) | bytes) &
        1) {
        std::memcpy(dst, src, bytes);
        return;
    }
    auto* out = reinterpret_cast<std::int16_t*>(dst);
    auto* in = reinterpret_cast<std::int16_t*>(src);
    for (std::size_t i = 0; i < bytes / 2; ++i) {
        out[i] = std::atomic_ref<std::int16_t>(in[i]).load(std::memory_order_relaxed);
    }
}

inline bool IsDefaultDevice(UINT id) {
    return id == WAVE_MAPPER || id == 0;
}

// 16-bit PCM, mono or stereo, at a rate a sound server takes.
inline MMRESULT CheckFormat(const WAVEFORMATEX* f, StreamFormat* out) {
    if (f == nullptr)
        return MMSYSERR_INVALPARAM;
    if (f->wFormatTag != WAVE_FORMAT_PCM || f->wBitsPerSample != 16 || f->nChannels < 1 ||
        f->nChannels > 2 || f->nSamplesPerSec < 8000 || f->nSamplesPerSec > 192000 ||
        f->nBlockAlign != f->nChannels * 2)
        return WAVERR_BADFORMAT;
    *out = StreamFormat{f->nSamplesPerSec, f->nChannels, f->nBlockAlign};
    return MMSYSERR_NOERROR;
}

// What both open calls check before anything is opened: the format, the
// device (only the default one exists), and the flags, where besides no
// notification only `callbackType` is taken.
inline MMRESULT CheckOpen(const WAVEFORMATEX* pwfx, UINT id, DWORD fdwOpen, DWORD callbackType,
                          StreamFormat* format) {
    if (MMRESULT r = CheckFormat(pwfx, format))
        return r;
    if (!IsDefaultDevice(id))
        return MMSYSERR_BADDEVICEID;
    const DWORD type = fdwOpen & CALLBACK_TYPEMASK;
    if ((fdwOpen & ~(CALLBACK_TYPEMASK | WAVE_FORMAT_QUERY)) != 0 ||
        (type != CALLBACK_NULL && type != callbackType))
        return MMSYSERR_INVALFLAG;
    return MMSYSERR_NOERROR;
}

// The checks every header call makes after the handle: a header must be
// there and the caller must claim at least the record's 32-bit size.
inline MMRESULT CheckHeaderArg(const WAVEHDR* h, UINT cbwh) {
    if (h == nullptr || cbwh < WAVEHDR_SIZE32)
        return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

// Preparing marks the header; a header without memory cannot be prepared.
inline MMRESULT PrepareHeader(WAVEHDR* h) {
    if (h->lpData == nullptr ||
        std::atomic_ref<DWORD>(h->dwBufferLength).load(std::memory_order_relaxed) == 0)
        return MMSYSERR_INVALPARAM;
    Flags(h).fetch_or(WHDR_PREPARED, std::memory_order_acq_rel);
    return MMSYSERR_NOERROR;
}

// A capture device holds a header from the moment it is queued until it is
// handed back. That is recorded in `reserved`, which belongs to the layer,
// rather than trusted to dwFlags: the program re-arms dwFlags with plain
// writes, and a header re-armed while still queued must not be queued twice.
// The mark is derived from the header's address, so leftover memory in a
// fresh header cannot pass for it.
inline std::atomic_ref<DWORD_PTR> Mark(WAVEHDR* h) {
    return std::atomic_ref<DWORD_PTR>(h->reserved);
}
inline DWORD_PTR HeldMark(const WAVEHDR* h) {
    return reinterpret_cast<DWORD_PTR>(h) ^ static_cast<DWORD_PTR>(0x6d6f6e6974a0d10ULL);
}
inline bool IsHeld(WAVEHDR* h) {
    return Mark(h).load(std::memory_order_acquire) == HeldMark(h);
}

// A header a device still holds stays prepared and answers WAVERR_STILLPLAYING.
inline MMRESULT UnprepareHeader(WAVEHDR* h) {
    DWORD f = Flags(h).load(std::memory_order_acquire);
    do {
        if (IsHeld(h))
            return WAVERR_STILLPLAYING;
    } while (!Flags(h).compare_exchange_weak(f, f & ~WHDR_PREPARED, std::memory_order_acq_rel));
    return MMSYSERR_NOERROR;
}

} // namespace wave
