// The worker contract the display and playback workers rely on: when a body
// runs, what Resume, Suspend and Terminate do to it, how Sleep pauses, and
// that destroying a worker never hangs and never lets the rest of a pass run.
#include "thread.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A worker whose body is given by the test.
class Worker : public TThread {
public:
    Worker(bool createSuspended, std::function<void(Worker&)> body)
        : TThread(createSuspended), body_(std::move(body)) {
        AfterConstruction();
    }
    ~Worker() override { BeforeDestruction(); }

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(Worker&)> body_;
};

using testwait::WaitUntil;

// How long a worker may take to start, stop or end on a loaded machine.
constexpr milliseconds kWorkerBound{5000};

// Destroys the worker and returns how long that took.
milliseconds TimeDestruction(std::unique_ptr<Worker>& worker) {
    const auto start = Clock::now();
    worker.reset();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Waits for the worker to be past any start-up, then a little longer, so that
// anything it would wrongly do next has had time to happen.
void Settle() {
    std::this_thread::sleep_for(milliseconds(50));
}

TEST(WorkerStart, CreatedSuspendedRunsNothingUntilTheFirstResume) {
    std::atomic<int> runs{0};
    auto worker = std::make_unique<Worker>(true, [&](Worker&) { ++runs; });
    Settle();
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(worker->Suspended());

    worker->Resume();
    EXPECT_TRUE(WaitUntil([&] { return runs == 1; }, kWorkerBound));
}

// A worker that sets its own state up after the base is built, and starts
// only when the test says its construction is complete.
class LateStart : public TThread {
public:
    explicit LateStart(std::atomic<int>& seen) : TThread(false), seen_(seen) { value_ = 42; }
    ~LateStart() override { BeforeDestruction(); }
    void Finish() { AfterConstruction(); }

protected:
    void Execute() override { seen_ = value_; }

private:
    std::atomic<int>& seen_;
    int value_ = 0;
};

TEST(WorkerStart, BodyWaitsUntilConstructionIsComplete) {
    std::atomic<int> seen{-1};
    LateStart worker(seen);
    Settle();
    EXPECT_EQ(seen, -1);
    worker.Finish();
    EXPECT_TRUE(WaitUntil([&] { return seen == 42; }, kWorkerBound));
}

TEST(WorkerResume, ResumeReachingARunningWorkerIsNotRemembered) {
    std::atomic<int> passes{0};
    std::atomic<bool> go{false};
    auto worker = std::make_unique<Worker>(true, [&](Worker& self) {
        while (!self.Terminated()) {
            ++passes;
            while (!go.exchange(false)) {
                std::this_thread::yield();
            }
            self.Suspend();
        }
    });
    worker->Resume();
    ASSERT_TRUE(WaitUntil([&] { return passes == 1; }, kWorkerBound));

    worker->Resume(); // reaches the worker mid-pass
    go = true;
    ASSERT_TRUE(WaitUntil([&] { return worker->Suspended(); }, kWorkerBound));
    Settle();
    EXPECT_EQ(passes, 1);
    EXPECT_TRUE(worker->Suspended());

    worker->Resume(); // reaches it stopped: one more pass
    ASSERT_TRUE(WaitUntil([&] { return passes == 2; }, kWorkerBound));
    go = true;
    ASSERT_TRUE(WaitUntil([&] { return worker->Suspended(); }, kWorkerBound));
}

TEST(WorkerResume, TerminateOnlySetsTheRequest) {
    std::atomic<int> passes{0};
    std::atomic<bool> ended{false};
    auto worker = std::make_unique<Worker>(false, [&](Worker& self) {
        while (!self.Terminated()) {
            ++passes;
            self.Suspend();
        }
        ended = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return worker->Suspended(); }, kWorkerBound));
    EXPECT_FALSE(worker->Terminated());

    worker->Terminate();
    EXPECT_TRUE(worker->Terminated());
    Settle();
    EXPECT_TRUE(worker->Suspended());
    EXPECT_EQ(passes, 1);
    EXPECT_FALSE(ended);

    worker->Resume();
    EXPECT_TRUE(WaitUntil([&] { return ended.load(); }, kWorkerBound));
    EXPECT_EQ(passes, 1);
}

