// Waiting in tests without fixed sleeps: poll a condition every millisecond
// until it holds or the time is up. The limits are generous bounds for a
// loaded machine, never the thing under test.
#pragma once

#include <chrono>
#include <thread>

namespace testwait {

// Between polls, `idle` runs (e.g. to turn the event loop).
template <class Cond, class Idle = void (*)()>
bool WaitUntil(
    Cond cond, std::chrono::milliseconds timeout = std::chrono::seconds(2), Idle idle = [] {}) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        idle();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace testwait
