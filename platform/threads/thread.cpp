// Worker threads on futexes.
//
// All the control of a worker lives in one 32-bit word, so that Resume(),
// Suspend() and Terminate() are a compare-and-swap plus at most one
// FUTEX_WAKE: no lock, no allocation and nothing that can block, which is what
// lets the audio callback call them. The worker itself blocks with FUTEX_WAIT
// on the same word, and any change to it (a resume, a suspend request,
// destruction) wakes it to look again.
//
// Destruction ends a body by throwing a private stop exception out of the
// next suspension point (Suspend() or Sleep() on the worker's thread); the
// thread's entry function catches it. Bodies must therefore not swallow it: a
// catch (...) in a body has to rethrow. It does not derive from
// std::exception, so catch (const std::exception&) lets it pass.
#include "thread.h"

#include "realtime.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Bits of the control word.
constexpr std::uint32_t kStopped = 1u << 0; // the worker waits at a suspension point
constexpr std::uint32_t kRequest = 1u << 1; // another thread asked it to stop there
constexpr std::uint32_t kDestroy = 1u << 2; // its owner is destroying it: unwind
// Until the owner has stored the thread handle: a body that destroys its own
// object at once must find the handle in place.
constexpr std::uint32_t kLaunching = 1u << 3;

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the control word is handed to the kernel as a plain 32-bit futex");

// Thrown out of a suspension point to end a body that is being destroyed.
struct StopWorker {};

std::uint32_t* FutexAddress(std::atomic<std::uint32_t>& word) {
    return reinterpret_cast<std::uint32_t*>(&word);
}

