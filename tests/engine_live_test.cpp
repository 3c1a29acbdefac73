// The whole capture engine in-process, on real Qt (offscreen) and the test
// sound server: the oscilloscope follows the server's sine, "Iniciar" makes
// whole captured blocks reach the sink, "Parar" silences it, and closing the
// window in any state is quick and leaves nothing playing.
#include "HiloTocar.h"
#include "Princ.h"
#include "click.h"
#include "realtime.h"
#include "sound_server.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QKeySequence>
#include <QTest>
#include <QWindow>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <map>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 281;
constexpr int kFramesPerBlock = 1024;

class LiveEngine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsound::HaveTestSoundServer()) {
            GTEST_SKIP() << "no test sound server";
        }
        Application->Initialize();
    }

    void TearDown() override {
        if (form != nullptr) {
            Application->DestroyForm(form);
        }
    }

    void Start() {
        Application->CreateForm(frmAudio);
        form = frmAudio;
        if (libraryInRealTime)
            testsound::SoundLibraryThreadsInRealTime();
    }
    // Off where which threads run in real time is what is checked.
    bool libraryInRealTime = true;

    // Closes the window as the application does and tells how long it took.
    Clock::duration Close() {
        const auto start = Clock::now();
        Application->DestroyForm(form);
        form = nullptr;
        return Clock::now() - start;
    }

    // Keeps the event loop turning for a while.
    static void Pump(Clock::duration time) {
        const auto end = Clock::now() + time;
        while (Clock::now() < end) {
            Application->ProcessMessages();
            std::this_thread::sleep_for(1ms);
        }
    }

    template <class Cond> static bool PumpUntil(Cond cond, std::chrono::milliseconds timeout) {
        return testwait::WaitUntil(cond, timeout, [] { Application->ProcessMessages(); });
    }

    static void Click(TButton* button) { testclick::Click(button); }

    // "Iniciar" and "Parar" each enabled only where it changes something,
    // and the playback worker paused unless playing.
    void ExpectPlaying(bool playing) const {
        EXPECT_EQ(form->btnIniciar->Enabled(), !playing);
        EXPECT_EQ(form->btnParar->Enabled(), playing);
        EXPECT_EQ(form->playbackWorker->GetPaused(), !playing);
    }

    TfrmAudio* form = nullptr;
};

// How one trace sits on the canvas: for each column, the middle of the aqua
// rows of its half.
struct Trace {
    std::vector<double> middle; // per column, or -1 where the column has none
    int top = 1 << 30;
    int bottom = -1;
};

Trace ReadTrace(TCanvas* canvas, int firstRow, int lastRow) {
    Trace trace;
    for (int x = 1; x < kWidth - 1; ++x) {
        int low = -1;
        int high = -1;
        for (int y = firstRow; y <= lastRow; ++y) {
            if (canvas->Pixel(x, y) == clAqua) {
                low = low < 0 ? y : low;
                high = y;
            }
        }
        trace.middle.push_back(low < 0 ? -1 : (low + high) / 2.0);
        if (low >= 0) {
            trace.top = std::min(trace.top, low);
            trace.bottom = std::max(trace.bottom, high);
        }
    }
    return trace;
}

// True when the trace is the 441 Hz sine of the test server around baseline:
// it swings evenly about the baseline, and crosses it once every 50 frames,
// that is every 27.4 columns.
bool IsTheSine(const Trace& trace, int baseline) {
    if (std::count(trace.middle.begin(), trace.middle.end(), -1.0) > 0) {
        return false;
    }
    if (trace.bottom - trace.top < 20 || std::abs(trace.top + trace.bottom - 2 * baseline) > 4) {
        return false;
    }
    int crossings = 0;
    for (std::size_t x = 1; x < trace.middle.size(); ++x) {
        const bool above = trace.middle[x] < baseline;
        const bool wasAbove = trace.middle[x - 1] < baseline;
        crossings += above != wasAbove ? 1 : 0;
    }
    // 279 columns hold about 10.2 half periods.
    return crossings >= 8 && crossings <= 12;
}

bool ShowsTheSine(TCanvas* canvas) {
    return IsTheSine(ReadTrace(canvas, 1, 135), 63) && IsTheSine(ReadTrace(canvas, 137, 271), 209);
}

