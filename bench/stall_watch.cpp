// Prints each moment the machine held a real-time thread off its CPU for
// longer than a limit: one thread a CPU, each pinned to its CPU and woken
// every 2 ms, prints the wall-clock time (seconds since the epoch) of a
// wake-up that came late, and how late. scripts/soak.sh runs it beside the
// program, so a heard block that came out cut can be laid beside what the
// machine did then: a stall that held everything up, or nothing at all.
//
//   stall_watch [LIMIT_MS]   # 5 by default
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

double Millis(const timespec& t) {
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void Watch(int cpu, double limit) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    sched_param param{};
    param.sched_priority = 50;
    // Without the right to, it still watches, and sees the load too.
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        next.tv_nsec += 2'000'000;
        if (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double late = Millis(now) - Millis(next);
        if (late > limit) {
            timespec wall{};
            clock_gettime(CLOCK_REALTIME, &wall);
            std::printf("%.3f %d %.1f\n", Millis(wall) / 1e3, cpu, late);
            std::fflush(stdout);
            next = now;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const double limit = argc > 1 ? std::atof(argv[1]) : 5.0;
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    std::vector<std::thread> threads;
    for (int cpu = 0; cpu < cpus; ++cpu)
        threads.emplace_back(Watch, cpu, limit);
    for (auto& t : threads)
        t.join();
}