void FutexWakeAll(std::atomic<std::uint32_t>& word) {
    syscall(SYS_futex, FutexAddress(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX, nullptr,
            nullptr, 0);
}

// Blocks while word still holds expected, until woken, or until the absolute
// CLOCK_MONOTONIC time deadline (nullptr: no deadline). Spurious returns are
// possible; callers re-check their condition.
void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, const timespec* deadline) {
    syscall(SYS_futex, FutexAddress(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected,
            deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

std::int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

timespec ToTimespec(std::int64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return ts;
}

struct Core {
    explicit Core(bool createSuspended) : word(kLaunching | (createSuspended ? kStopped : 0)) {}

    std::atomic<std::uint32_t> word;
    std::atomic<bool> terminated{false};
    std::atomic<TThreadPriority> priority{tpNormal};
    // Set once the body has ended; publishes fatal.
    std::atomic<bool> finished{false};
    std::exception_ptr fatal;
    // Touched by the owning thread only.
    std::thread thread;
    bool started = false;
    // Set when the worker destroyed its own object: the thread was detached,
    // and its entry function frees this record when it ends. Written and read
    // on the worker's thread only.
    bool orphaned = false;

    // Stops the calling worker here until Resume(). Throws StopWorker if the
    // worker is being destroyed, before or while it waits.
    void Pause() {
        std::uint32_t w = word.load();
        do {
            if (w & kDestroy) {
                throw StopWorker{};
            }
        } while (!word.compare_exchange_weak(w, (w | kStopped) & ~kRequest));
        WaitWhile(kStopped);
    }

    void WaitWhile(std::uint32_t bits) {
        for (;;) {
            std::uint32_t w = word.load();
            if (w & kDestroy) {
                throw StopWorker{};
            }
            if (!(w & bits)) {
                return;
            }
            FutexWait(word, w, nullptr);
        }
    }

    // Sleep() on the worker's own thread: a suspension point for the whole
    // wait. Time spent stopped does not count towards ms.
    void SleepHere(DWORD ms) {
        std::int64_t deadline = MonotonicNs() + std::int64_t{ms} * 1'000'000;
        for (;;) {
            std::uint32_t w = word.load();
            if (w & kDestroy) {
                throw StopWorker{};
            }
            if (w & kRequest) {
                std::int64_t rest = deadline - MonotonicNs();
                Pause();
                deadline = MonotonicNs() + (rest > 0 ? rest : 0);
                continue;
            }
            if (MonotonicNs() >= deadline) {
                return;
            }
            timespec until = ToTimespec(deadline);
            FutexWait(word, w, &until);
        }
    }
};

// The worker record of the calling thread, or nullptr on any other thread.
thread_local Core* currentWorker = nullptr;

} // namespace

struct TThread::State : Core {
    using Core::Core;
};

TThread::TThread(bool createSuspended) : state_(std::make_unique<State>(createSuspended)) {}

TThread::~TThread() {
    BeforeDestruction();
    if (state_->orphaned) {
        // The thread, detached, still runs on this record; it frees it.
        static_cast<void>(state_.release());
    }
}

void TThread::AfterConstruction() {
    State& s = *state_;
    if (s.started) {
        return;
    }
    s.started = true;
    s.thread = std::thread([this, core = static_cast<Core*>(&s)] {
        currentWorker = core;
        if (core->priority.load() == tpTimeCritical) {
            realtime::MakeThisThreadRealtime();
        }
        try {
            // A worker created suspended waits for its first Resume() before
            // the body runs at all.
            core->WaitWhile(kLaunching);
            core->WaitWhile(kStopped);
            Execute();
        } catch (const StopWorker&) {
        } catch (...) {
            core->fatal = std::current_exception();
        }
        // From here on the object may be gone; only the record is used.
        core->word.fetch_and(~kStopped);
        currentWorker = nullptr;
        const bool orphaned = core->orphaned;
        core->finished.store(true, std::memory_order_release);
        if (orphaned) {
            delete static_cast<State*>(core);
        }
    });
    s.word.fetch_and(~kLaunching);
    FutexWakeAll(s.word);
}

void TThread::BeforeDestruction() {
    State& s = *state_;
    if (!s.thread.joinable()) {
        return;
    }
    s.terminated.store(true);
    s.word.fetch_or(kDestroy);
    FutexWakeAll(s.word);
    if (s.thread.get_id() == std::this_thread::get_id()) {
        // Destroyed from its own body: joining would wait for ourselves. The
        // thread is let go instead; the body ends at its next suspension
        // point and must not touch the object after destroying it.
        s.orphaned = true;
        s.thread.detach();
        return;
    }
    s.thread.join();
}

void TThread::Resume() {
    State& s = *state_;
    std::uint32_t w = s.word.load();
    do {
        if (!(w & kStopped)) {
            return; // not stopped: nothing to undo, and nothing is remembered
        }
    } while (!s.word.compare_exchange_weak(w, w & ~kStopped));
    FutexWakeAll(s.word);
}

void TThread::Suspend() {
    State& s = *state_;
    if (currentWorker == &s) {
        s.Pause();
        return;
    }
    std::uint32_t w = s.word.load();
    do {
        // Already stopped (suspension does not nest) or already asked.
        if (w & (kStopped | kRequest | kDestroy)) {
            return;
        }
    } while (!s.word.compare_exchange_weak(w, w | kRequest));
    // A worker inside Sleep() stops at once.
    FutexWakeAll(s.word);
}

void TThread::Terminate() {
    state_->terminated.store(true);
}

bool TThread::Terminated() const {
    return state_->terminated.load();
}

bool TThread::Suspended() const {
    return (state_->word.load() & kStopped) != 0;
}

std::exception_ptr TThread::FatalException() const {
    if (!state_->finished.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return state_->fatal;
}

TThreadPriority TThread::GetPriority() const {
    return state_->priority.load();
}

void TThread::SetPriority(TThreadPriority value) {
    state_->priority.store(value);
}

void TThread::NameThreadForDebugging(const char* name) {
    realtime::NameThisThread(name);
}

void Sleep(DWORD ms) {
    if (currentWorker != nullptr) {
        currentWorker->SleepHere(ms);
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec until = ToTimespec(std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec +
                                std::int64_t{ms} * 1'000'000);
    // Absolute deadline: a signal that interrupts the wait does not shorten it.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