// Both traces flat: the input is silent.
bool ShowsSilence(TCanvas* canvas) {
    for (const Trace& t : {ReadTrace(canvas, 1, 135), ReadTrace(canvas, 137, 271)}) {
        if (std::count(t.middle.begin(), t.middle.end(), -1.0) > 0 || t.bottom - t.top > 1) {
            return false;
        }
    }
    return true;
}

TEST_F(LiveEngine, TheOscilloscopeShowsTheInputWithinASecondAndRedrawsWithEveryBlock) {
    Start();
    TCanvas* canvas = form->TimeSerie->Canvas;
    ASSERT_TRUE(PumpUntil([&] { return ShowsTheSine(canvas); }, 1s))
        << "the paint box does not show the sine of the input";

    // Each block of 1024 frames moves the 100-frame sine on by 24 frames,
    // so every redraw changes the rows the upper trace crosses at a few
    // columns. Count those changes for two seconds.
    auto signature = [&] {
        std::vector<int> rows;
        for (int x = 10; x < kWidth; x += 30) {
            int y = 1;
            while (y < 136 && canvas->Pixel(x, y) != clAqua) {
                ++y;
            }
            rows.push_back(y);
        }
        return rows;
    };
    int changes = 0;
    auto last = signature();
    const auto start = Clock::now();
    while (Clock::now() - start < 2s) {
        std::this_thread::sleep_for(1ms);
        auto now = signature();
        if (now != last) {
            ++changes;
            last = std::move(now);
        }
    }
    const double perSecond = changes / 2.0;
    RecordProperty("redraws_per_second", std::to_string(perSecond));
    // 44100 / 1024 = 43.07 blocks a second.
    EXPECT_GT(perSecond, 30);
    EXPECT_LT(perSecond, 56);
}

// Runs of sound in what the sink played, as [first, end) frame ranges.
// Silence (samples no louder than `quiet`) of 8 frames or more separates
// runs; the sine itself is exactly 0 at most one frame in a row, and no
// louder than 1024 at most two.
std::vector<std::pair<std::size_t, std::size_t>> SoundRuns(const std::vector<std::int16_t>& pcm,
                                                           int quiet = 0) {
    auto sound = [&](std::size_t f) {
        return std::abs(pcm[2 * f]) > quiet || std::abs(pcm[2 * f + 1]) > quiet;
    };
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    const std::size_t frames = pcm.size() / 2;
    std::size_t f = 0;
    while (f < frames) {
        while (f < frames && !sound(f)) {
            ++f;
        }
        if (f == frames) {
            break;
        }
        const std::size_t first = f;
        std::size_t lastSound = f;
        while (f < frames && f - lastSound < 8) {
            if (sound(f)) {
                lastSound = f;
            }
            ++f;
        }
        runs.emplace_back(first, lastSound + 1);
    }
    return runs;
}

// True when the server's graph runs at another rate than the program's
// 44.1 kHz (TEST_SOUND_RATE, from scripts/test-sound-server.sh): what the
// program captured and played, and what the tests record, was resampled.
bool Resampled() {
    const char* rate = std::getenv("TEST_SOUND_RATE");
    return rate != nullptr && std::string(rate) != "44100";
}

// The runs of what was played, each checked to be one whole block, bit for
// bit a stretch of what the input delivered. A sound server now and then
// misses a period of its own input (PipeWire's graph with a client late on
// a busy machine), and the input is silent there: a block holding that
// silence is still whole when the silence is the input's, where it is.
std::vector<std::pair<std::size_t, std::size_t>>
WholeCapturedBlocks(const std::vector<std::int16_t>& played,
                    const std::vector<std::int16_t>& captured) {
    auto inInput = [&](std::size_t first, std::size_t end) {
        return std::search(captured.begin(), captured.end(), played.begin() + 2 * first,
                           played.begin() + 2 * end) != captured.end();
    };
    // Resampled twice (the program's playback up to the graph's rate, the
    // recording down again), nothing played is the input bit for bit, and
    // each block's edges ring for a few tens of frames, below 1/16 of the
    // sine's amplitude. Left without that ringing, a block is still one run
    // of sound, no gap inside it, within a few frames of a block's length.
    const bool resampled = Resampled();
    auto runs = SoundRuns(played, resampled ? 1024 : 0);
    // The recording may cut the last run short.
    if (!runs.empty() && runs.back().second * 2 + 64 >= played.size()) {
        runs.pop_back();
    }
    if (resampled) {
        for (const auto& [first, end] : runs) {
            EXPECT_NEAR(double(end - first), kFramesPerBlock, 16) << "the run at " << first;
        }
        return runs;
    }
    constexpr std::size_t kGap = 8; // the silence that ends a run
    std::vector<std::pair<std::size_t, std::size_t>> blocks;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        auto [first, end] = runs[i];
        while (i + 1 < runs.size() && runs[i + 1].second - first <= kFramesPerBlock &&
               inInput(first, runs[i + 1].second)) {
            end = runs[++i].second;
        }
        SCOPED_TRACE(first);
        // A sample of the sine that is exactly 0 at either edge makes a
        // block look a frame shorter.
        const std::size_t length = end - first;
        const bool inputSilentNext =
            (first >= kGap && inInput(first - kGap, end)) || inInput(first, end + kGap);
        if (!inputSilentNext) {
            EXPECT_GE(length, kFramesPerBlock - 2u);
        }
        EXPECT_LE(length, kFramesPerBlock);
        EXPECT_TRUE(inInput(first, end)) << "this run is not a stretch of the captured input";
        blocks.emplace_back(first, end);
    }
    return blocks;
}

