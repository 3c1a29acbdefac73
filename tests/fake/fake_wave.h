// A scripted wave-audio device in memory, linked in place of the real one by
// the tests that need faults a sound server cannot be made to produce.
//
// It keeps the header protocol of the real layer (prepare, queue, hand back,
// WAVERR_STILLPLAYING while a header is queued, reset hands every queued
// header back with WIM_DATA) but nothing happens on its own: a test hands
// back a captured block with Complete(), on the thread that calls it, so the
// test thread plays the audio thread. Every call is logged, and any call can
// be told to answer a given result instead, or to run a hook before it
// returns.
//
// Thread-safe: calls and the test's own functions may come from any thread.
#pragma once

#include "mmsystem.h"

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fakewave {

// One call as the device saw it. A header handed back to the capture
// callback is logged as a call named "WIM_DATA".
struct Call {
    std::string function;
    const WAVEHDR* header = nullptr;
    MMRESULT result = MMSYSERR_NOERROR;
    std::thread::id thread;
    std::chrono::steady_clock::time_point at;
};

// Back to a device with nothing open, nothing scripted and an empty log.
void Reset();

// The next `times` calls of function (every later one when times < 0)
// answer result and do nothing else.
void Answer(const std::string& function, MMRESULT result, int times = -1);

// Runs inside every later call of function, once its effect has taken place
// and it has been logged, just before it returns; with the call's header
// (or none). The device's lock is not held, so the hook may call the device
// again or block. An empty hook removes it.
void Hook(const std::string& function, std::function<void(WAVEHDR*)> hook);

// Hands back the oldest header queued at a started capture device, done and
// full (dwBytesRecorded = dwBufferLength), and calls the device's callback
// with WIM_DATA on this thread. Returns that header, or nullptr when no
// started device holds one.
WAVEHDR* Complete();

// The calls so far, in the order they took effect.
std::vector<Call> Log();

// The headers queued at capture devices, oldest first.
std::vector<WAVEHDR*> Queued();

} // namespace fakewave
