// The threads that carry sound (the capture stream's, the playback stream's
// and the playback worker) each ask for real-time scheduling when they start,
// as sound servers and browsers do, so that a machine busy with other work
// does not hold them up past a block period:
//
//   1. Directly: SCHED_FIFO at kPriority, with SCHED_RESET_ON_FORK so that
//      nothing this thread starts inherits it. The priority is clamped to a
//      non-zero RLIMIT_RTPRIO; with RLIMIT_RTPRIO at 0 only a capability
//      (CAP_SYS_NICE) can allow it, so kPriority is asked for as it is.
//   2. Otherwise through RealtimeKit on the system bus: RLIMIT_RTTIME no
//      higher than its RTTimeUSecMax, then MakeThreadRealtimeWithPID at
//      kPriority clamped to its MaxRealtimePriority; refused that,
//      MakeThreadHighPriorityWithPID at kNice, no lower than its
//      MinNiceLevel.
//   3. Otherwise nothing: the thread runs at normal priority as before.
//      Nothing fails and nothing is shown or logged either way.
//
// RLIMIT_RTTIME is set before any of it, whichever way it ends: a real-time
// thread that runs for kRtTimeMicros / 2 without sleeping gets SIGXCPU, and
// SIGKILL at kRtTimeMicros, instead of freezing the desktop. The sound
// threads sleep every few milliseconds.
//
// kPriority stays below the sound server's own threads (PulseAudio's 5,
// PipeWire's higher): the server feeds capture and drains playback, and this
// program must never hold it up.
//
// Every bus call waits kCallTimeout at most, and one thread's whole attempt
// kAttemptBudget. A bus that did not answer in time is not asked again by
// any later thread, so a hung bus costs one thread start one budget, once.
// The display worker never asks: it holds the canvas lock and talks to the
// display server, and must not hold up the desktop.
#include "realtime.h"

#include <dbus/dbus.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace realtime {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPriority = 4;
constexpr int kNice = -11;
constexpr rlim_t kRtTimeMicros = 200'000;
constexpr auto kCallTimeout = std::chrono::milliseconds(150);
constexpr auto kAttemptBudget = std::chrono::milliseconds(300);
constexpr const char* kDefaultSystemBus = "unix:path=/var/run/dbus/system_bus_socket";
constexpr const char* kRtkitName = "org.freedesktop.RealtimeKit1";
constexpr const char* kRtkitPath = "/org/freedesktop/RealtimeKit1";

// Set once a bus call went unanswered: later threads do not wait on it.
std::atomic<bool> busSilent{false};

// Lowers RLIMIT_RTTIME to at most `micros`, never raises it.
void LimitRtTime(rlim_t micros) {
    rlimit now{};
    if (getrlimit(RLIMIT_RTTIME, &now) != 0)
        return;
    const rlim_t hard = std::min(now.rlim_max, micros);
    const rlimit wanted{std::min(now.rlim_cur, hard / 2), hard};
    if (wanted.rlim_cur != now.rlim_cur || wanted.rlim_max != now.rlim_max)
        setrlimit(RLIMIT_RTTIME, &wanted);
}

bool Direct() {
    int priority = kPriority;
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0)
        priority = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, kPriority));
    sched_param param{};
    param.sched_priority = priority;
    return sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

struct ConnectionClose {
    void operator()(DBusConnection* c) const {
        dbus_connection_close(c);
        dbus_connection_unref(c);
    }
};
struct MessageUnref {
    void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

class Error {
public:
    Error() { dbus_error_init(&error); }
    ~Error() { dbus_error_free(&error); }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    DBusError* operator&() { return &error; }
    bool TimedOut() const {
        return dbus_error_is_set(&error) && (dbus_error_has_name(&error, DBUS_ERROR_NO_REPLY) ||
                                             dbus_error_has_name(&error, DBUS_ERROR_TIMEOUT));
    }

private:
    DBusError error;
};

// One private connection to the system bus, for one thread's request.
class SystemBus {
public:
    SystemBus() : deadline(Clock::now() + kAttemptBudget) {
        // Left to itself the library would ignore SIGPIPE for the whole
        // process; its sockets need no such help.
        static std::once_flag sigpipe;
        std::call_once(sigpipe, [] { dbus_connection_set_change_sigpipe(FALSE); });
        const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        Error error;
        connection.reset(
            dbus_connection_open_private(address ? address : kDefaultSystemBus, &error));
        if (!connection)
            return;
        dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
        // The library's own registration would wait 25 seconds for the bus.
        Message hello(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                   DBUS_INTERFACE_DBUS, "Hello"));
        if (!hello || !Call(std::move(hello)))
            connection.reset();
    }