// What the input delivered and what the sink played, recorded from now on.
struct Recorders {
    testsound::SinkRecorder input{"in"};
    testsound::SinkRecorder output;
    bool Ready() { return input.Ready() && output.Ready(); }
    std::vector<std::pair<std::size_t, std::size_t>> WholeBlocks() const {
        return WholeCapturedBlocks(output.Samples(), input.Samples());
    }
};

bool Silent(const testsound::SinkRecorder& output) {
    const auto samples = output.Samples();
    return std::all_of(samples.begin(), samples.end(), [](std::int16_t s) { return s == 0; });
}

// The scope shows the live input again within 2 s of now.
void ExpectLiveAgain(TCanvas* canvas) {
    const auto back = Clock::now();
    ASSERT_TRUE(testwait::WaitUntil([&] { return ShowsTheSine(canvas); }, 5s,
                                    [] { Application->ProcessMessages(); }))
        << "the input did not come back";
    const double took = std::chrono::duration<double>(Clock::now() - back).count();
    testing::Test::RecordProperty("live_again_after_s", std::to_string(took));
    EXPECT_LT(took, 2.0);
}

TEST_F(LiveEngine, IniciarPlaysWholeCapturedBlocksAndPararSilencesTheOutput) {
    Recorders sound;
    ASSERT_TRUE(sound.Ready());
    Start();
    Pump(300ms);

    // "Parar" first: playback stays paused and only "Parar" is disabled.
    Click(form->btnParar);
    ExpectPlaying(false);
    Pump(300ms);
    EXPECT_TRUE(Silent(sound.output)) << "something is played before \"Iniciar\"";

    sound.output.Clear();
    Click(form->btnIniciar);
    ExpectPlaying(true);
    Pump(3s);

    const auto runs = sound.WholeBlocks();
    ASSERT_GE(runs.size(), 20u) << "about 14 blocks a second should be heard";
    std::size_t soundFrames = 0;
    for (const auto& [first, end] : runs) {
        soundFrames += end - first;
    }
    const std::size_t span = runs.back().second - runs.front().first;
    const double share = static_cast<double>(soundFrames) / static_cast<double>(span);
    RecordProperty("share_with_sound", std::to_string(share));
    EXPECT_GT(share, 0.25);
    EXPECT_LT(share, 0.5);

    Click(form->btnParar);
    ExpectPlaying(false);
    Pump(300ms);
    sound.output.Clear();
    Pump(1s);
    EXPECT_TRUE(Silent(sound.output)) << "something is still played after \"Parar\"";
}

// Real key events through the window reach the focused button, as a user's
// keyboard does.
TEST_F(LiveEngine, ReturnEnterAndSpaceOnTheFocusedIniciarStartPlayback) {
    Start();
    form->Show();
    QWidget* window = form->Widget();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QWidget* iniciar = form->btnIniciar->Widget();
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        SCOPED_TRACE(QKeySequence(key).toString().toStdString());
        Click(form->btnParar);
        ASSERT_TRUE(form->playbackWorker->GetPaused());
        iniciar->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(iniciar->hasFocus());
        QTest::keyClick(window->windowHandle(), key);
        ExpectPlaying(true);
    }
}

