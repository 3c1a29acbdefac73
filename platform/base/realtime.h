// Real-time scheduling for the threads that carry sound, and thread names.
// Both act on the calling thread only, once, as it starts: never from the
// capture callback path.
#pragma once

namespace realtime {

// What top -H, a debugger and /proc/PID/task/*/comm show for the calling
// thread; longer names are cut to the kernel's 15 characters.
void NameThisThread(const char* name);

// Whether this build asks at all. ThreadSanitizer matches every race it sees
// inside the uninstrumented sound library against its suppressions, which
// symbolizes both stacks on the thread that raced: at real-time priority
// that ran past RLIMIT_RTTIME, and the kernel ended the process with SIGXCPU.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kAsked = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kAsked = false;
#else
inline constexpr bool kAsked = true;
#endif
#else
inline constexpr bool kAsked = true;
#endif

// Asks for real-time scheduling for the calling thread (see realtime.cpp for
// the policy). Waits a bounded time at most, never fails and says nothing:
// without it the thread runs as before.
void MakeThisThreadRealtime();

} // namespace realtime