    explicit operator bool() const { return connection != nullptr; }

    // The answer, or null for an error, a refusal or no answer in time.
    Message Call(Message request) {
        if (!request || busSilent.load())
            return nullptr;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::min<Clock::duration>(deadline - Clock::now(), kCallTimeout));
        if (left.count() <= 0)
            return nullptr;
        Error error;
        Message reply(dbus_connection_send_with_reply_and_block(
            connection.get(), request.get(), static_cast<int>(left.count()), &error));
        if (error.TimedOut())
            busSilent.store(true);
        return reply;
    }

    // A property of RealtimeKit's, or `fallback` when it has none to give.
    template <class T> T Property(const char* name, int type, T fallback) {
        Message request(
            dbus_message_new_method_call(kRtkitName, kRtkitPath, DBUS_INTERFACE_PROPERTIES, "Get"));
        const char* interface = kRtkitName;
        if (!request || !dbus_message_append_args(request.get(), DBUS_TYPE_STRING, &interface,
                                                  DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID))
            return fallback;
        Message reply = Call(std::move(request));
        DBusMessageIter top;
        DBusMessageIter variant;
        if (!reply || !dbus_message_iter_init(reply.get(), &top) ||
            dbus_message_iter_get_arg_type(&top) != DBUS_TYPE_VARIANT)
            return fallback;
        dbus_message_iter_recurse(&top, &variant);
        if (dbus_message_iter_get_arg_type(&variant) != type)
            return fallback;
        T value{};
        dbus_message_iter_get_basic(&variant, &value);
        return value;
    }

    // Calls one of RealtimeKit's MakeThread...WithPID methods for the
    // calling thread; true when it did what was asked.
    template <class T> bool MakeThread(const char* method, int type, T level) {
        Message request(dbus_message_new_method_call(kRtkitName, kRtkitPath, kRtkitName, method));
        const dbus_uint64_t pid = static_cast<dbus_uint64_t>(getpid());
        const dbus_uint64_t tid = static_cast<dbus_uint64_t>(gettid());
        if (!request ||
            !dbus_message_append_args(request.get(), DBUS_TYPE_UINT64, &pid, DBUS_TYPE_UINT64, &tid,
                                      type, &level, DBUS_TYPE_INVALID))
            return false;
        return Call(std::move(request)) != nullptr;
    }

private:
    Clock::time_point deadline;
    std::unique_ptr<DBusConnection, ConnectionClose> connection;
};

void ThroughRealtimeKit() {
    // One thread in the library at a time: it sets up its own global locks
    // lazily, out of sight of the race detector.
    static std::mutex one;
    std::lock_guard guard(one);
    if (busSilent.load())
        return;
    SystemBus bus;
    if (!bus)
        return;
    const dbus_int32_t most = bus.Property<dbus_int32_t>("MaxRealtimePriority", DBUS_TYPE_INT32, 0);
    const dbus_int64_t rtTime = bus.Property<dbus_int64_t>("RTTimeUSecMax", DBUS_TYPE_INT64, 0);
    if (most > 0 && rtTime > 0) {
        LimitRtTime(static_cast<rlim_t>(rtTime));
        const dbus_uint32_t priority = static_cast<dbus_uint32_t>(std::min(most, kPriority));
        if (bus.MakeThread("MakeThreadRealtimeWithPID", DBUS_TYPE_UINT32, priority))
            return;
    }
    const dbus_int32_t least = bus.Property<dbus_int32_t>("MinNiceLevel", DBUS_TYPE_INT32, kNice);
    const dbus_int32_t nice = std::max(least, kNice);
    bus.MakeThread("MakeThreadHighPriorityWithPID", DBUS_TYPE_INT32, nice);
}

} // namespace

void NameThisThread(const char* name) {
    char cut[16] = {};
    std::strncpy(cut, name, sizeof cut - 1);
    pthread_setname_np(pthread_self(), cut);
}

void MakeThisThreadRealtime() {
    if constexpr (!kAsked)
        return;
    LimitRtTime(kRtTimeMicros);
    if (!Direct())
        ThroughRealtimeKit();
}

} // namespace realtime
