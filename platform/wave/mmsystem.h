// The wave-audio device interface: the records, constants and calls of the
// classic multimedia wave API, served on Linux by a sound server.
//
// Numeric values and field order are the platform's own. Two things differ,
// both because this is a 64-bit system:
//  - callback instance and message parameters are pointer-sized (DWORD_PTR),
//    so a window pointer or a header pointer fits in them;
//  - header-size arguments accept 32, the size of the record in its original
//    32-bit layout, as well as sizeof(WAVEHDR).
#pragma once

#include "windef.h"

#include <cstddef>
#include <cstdint>

using MMRESULT = UINT;

// Handles are opaque tokens: the layer looks them up among the devices that
// are open and never dereferences them, so a stale or garbage handle is
// answered with MMSYSERR_INVALHANDLE.
using HWAVEIN = struct HWAVEIN__*;
using HWAVEOUT = struct HWAVEOUT__*;

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};

// Size of WAVEHDR in the 32-bit layout the program passes as cbwh.
inline constexpr UINT WAVEHDR_SIZE32 = 32;

inline constexpr WORD WAVE_FORMAT_PCM = 1;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;

inline constexpr DWORD WHDR_DONE = 0x00000001;
inline constexpr DWORD WHDR_PREPARED = 0x00000002;
inline constexpr DWORD WHDR_BEGINLOOP = 0x00000004;
inline constexpr DWORD WHDR_ENDLOOP = 0x00000008;
inline constexpr DWORD WHDR_INQUEUE = 0x00000010;

inline constexpr UINT WOM_OPEN = 0x3BB;
inline constexpr UINT WOM_CLOSE = 0x3BC;
inline constexpr UINT WOM_DONE = 0x3BD;
inline constexpr UINT WIM_OPEN = 0x3BE;
inline constexpr UINT WIM_CLOSE = 0x3BF;
inline constexpr UINT WIM_DATA = 0x3C0;

inline constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);

inline constexpr DWORD WAVE_FORMAT_QUERY = 0x00000001;
inline constexpr DWORD CALLBACK_TYPEMASK = 0x00070000;
inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD CALLBACK_WINDOW = 0x00010000;
inline constexpr DWORD CALLBACK_FUNCTION = 0x00030000;

// The function a CALLBACK_FUNCTION capture device calls, on the device's own
// thread, with the header it hands back as dwParam1 for WIM_DATA.
using WAVEINPROC = void (*)(HWAVEIN hwi, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                            DWORD_PTR dwParam2);

// Capture side.
MMRESULT waveInOpen(HWAVEIN* phwi, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
MMRESULT waveInStop(HWAVEIN hwi);
MMRESULT waveInReset(HWAVEIN hwi);
MMRESULT waveInClose(HWAVEIN hwi);

// Playback side.
MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutReset(HWAVEOUT hwo);
MMRESULT waveOutClose(HWAVEOUT hwo);

// Not part of the classic API: bytes of captured sound the device had to
// drop because no header was queued when they arrived. Read by tests and
// benchmarks.
MMRESULT waveInGetDroppedBytes(HWAVEIN hwi, std::uint64_t* bytes);
// Also not classic: bytes written for playback that were dropped rather than
// played late (the output was suspended or the server away) or refused.
MMRESULT waveOutGetDroppedBytes(HWAVEOUT hwo, std::uint64_t* bytes);
