// Helpers for tests that reach the private test sound server started by
// scripts/test.sh (or by sourcing scripts/test-sound-server.sh): PULSE_SERVER
// points at it, its default source "in" is a 441 Hz sine and its default
// sink "out" is a null sink, 44.1 kHz stereo.
//
// Audio tests must skip when there is no such server, so they never touch a
// user's own:
//
//     if (!HaveTestSoundServer()) GTEST_SKIP() << "no test sound server";
//
// To check what the program plays, start a SinkRecorder before anything is
// played and wait for Ready(): a null sink's monitor only answers after
// about 1.5 s unless a low-latency reader is already attached.
//
//     SinkRecorder out;
//     ASSERT_TRUE(out.Ready());
//     ... play ...
//     EXPECT_GE(out.WaitFor(block.data(), block.size(), 2s), 0);
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsound {

// True when TEST_SOUND_DIR or PULSE_SERVER names a server for the tests.
bool HaveTestSoundServer();

// Records, from construction until destruction, everything the sink plays
// as 16-bit little-endian stereo at 44.1 kHz, read from "out.monitor" (or
// another source) with about 10 ms latency on a thread of its own.
class SinkRecorder {
public:
    explicit SinkRecorder(const char* source = "out.monitor");
    ~SinkRecorder();
    SinkRecorder(const SinkRecorder&) = delete;
    SinkRecorder& operator=(const SinkRecorder&) = delete;

    // Waits until the source delivers sound. False if it could not connect
    // or nothing came within `timeout`.
    bool Ready(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Everything recorded since construction or the last Clear().
    std::vector<std::uint8_t> Bytes() const;
    std::vector<std::int16_t> Samples() const;
    void Clear();

    // Waits until `pattern` shows up bit for bit in what is recorded and
    // returns its byte offset, or -1 after `timeout`.
    std::ptrdiff_t WaitFor(const void* pattern, std::size_t bytes,
                           std::chrono::milliseconds timeout);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// Runs a shell command (pactl ...) on the server PULSE_SERVER names and
// returns what it printed.
std::string Shell(const std::string& command);

// The sound library's own threads in this process (the recorders', and on
// ALSA the PulseAudio plug-in's, which alone carries what the program writes
// to the server) run in real time, as the server's own I/O thread: at normal
// priority a busy machine held them off the CPU for 50 to 90 ms, the server
// ran dry, and it dropped the start of a block that came on time. Needs the
// right to; without it nothing changes.
void SoundLibraryThreadsInRealTime();

// A sound server of the test's own, of the same kind as the shared one
// (TEST_SOUND_KIND), for tests that stop and start it: PULSE_SERVER,
// TEST_SOUND_DIR and the client settings point at it from Start() on, for
// the rest of the process. Kill() ends it (every process of it) at once;
// Start() again brings it back at the same socket. Killed at destruction.
class PrivateSoundServer {
public:
    PrivateSoundServer();
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // Starts it and waits until it answers; false if it does not.
    bool Start();
    void Kill();
    // Stops every process of it (SIGSTOP) or lets them go on (SIGCONT): a
    // server that hangs with its socket open.
    void Freeze(bool frozen);

private:
    std::string dir;
    std::vector<long> pids;
};

} // namespace testsound
