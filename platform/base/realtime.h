// Real-time scheduling for the threads that carry sound, and thread names.
// Both act on the calling thread only, once, as it starts: never from the
// capture callback path.
#pragma once

namespace realtime {

// What top -H, a debugger and /proc/PID/task/*/comm show for the calling
// thread; longer names are cut to the kernel's 15 characters.
void NameThisThread(const char* name);

// Asks for real-time scheduling for the calling thread (see realtime.cpp for
// the policy). Waits a bounded time at most, never fails and says nothing:
// without it the thread runs as before.
void MakeThisThreadRealtime();

} // namespace realtime