// The sound server goes away and comes back at the same socket (a server of
// the test's own): the scope goes flat instead of freezing, the live input is
// back soon after the server, "Iniciar" then plays whole captured blocks, and
// the window still closes at once in the middle of a second outage.
TEST_F(LiveEngine, FollowsASoundServerThatRestarts) {
    testsound::PrivateSoundServer server;
    ASSERT_TRUE(server.Start());
    Start();
    TCanvas* canvas = form->TimeSerie->Canvas;
    auto live = [&] { return ShowsTheSine(canvas); };
    auto flat = [&] { return ShowsSilence(canvas); };
    ASSERT_TRUE(PumpUntil(live, 3s));

    server.Kill();
    ASSERT_TRUE(PumpUntil(flat, 1s)) << "the scope did not show the silence of a lost input";
    Pump(1500ms);
    EXPECT_TRUE(flat());

    ASSERT_TRUE(server.Start());
    ExpectLiveAgain(canvas);

    Recorders sound;
    ASSERT_TRUE(sound.Ready());
    // The program's capture may be a block or two ahead of the recorder's.
    Pump(300ms);
    Click(form->btnIniciar);
    Pump(1500ms);
    EXPECT_GE(sound.WholeBlocks().size(), 10u);

    server.Kill();
    Pump(300ms);
    const auto closing = Close();
    EXPECT_LT(closing, 1s);
}

// The input is suspended and resumed: a stream that goes quiet while its
// server still answers is taken for lost, so the scope goes flat within a
// second instead of freezing, and is live again soon after the resume (on
// PipeWire the stream stops for good and has to be made anew). The input
// records in real time, as a device does: PulseAudio's sine source hands
// over two seconds ahead, which would be shown first, so there it is a null
// sink's monitor fed the sine. PipeWire 0.3 leaves "in" running when asked
// to suspend it: the scope then stays live.
TEST_F(LiveEngine, TheScopeGoesFlatWhileTheInputIsSuspendedAndIsLiveAgainAfter) {
    testsound::PrivateSoundServer server;
    ASSERT_TRUE(server.Start());
    const char* kind = std::getenv("TEST_SOUND_KIND");
    std::string source = "in";
    std::string suspend = "pactl suspend-source in ";
    if (kind == nullptr || std::string(kind) != "pipewire") {
        testsound::Shell("pactl load-module module-null-sink sink_name=live rate=44100 channels=2; "
                         "bash -c 'source " MA_TEST_SOURCE_DIR "/../scripts/test-sound-server.sh; "
                         "test_sound_sine_to live'; pactl set-default-source live.monitor");
        source = "live.monitor";
        suspend = "pactl suspend-sink live ";
    }
    Start();
    TCanvas* canvas = form->TimeSerie->Canvas;
    auto live = [&] { return ShowsTheSine(canvas); };
    ASSERT_TRUE(PumpUntil(live, 5s));
    testsound::Shell(suspend + "1");
    const std::string sources = testsound::Shell("pactl list short sources");
    const auto line = sources.find("\t" + source + "\t");
    if (line != std::string::npos &&
        sources.substr(line, sources.find('\n', line) - line).find("SUSPENDED") !=
            std::string::npos) {
        EXPECT_TRUE(PumpUntil([&] { return ShowsSilence(canvas); }, 1s))
            << "the scope froze on a quiet input";
    }
    Pump(500ms);
    testsound::Shell(suspend + "0");
    ExpectLiveAgain(canvas);
}

// The input is switched away from the sine source, which hands over two
// seconds at a time, to a silent one: the scope follows at once, not after
// what the old input had handed over.
TEST_F(LiveEngine, TheScopeFollowsASwitchOfTheInputAtOnce) {
    testsound::PrivateSoundServer server;
    ASSERT_TRUE(server.Start());
    testsound::Shell("pactl load-module module-null-sink sink_name=quiet rate=44100 channels=2");
    // Its monitor answers late unless someone already listens.
    testsound::SinkRecorder quiet("quiet.monitor");
    ASSERT_TRUE(quiet.Ready());
    Start();
    TCanvas* canvas = form->TimeSerie->Canvas;
    ASSERT_TRUE(PumpUntil([&] { return ShowsTheSine(canvas); }, 3s));
    Pump(1s);
    testsound::Shell("pactl set-default-source quiet.monitor");
    EXPECT_TRUE(PumpUntil([&] { return ShowsSilence(canvas); }, 500ms));
}

