// How other threads wake a stream thread, on both backends.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace wave {

// An eventfd the stream thread polls beside its sound. Wake() sets it from
// any thread; only the stream thread clears it, once poll() has returned
// and before it looks for work. A wake that comes while the thread is
// working, after it looked, stays set, and the next poll() returns at once:
// no wake is ever lost, however the two threads interleave.
class WakeFd {
public:
    WakeFd() = default;
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;
    ~WakeFd() {
        if (fd >= 0)
            close(fd);
    }

    // False when the system has no descriptor to spare.
    bool Open() {
        fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        return fd >= 0;
    }
    int Get() const { return fd; }

    void Wake() const {
        const std::uint64_t one = 1;
        // A full counter already means "woken".
        [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
    }

    // Stream thread only.
    void Clear() const {
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = read(fd, &value, sizeof value);
    }

private:
    int fd = -1;
};

} // namespace wave
