#include "sound_server.h"

#include <pulse/pulseaudio.h>

#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

namespace testsound {

namespace {

// The test server's own socket. Tests that run the device layer on ALSA
// point PULSE_SERVER nowhere, so the program finds no server; the tests'
// own tools still reach it here.
std::string TestServerAddress() {
    const char* dir = std::getenv("TEST_SOUND_DIR");
    if (dir != nullptr && *dir != '\0')
        return std::string("unix:") + dir + "/sock";
    const char* server = std::getenv("PULSE_SERVER");
    return server != nullptr ? server : "";
}

} // namespace

bool HaveTestSoundServer() {
    return !TestServerAddress().empty();
}

struct SinkRecorder::Impl {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;

    mutable std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::uint8_t> recorded;
    bool flowing = false;
    bool failed = false;

    static void ContextState(pa_context* c, void* self) {
        auto* impl = static_cast<Impl*>(self);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c)))
            impl->Fail();
        pa_threaded_mainloop_signal(impl->loop, 0);
    }
    static void StreamState(pa_stream* s, void* self) {
        auto* impl = static_cast<Impl*>(self);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)))
            impl->Fail();
    }
    static void Readable(pa_stream* s, std::size_t, void* self) {
        auto* impl = static_cast<Impl*>(self);
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) >= 0 &&
               bytes > 0) {
            {
                std::lock_guard guard(impl->lock);
                if (data != nullptr) {
                    const auto* p = static_cast<const std::uint8_t*>(data);
                    impl->recorded.insert(impl->recorded.end(), p, p + bytes);
                } else {
                    impl->recorded.insert(impl->recorded.end(), bytes, 0);
                }
                impl->flowing = true;
            }
            impl->arrived.notify_all();
            pa_stream_drop(s);
        }
    }
    void Fail() {
        {
            std::lock_guard guard(lock);
            failed = true;
        }
        arrived.notify_all();
    }
};

SinkRecorder::SinkRecorder(const char* source) : impl(std::make_unique<Impl>()) {
    Impl* i = impl.get();
    i->loop = pa_threaded_mainloop_new();
    i->context = pa_context_new(pa_threaded_mainloop_get_api(i->loop), "monitor-audio tests");
    pa_context_set_state_callback(i->context, &Impl::ContextState, i);
    const std::string server = TestServerAddress();
    if (pa_context_connect(i->context, server.empty() ? nullptr : server.c_str(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        i->failed = true;
        return;
    }
    pa_threaded_mainloop_start(i->loop);

    pa_threaded_mainloop_lock(i->loop);
    while (pa_context_get_state(i->context) != PA_CONTEXT_READY && !i->failed)
        pa_threaded_mainloop_wait(i->loop);
    if (!i->failed) {
        const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, 44100, 2};
        i->stream = pa_stream_new(i->context, "sink recorder", &sampleSpec, nullptr);
        pa_stream_set_state_callback(i->stream, &Impl::StreamState, i);
        pa_stream_set_read_callback(i->stream, &Impl::Readable, i);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(10'000, &sampleSpec));
        if (pa_stream_connect_record(i->stream, source, &attr, PA_STREAM_ADJUST_LATENCY) < 0)
            i->failed = true;
    }
    pa_threaded_mainloop_unlock(i->loop);
}

SinkRecorder::~SinkRecorder() {
    Impl* i = impl.get();
    pa_threaded_mainloop_stop(i->loop);
    if (i->stream != nullptr) {
        pa_stream_disconnect(i->stream);
        pa_stream_unref(i->stream);
    }
    pa_context_disconnect(i->context);
    pa_context_unref(i->context);
    pa_threaded_mainloop_free(i->loop);
}

bool SinkRecorder::Ready(std::chrono::milliseconds timeout) {
    std::unique_lock guard(impl->lock);
    impl->arrived.wait_for(guard, timeout, [&] { return impl->flowing || impl->failed; });
    return impl->flowing && !impl->failed;
}

std::vector<std::uint8_t> SinkRecorder::Bytes() const {
    std::lock_guard guard(impl->lock);
    return impl->recorded;
}

std::vector<std::int16_t> SinkRecorder::Samples() const {
    std::lock_guard guard(impl->lock);
    std::vector<std::int16_t> samples(impl->recorded.size() / 2);
    if (!samples.empty()) {
        std::memcpy(samples.data(), impl->recorded.data(), samples.size() * 2);
    }
    return samples;
}

void SinkRecorder::Clear() {
    std::lock_guard guard(impl->lock);
    impl->recorded.clear();
}

std::ptrdiff_t SinkRecorder::WaitFor(const void* pattern, std::size_t bytes,
                                     std::chrono::milliseconds timeout) {
    const auto* p = static_cast<const std::uint8_t*>(pattern);
    std::ptrdiff_t found = -1;
    std::unique_lock guard(impl->lock);
    impl->arrived.wait_for(guard, timeout, [&] {
        const auto at = std::search(impl->recorded.begin(), impl->recorded.end(), p, p + bytes);
        if (at != impl->recorded.end())
            found = at - impl->recorded.begin();
        return found >= 0 || impl->failed;
    });
    return found;
}

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

void SoundLibraryThreadsInRealTime() {
    sched_param param{};
    param.sched_priority = 5;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == "threaded-ml")
            sched_setscheduler(static_cast<pid_t>(std::stol(task.path().filename())), SCHED_RR,
                               &param);
    }
}