// Real-time scheduling, as each of the program's threads has it.
struct Scheduling {
    int policy = -1; // with SCHED_RESET_ON_FORK when it is set
    int priority = 0;
};

// Every thread of this process by name; threads of one name are counted
// under "name#2", "name#3"...
std::map<std::string, Scheduling> ThreadScheduling() {
    std::map<std::string, Scheduling> threads;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t tid = std::stoi(task.path().filename().string());
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        Scheduling s;
        s.policy = sched_getscheduler(tid);
        sched_param param{};
        if (sched_getparam(tid, &param) == 0)
            s.priority = param.sched_priority;
        std::string key = name;
        for (int n = 2; threads.count(key) != 0; ++n)
            key = name + "#" + std::to_string(n);
        threads[key] = s;
    }
    return threads;
}

// The threads that carry sound: the capture and playback streams' and the
// playback worker.
constexpr const char* kSoundThreads[] = {"captura", "reproduccion", "HiloTocar"};

// Turns CAP_SYS_NICE, which lets root ask for any priority, off or on again
// for the calling thread and the threads it starts from then on.
bool SetSysNice(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    const auto bit = 1u << CAP_SYS_NICE;
    data[0].effective = on ? data[0].effective | bit : data[0].effective & ~bit;
    return syscall(SYS_capset, &header, data) == 0;
}

// True when this thread cannot make itself real-time: the refusal the
// program's threads then meet is real.
bool RealTimeRefused() {
    sched_param param{};
    param.sched_priority = 1;
    if (sched_setscheduler(0, SCHED_FIFO, &param) == 0) {
        param.sched_priority = 0;
        sched_setscheduler(0, SCHED_OTHER, &param);
        return false;
    }
    return errno == EPERM;
}

class RealTime : public LiveEngine {
protected:
    void SetUp() override {
        if (!realtime::kAsked)
            GTEST_SKIP() << "this build's threads do not ask for real-time scheduling";
        libraryInRealTime = false;
        LiveEngine::SetUp();
    }

    void TearDown() override {
        LiveEngine::TearDown();
        SetSysNice(true);
    }

    // Direct real-time refused: no capability, RLIMIT_RTPRIO 0.
    void Refuse() {
        ASSERT_TRUE(SetSysNice(false));
        const rlimit none{0, 0};
        ASSERT_EQ(setrlimit(RLIMIT_RTPRIO, &none), 0);
        ASSERT_TRUE(RealTimeRefused());
    }

    // Starts the program with "Iniciar" on and waits until the sound
    // threads run under `policy`.
    std::map<std::string, Scheduling> StartAndPlay(int policy) {
        Start();
        Click(form->btnIniciar);
        std::map<std::string, Scheduling> threads;
        PumpUntil(
            [&] {
                threads = ThreadScheduling();
                return std::all_of(std::begin(kSoundThreads), std::end(kSoundThreads),
                                   [&](const char* name) {
                                       return threads.count(name) != 0 &&
                                              (threads[name].policy & ~SCHED_RESET_ON_FORK) ==
                                                  policy;
                                   }) &&
                       threads.count("HiloTiempo") != 0;
            },
            3s);
        return threads;
    }

    // The sound threads under `policy` at `priority`, so that nothing they
    // start inherits it; every other thread, the display worker's among
    // them, at normal priority.
    static void ExpectOnlyTheSoundThreads(const std::map<std::string, Scheduling>& threads,
                                          int policy, int priority) {
        ASSERT_EQ(threads.count("HiloTiempo"), 1u);
        for (const auto& [name, s] : threads) {
            SCOPED_TRACE(name);
            const bool sound =
                std::find_if(std::begin(kSoundThreads), std::end(kSoundThreads),
                             [&](const char* n) { return name == n; }) != std::end(kSoundThreads);
            if (sound) {
                EXPECT_EQ(s.policy, policy | SCHED_RESET_ON_FORK);
                EXPECT_EQ(s.priority, priority);
            } else {
                EXPECT_EQ(s.policy, SCHED_OTHER);
            }
        }
        for (const char* name : kSoundThreads) {
            EXPECT_EQ(threads.count(name), 1u) << name;
        }
    }