TEST(WorkerSuspend, RequestFromAnotherThreadPausesSleepAndTheRestOfTheWaitFollowsResume) {
    std::atomic<bool> done{false};
    std::atomic<long long> sleptMs{0};
    auto worker = std::make_unique<Worker>(true, [&](Worker& self) {
        const auto start = Clock::now();
        Sleep(200);
        sleptMs = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        done = true;
        self.Suspend();
    });
    worker->Resume();
    std::this_thread::sleep_for(milliseconds(50));

    worker->Suspend();
    ASSERT_TRUE(WaitUntil([&] { return worker->Suspended(); }, kWorkerBound));
    const auto pauseStart = Clock::now();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(done) << "the wait ran on while the worker was stopped";
    const auto paused = std::chrono::duration_cast<milliseconds>(Clock::now() - pauseStart);
    worker->Resume();

    ASSERT_TRUE(WaitUntil([&] { return done.load(); }, kWorkerBound));
    // The clock stops while the worker is stopped: the whole 200 ms are still
    // waited, on top of the pause.
    EXPECT_GE(sleptMs, 200 + paused.count());
}

TEST(WorkerSuspend, PendingRequestSurvivesAResumeThatFindsTheWorkerRunning) {
    std::atomic<int> stage{0};
    std::atomic<bool> go{false};
    auto worker = std::make_unique<Worker>(true, [&](Worker& self) {
        stage = 1;
        while (!go) {
            std::this_thread::yield();
        }
        Sleep(1);
        stage = 2;
        self.Suspend();
    });
    worker->Resume();
    ASSERT_TRUE(WaitUntil([&] { return stage == 1; }, kWorkerBound));

    worker->Suspend();
    worker->Resume(); // the worker is still running: no effect
    go = true;
    ASSERT_TRUE(WaitUntil([&] { return worker->Suspended(); }, kWorkerBound));
    Settle();
    EXPECT_EQ(stage, 1) << "the request should have stopped the worker inside Sleep";

    worker->Resume();
    EXPECT_TRUE(WaitUntil([&] { return stage == 2; }, kWorkerBound));
}

TEST(WorkerSuspend, SuspensionDoesNotNest) {
    std::atomic<int> passes{0};
    std::atomic<int> slept{0};
    auto worker = std::make_unique<Worker>(false, [&](Worker& self) {
        while (!self.Terminated()) {
            ++passes;
            Sleep(1);
            ++slept;
            self.Suspend();
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return slept == 1 && worker->Suspended(); }, kWorkerBound));

    // Requests that reach a stopped worker add nothing for later: one Resume
    // lets a whole pass run, Sleep included.
    worker->Suspend();
    worker->Suspend();
    worker->Resume();
    EXPECT_TRUE(WaitUntil([&] { return slept == 2 && worker->Suspended(); }, kWorkerBound));
    EXPECT_EQ(passes, 2);
}

// Destruction must end the body within this bound, whatever it is doing.
constexpr milliseconds kDestroyBound{200};

// Never resumed, suspended by itself, in the middle of a long sleep, or
// stopped inside it by another thread: the rest of the pass never runs.
TEST(WorkerDestruction, EndsAWorkerWhereverItStandsWithoutRunningTheRestOfThePass) {
    enum class At { NeverResumed, SuspendedItself, InALongSleep, StoppedInsideSleep };
    for (const At at :
         {At::NeverResumed, At::SuspendedItself, At::InALongSleep, At::StoppedInsideSleep}) {
        SCOPED_TRACE(static_cast<int>(at));
        std::atomic<bool> entered{false};
        std::atomic<bool> rest{false};
        auto worker = std::make_unique<Worker>(at == At::NeverResumed, [&](Worker& self) {
            entered = true;
            if (at == At::SuspendedItself) {
                self.Suspend();
            } else {
                Sleep(10000);
            }
            rest = true;
        });
        if (at == At::StoppedInsideSleep) {
            worker->Suspend();
        }
        if (at == At::InALongSleep) {
            ASSERT_TRUE(WaitUntil([&] { return entered.load(); }, kWorkerBound));
            std::this_thread::sleep_for(milliseconds(20));
        } else if (at != At::NeverResumed) {
            ASSERT_TRUE(WaitUntil([&] { return worker->Suspended(); }, kWorkerBound));
        }
        EXPECT_LT(TimeDestruction(worker), kDestroyBound);
        EXPECT_FALSE(rest);
        EXPECT_TRUE(at != At::NeverResumed || !entered);
    }
}