PrivateSoundServer::PrivateSoundServer() {
    char name[] = "/tmp/monitor-audio-server.XXXXXX";
    if (mkdtemp(name) != nullptr)
        dir = name;
}

PrivateSoundServer::~PrivateSoundServer() {
    Kill();
    if (!dir.empty())
        std::system(("rm -rf '" + dir + "'").c_str());
}

bool PrivateSoundServer::Start() {
    if (dir.empty())
        return false;
    Kill();
    // The same server the suite runs on (TEST_SOUND_KIND says which),
    // started by the same script.
    const std::string script = std::string(MA_SOURCE_DIR) + "/scripts/test-sound-server.sh";
    const std::string command = "bash -c 'set --; source \"" + script +
                                "\" && test_sound_server_start \"" + dir +
                                "\" && echo \"$PULSE_SERVER\" >\"" + dir + "/server\"' >/dev/null";
    const bool started = std::system(command.c_str()) == 0;
    // What a failed start did start is ended with the rest.
    std::ifstream pidFile(dir + "/pids");
    for (long pid = 0; pidFile >> pid;)
        pids.push_back(pid);
    if (!started)
        return false;
    std::string server;
    std::getline(std::ifstream(dir + "/server"), server);
    setenv("PULSE_SERVER", server.c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", (dir + "/client.conf").c_str(), 1);
    // The tests' recorders, and ALSA's PulseAudio plug-in, follow it too.
    setenv("TEST_SOUND_DIR", dir.c_str(), 1);
    return !server.empty() && !pids.empty();
}

void PrivateSoundServer::Kill() {
    // The server first, its bus last.
    for (auto pid = pids.rbegin(); pid != pids.rend(); ++pid)
        ::kill(static_cast<pid_t>(*pid), SIGKILL);
    // Not this process's children, so nobody here reaps them: gone is gone
    // or a zombie.
    for (long pid : pids) {
        const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
        for (int i = 0; i < 500; ++i) {
            std::string line;
            std::getline(std::ifstream(stat), line);
            const auto end = line.rfind(") ");
            if (end == std::string::npos || line.compare(end + 2, 1, "Z") == 0)
                break;
            usleep(10'000);
        }
    }
    pids.clear();
}

void PrivateSoundServer::Freeze(bool frozen) {
    for (long pid : pids)
        ::kill(static_cast<pid_t>(pid), frozen ? SIGSTOP : SIGCONT);
}

} // namespace testsound