    // RLIMIT_RTTIME set, so a runaway real-time thread gets SIGXCPU (at the
    // soft limit) before SIGKILL.
    static void ExpectRtTimeAtMost(rlim_t micros) {
        rlimit rt{};
        ASSERT_EQ(getrlimit(RLIMIT_RTTIME, &rt), 0);
        EXPECT_LE(rt.rlim_max, micros);
        EXPECT_LT(rt.rlim_cur, rt.rlim_max);
        EXPECT_GT(rt.rlim_cur, 0u);
    }
};

// Allowed by RLIMIT_RTPRIO where this process may raise it (the priority is
// then clamped to it), else by root's capability.
TEST_F(RealTime, TheSoundThreadsRunRealTimeAndTheDisplayWorkerDoesNot) {
    ASSERT_TRUE(SetSysNice(false));
    const rlimit two{2, 2};
    int priority = 2;
    if (setrlimit(RLIMIT_RTPRIO, &two) != 0) {
        RecordProperty("allowed_by", "CAP_SYS_NICE");
        ASSERT_TRUE(SetSysNice(true));
        priority = 4;
    } else {
        RecordProperty("allowed_by", "RLIMIT_RTPRIO");
    }
    ExpectOnlyTheSoundThreads(StartAndPlay(SCHED_FIFO), SCHED_FIFO, priority);
    ExpectRtTimeAtMost(200'000);
}

TEST_F(RealTime, RefusedAndWithoutRealtimeKitThePlaybackStillPlaysWholeCapturedBlocks) {
    Refuse();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/monitor-audio-test-bus", 1);
    Recorders sound;
    ASSERT_TRUE(sound.Ready());
    const auto threads = StartAndPlay(SCHED_OTHER);
    Pump(2s);
    EXPECT_GE(sound.WholeBlocks().size(), 15u);
    for (const auto& [name, s] : threads) {
        EXPECT_EQ(s.policy, SCHED_OTHER) << name;
    }
}

// The machine's own RealtimeKit on a private system bus, with a lower
// ceiling than the program asks for and a tighter RLIMIT_RTTIME.
TEST_F(RealTime, RealtimeKitMakesTheSoundThreadsRealTimeWithinItsLimits) {
    Refuse();
    char dir[] = "/tmp/monitor-audio-bus.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string script = std::string(MA_TEST_SOURCE_DIR) + "/support/system-bus.sh";
    ASSERT_EQ(std::system(("bash '" + script + "' " + dir +
                           " --max-realtime-priority=3 --rttime-usec-max=100000")
                              .c_str()),
              0);
    std::string address;
    std::getline(std::ifstream(std::string(dir) + "/address"), address);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);

    ExpectOnlyTheSoundThreads(StartAndPlay(SCHED_RR), SCHED_RR, 3);
    ExpectRtTimeAtMost(100'000);

    std::ifstream pids(std::string(dir) + "/pids");
    for (long pid = 0; pids >> pid;)
        ::kill(static_cast<pid_t>(pid), SIGTERM);
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

// Closing in each state the window can be in: quick, and silent after.
struct CloseCase {
    const char* name;
    bool play;
    bool stop;
    Clock::duration after;
};

class Closing : public LiveEngine, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(Closing, ReturnsWithinASecondAndLeavesNothingPlaying) {
    const CloseCase& c = GetParam();
    testsound::SinkRecorder output;
    ASSERT_TRUE(output.Ready());
    Start();
    if (c.play) {
        Pump(200ms);
        Click(form->btnIniciar);
    }
    if (c.stop) {
        Pump(200ms);
        Click(form->btnParar);
    }
    Pump(c.after);
    const auto took = Close();
    EXPECT_LT(took, 1s) << std::chrono::duration<double, std::milli>(took).count() << " ms";

    std::this_thread::sleep_for(200ms);
    output.Clear();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(Silent(output)) << "something is still played after the window closed";
}

INSTANTIATE_TEST_SUITE_P(LiveEngine, Closing,
                         ::testing::Values(CloseCase{"RightAfterStart", false, false, 50ms},
                                           CloseCase{"WhileCapturing", false, false, 500ms},
                                           CloseCase{"DuringAPlaybackPass", true, false, 30ms},
                                           CloseCase{"WithPlaybackOn", true, false, 500ms},
                                           CloseCase{"WithPlaybackPaused", true, true, 300ms}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