TEST(WorkerDestruction, EndsABodyThatNeverEndsOnItsOwn) {
    std::atomic<int> loops{0};
    auto worker = std::make_unique<Worker>(false, [&](Worker&) {
        for (;;) {
            Sleep(1);
            ++loops;
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return loops > 3; }, kWorkerBound));
    EXPECT_LT(TimeDestruction(worker), kDestroyBound);
    const int atEnd = loops;
    Settle();
    EXPECT_EQ(loops, atEnd);
}

TEST(WorkerDestruction, IsNotStoppedByABodyCatchingStandardExceptions) {
    std::atomic<bool> entered{false};
    std::atomic<bool> caught{false};
    auto worker = std::make_unique<Worker>(false, [&](Worker&) {
        // Bounded, so that a wrongly swallowed stop ends the test, not hangs it.
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                entered = true;
                Sleep(10000);
            } catch (const std::exception&) {
                caught = true;
            }
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }, kWorkerBound));
    EXPECT_LT(TimeDestruction(worker), kDestroyBound);
    EXPECT_FALSE(caught);
}

struct SelfDestructionProbe {
    std::atomic<bool> deleted{false};
    std::atomic<bool> unwound{false};
    std::atomic<bool> afterSleep{false};
};

// Destroys its own object from its body.
class SelfDestroying : public TThread {
public:
    explicit SelfDestroying(SelfDestructionProbe& probe) : TThread(false), probe_(probe) {
        AfterConstruction();
    }
    ~SelfDestroying() override { BeforeDestruction(); }

protected:
    void Execute() override {
        SelfDestructionProbe& probe = probe_;
        struct Unwound {
            SelfDestructionProbe& probe;
            ~Unwound() { probe.unwound = true; }
        } guard{probe};
        delete this;
        probe.deleted = true;
        Sleep(1);
        probe.afterSleep = true;
    }

private:
    SelfDestructionProbe& probe_;
};

TEST(WorkerDestruction, FromItsOwnBodyDoesNotDeadlockAndEndsAtTheNextSuspensionPoint) {
    SelfDestructionProbe probe;
    new SelfDestroying(probe);
    ASSERT_TRUE(WaitUntil([&] { return probe.unwound.load(); }, kWorkerBound));
    EXPECT_TRUE(probe.deleted);
    EXPECT_FALSE(probe.afterSleep);
    Settle(); // let the detached thread finish before the probe goes
}

TEST(WorkerFailure, AnExceptionEscapingTheBodyIsKeptAndANormalEndKeepsNone) {
    auto failed =
        std::make_unique<Worker>(false, [](Worker&) { throw std::runtime_error("device gone"); });
    std::atomic<bool> done{false};
    auto ended = std::make_unique<Worker>(false, [&](Worker&) { done = true; });
    ASSERT_TRUE(WaitUntil([&] { return failed->FatalException() != nullptr; }, kWorkerBound));
    try {
        std::rethrow_exception(failed->FatalException());
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "device gone");
    }
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }, kWorkerBound));
    Settle();
    EXPECT_EQ(ended->FatalException(), nullptr);
}

TEST(SleepTest, NeverReturnsEarlierThanAsked) {
    const auto allLongEnough = [] {
        for (DWORD ms : {0u, 1u, 20u, 60u}) {
            const auto start = Clock::now();
            Sleep(ms);
            if (Clock::now() - start < milliseconds(ms)) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(allLongEnough()) << "a Sleep on a plain thread returned early";
    std::atomic<int> onWorker{-1};
    auto worker = std::make_unique<Worker>(false, [&](Worker&) { onWorker = allLongEnough(); });
    ASSERT_TRUE(WaitUntil([&] { return onWorker >= 0; }, kWorkerBound));
    EXPECT_EQ(onWorker, 1) << "a Sleep on a worker's thread returned early";
}

} // namespace
