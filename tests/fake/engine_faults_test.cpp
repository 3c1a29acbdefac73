// The capture engine against a scripted device: what set-up does when a
// device call fails, how the ring turns each completed buffer around, how
// shutdown waits for a device that still holds a header and for a completion
// it races with, and the two playback buttons.
#include "Entry.h"
#include "HiloTocar.h"
#include "Princ.h"
#include "click.h"
#include "fake_wave.h"
#include "modal_boxes.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <new>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using fakewave::Call;

namespace {

using Names = std::vector<std::string>;

// The functions called from log[from] up to log[to], in order.
Names FunctionsOf(const std::vector<Call>& log, std::size_t from = 0,
                  std::size_t to = static_cast<std::size_t>(-1)) {
    Names names;
    for (std::size_t i = from; i < log.size() && i < to; ++i) {
        names.push_back(log[i].function);
    }
    return names;
}

std::vector<Call> CallsOf(const std::vector<Call>& log, const std::string& function,
                          std::size_t from = 0) {
    std::vector<Call> calls;
    for (std::size_t i = from; i < log.size(); ++i) {
        if (log[i].function == function) {
            calls.push_back(log[i]);
        }
    }
    return calls;
}

std::size_t IndexOf(const std::vector<Call>& log, const std::string& function,
                    const WAVEHDR* header = nullptr) {
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].function == function && (header == nullptr || log[i].header == header)) {
            return i;
        }
    }
    return log.size();
}

using testwait::WaitUntil;

using testclick::Click;

void ExpectErrorBox(const SeenBox& box) {
    EXPECT_EQ(box.text, "Error");
    EXPECT_EQ(box.title, "Error de multimedia");
    EXPECT_EQ(box.buttons, 1);
    EXPECT_TRUE(box.hasOk);
}

class EngineFaults : public ::testing::Test {
protected:
    void SetUp() override {
        fakewave::Reset();
        Application->Initialize();
    }
    void TearDown() override {
        if (frmAudio != nullptr) {
            Application->DestroyForm(frmAudio);
            frmAudio = nullptr;
        }
        fakewave::Reset();
    }

    // The whole program as main() runs it. A loop that does not end by
    // itself is ended from outside after a while, and that is a failure.
    static int RunEntry() {
        bool forced = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&forced] {
            forced = true;
            if (TForm* form = Application->MainForm()) {
                form->Close();
            }
        });
        watchdog.start(10000);
        const int result = RunMainWindow(frmAudio);
        frmAudio = nullptr;
        EXPECT_FALSE(forced) << "the event loop did not end by itself";
        return result;
    }

    // The window and its set-up, as the entry builds them, without the
    // event loop: the test drives the device itself. A real device fills
    // its first block 23 ms after the start; by then the playback worker has
    // ended the empty pass it starts with, so completions wait for that too.
    static TfrmAudio* Open() {
        Application->CreateForm(frmAudio);
        EXPECT_TRUE(FirstPlaybackPassEnded(frmAudio));
        return frmAudio;
    }
    static bool FirstPlaybackPassEnded(TfrmAudio* form) {
        return WaitUntil([form] { return form->playbackWorker->Suspended(); });
    }
    static void Close() {
        Application->DestroyForm(frmAudio);
        frmAudio = nullptr;
    }
};

// --- Set-up failures -------------------------------------------------------

using SetUpFailure = EngineFaults;

TEST_F(SetUpFailure, WithoutACaptureDeviceOneBoxIsShownAndShutdownStillRunsEveryStepQuietly) {
    fakewave::Answer("waveInOpen", MMSYSERR_NODRIVER);
    ModalBoxes boxes;
    std::size_t callsBeforeBox = 0;
    WAVEHDR* headers = nullptr;
    boxes.OnSeen = [&](const SeenBox&) {
        callsBeforeBox = fakewave::Log().size();
        headers = frmAudio->headers;
    };

    EXPECT_EQ(RunEntry(), 0);

    ASSERT_EQ(boxes.Seen().size(), 1u);
    ExpectErrorBox(boxes.Seen()[0]);
    const std::vector<Call> log = fakewave::Log();
    // Set-up stops at the failed open; nothing is taken down before the box
    // is dismissed.
    EXPECT_EQ(FunctionsOf(log, 0, callsBeforeBox),
              (Names{"waveOutOpen", "waveOutOpen", "waveInOpen"}));
    ASSERT_EQ(FunctionsOf(log, callsBeforeBox),
              (Names{"waveInReset", "waveInUnprepareHeader", "waveInUnprepareHeader", "waveInClose",
                     "waveOutUnprepareHeader", "waveOutClose"}));
    ASSERT_NE(headers, nullptr);
    EXPECT_EQ(log[callsBeforeBox + 1].header, &headers[0]);
    EXPECT_EQ(log[callsBeforeBox + 2].header, &headers[1]);
    // The capture handle was never opened and no block was handed over, so
    // those calls fail harmlessly; the playback device that did open closes.
    EXPECT_EQ(log[callsBeforeBox].result, MMSYSERR_INVALHANDLE);
    EXPECT_EQ(log[callsBeforeBox + 4].header, nullptr);
    EXPECT_EQ(log.back().result, MMSYSERR_NOERROR);
}

TEST_F(SetUpFailure, AHeaderTheDeviceRefusesToQueueShowsTheBoxAndCaptureIsStillStarted) {
    fakewave::Answer("waveInAddBuffer", MMSYSERR_NOMEM);
    ModalBoxes boxes;

    EXPECT_EQ(RunEntry(), 0);

    ASSERT_EQ(boxes.Seen().size(), 1u);
    ExpectErrorBox(boxes.Seen()[0]);
    const std::vector<Call> log = fakewave::Log();
    const std::size_t add = IndexOf(log, "waveInAddBuffer");
    const std::size_t start = IndexOf(log, "waveInStart");
    ASSERT_LT(add, log.size());
    ASSERT_LT(start, log.size());
    EXPECT_LT(add, start);
    EXPECT_EQ(log[start].result, MMSYSERR_NOERROR);
    EXPECT_EQ(CallsOf(log, "waveInClose").at(0).result, MMSYSERR_NOERROR);
}

TEST_F(SetUpFailure, ADeviceThatWillNotStartShowsTheBoxAndLeavesCompletionsIgnored) {
    fakewave::Answer("waveInStart", MMSYSERR_ERROR);
    ModalBoxes boxes;
    bool capturingWhenShown = true;
    boxes.OnSeen = [&](const SeenBox&) { capturingWhenShown = frmAudio->capturing.load(); };

    EXPECT_EQ(RunEntry(), 0);

    ASSERT_EQ(boxes.Seen().size(), 1u);
    ExpectErrorBox(boxes.Seen()[0]);
    EXPECT_FALSE(capturingWhenShown);
    // The reset at shutdown hands the queued header back; the completion is
    // ignored, so nothing is queued again and the device closes.
    const std::vector<Call> log = fakewave::Log();
    const std::size_t reset = IndexOf(log, "waveInReset");
    ASSERT_LT(reset, log.size());
    EXPECT_EQ(CallsOf(log, "WIM_DATA", reset).size(), 1u);
    EXPECT_TRUE(CallsOf(log, "waveInAddBuffer", reset).empty());
    EXPECT_EQ(CallsOf(log, "waveInClose").at(0).result, MMSYSERR_NOERROR);
}

TEST_F(SetUpFailure, AnExceptionBeforeTheRingExistsIsShownAndShutdownSurvivesIt) {
    // As when a worker cannot be started or memory runs out early in
    // set-up: the ring's size is known but the ring does not exist yet.
    fakewave::Hook("waveOutOpen", [](WAVEHDR*) { throw std::bad_alloc(); });
    ModalBoxes boxes;

    EXPECT_EQ(RunEntry(), 0);

    ASSERT_EQ(boxes.Seen().size(), 1u);
    EXPECT_EQ(boxes.Seen()[0].text, "");
    const std::vector<Call> log = fakewave::Log();
    EXPECT_TRUE(CallsOf(log, "waveInUnprepareHeader").empty());
    EXPECT_EQ(CallsOf(log, "waveOutClose").size(), 1u);
}

TEST_F(SetUpFailure, AHeaderThatCannotBePreparedIsLeftOutWithoutABox) {
    fakewave::Answer("waveInPrepareHeader", MMSYSERR_NOMEM);
    ModalBoxes boxes;

    TfrmAudio* form = Open();

    EXPECT_TRUE(boxes.Seen().empty());
    EXPECT_FALSE(Application->Terminated());
    const std::vector<Call> log = fakewave::Log();
    EXPECT_TRUE(CallsOf(log, "waveInAddBuffer").empty());
    EXPECT_TRUE(fakewave::Queued().empty());
    EXPECT_LT(IndexOf(log, "waveInStart"), log.size());
    EXPECT_TRUE(form->capturing.load());
}

// --- The ring ----------------------------------------------------------------

using Ring = EngineFaults;

TEST_F(Ring, EachCompletionIsTurnedAroundLeavingExactlyOneHeaderQueued) {
    TfrmAudio* form = Open();
    WAVEHDR* h = form->headers;
    // Set-up queues only the first half of the ring.
    ASSERT_EQ(fakewave::Queued(), std::vector<WAVEHDR*>{&h[0]});
    EXPECT_EQ(form->requeueCursor.load(), &h[1]);

    for (int k = 1; k <= 6; ++k) {
        SCOPED_TRACE(k);
        const std::size_t before = fakewave::Log().size();
        EXPECT_EQ(fakewave::Complete(), &h[(k - 1) % 2]);
        EXPECT_EQ(form->completedIndex.load(), k % 2);
        EXPECT_EQ(form->requeueCursor.load(), &h[(k - 1) % 2]);
        EXPECT_EQ(fakewave::Queued(), std::vector<WAVEHDR*>{&h[k % 2]});
        EXPECT_EQ(form->playbackWorker->GetHeader(), &h[(k - 1) % 2]);
        // The device took every call: the completed header was free to
        // unprepare and the one queued again was no longer held.
        for (const Call& call : CallsOf(fakewave::Log(), "waveInUnprepareHeader", before)) {
            EXPECT_EQ(call.result, MMSYSERR_NOERROR);
        }
        for (const Call& call : CallsOf(fakewave::Log(), "waveInAddBuffer", before)) {
            EXPECT_EQ(call.result, MMSYSERR_NOERROR);
        }
    }
}

TEST_F(Ring, ACompletionWhileNotCapturingTouchesNothing) {
    TfrmAudio* form = Open();
    WAVEHDR* h = form->headers;
    ASSERT_EQ(fakewave::Complete(), &h[0]);
    form->capturing = false;
    const std::size_t before = fakewave::Log().size();

    EXPECT_EQ(fakewave::Complete(), &h[1]);

    EXPECT_EQ(FunctionsOf(fakewave::Log(), before), Names{"WIM_DATA"});
    EXPECT_EQ(form->completedIndex.load(), 1);
    EXPECT_EQ(form->requeueCursor.load(), &h[0]);
    EXPECT_EQ(form->playbackWorker->GetHeader(), &h[0]);
    EXPECT_TRUE(fakewave::Queued().empty());
}

TEST_F(Ring, ABlockCompletedBeforeStartReturnsIsTurnedAround) {
    WAVEHDR* completed = nullptr;
    fakewave::Hook("waveInStart", [&](WAVEHDR*) {
        FirstPlaybackPassEnded(frmAudio);
        completed = fakewave::Complete();
    });

    TfrmAudio* form = Open();
    fakewave::Hook("waveInStart", {});

    WAVEHDR* h = form->headers;
    EXPECT_EQ(completed, &h[0]);
    EXPECT_EQ(fakewave::Queued(), std::vector<WAVEHDR*>{&h[1]});
    EXPECT_EQ(form->completedIndex.load(), 1);
    EXPECT_EQ(form->requeueCursor.load(), &h[0]);
    EXPECT_EQ(form->playbackWorker->GetHeader(), &h[0]);
    // And the ring goes on from there.
    EXPECT_EQ(fakewave::Complete(), &h[1]);
    EXPECT_EQ(fakewave::Queued(), std::vector<WAVEHDR*>{&h[0]});
}

// --- Shutdown ----------------------------------------------------------------

using Shutdown = EngineFaults;

TEST_F(Shutdown, AHeaderTheDeviceStillHoldsIsAskedForAgainEvery200msUntilItIsLetGo) {
    TfrmAudio* form = Open();
    const WAVEHDR* h = form->headers;
    fakewave::Answer("waveInUnprepareHeader", WAVERR_STILLPLAYING, 3);

    Close();

    const std::vector<Call> log = fakewave::Log();
    const std::vector<Call> first = [&] {
        std::vector<Call> calls;
        for (const Call& call : CallsOf(log, "waveInUnprepareHeader")) {
            if (call.header == &h[0]) {
                calls.push_back(call);
            }
        }
        return calls;
    }();
    ASSERT_EQ(first.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(first[i].result, WAVERR_STILLPLAYING);
        EXPECT_GE(first[i + 1].at - first[i].at, 200ms) << "retry " << i + 1;
    }
    EXPECT_EQ(first[3].result, MMSYSERR_NOERROR);
    const std::size_t second = IndexOf(log, "waveInUnprepareHeader", &h[1]);
    const std::size_t close = IndexOf(log, "waveInClose");
    ASSERT_LT(close, log.size());
    EXPECT_LT(second, close);
    EXPECT_EQ(log[close].result, MMSYSERR_NOERROR);
}

TEST_F(Shutdown, WaitsForACompletionItRacedWithAndGetsBackTheBufferThatQueued) {
    TfrmAudio* form = Open();
    const WAVEHDR* h = form->headers;

    // The completion stops inside its own unprepare, past its capturing
    // check, until the test lets it go.
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    fakewave::Hook("waveInUnprepareHeader", [&](WAVEHDR*) {
        if (first.exchange(false)) {
            entered.set_value();
            released.wait();
        }
    });
    std::thread completion([] { fakewave::Complete(); });
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);

    std::promise<void> destroyed;
    std::future<void> destroyedDone = destroyed.get_future();
    std::thread destroyer([&] {
        form->FormDestroy(form);
        destroyed.set_value();
    });
    EXPECT_TRUE(WaitUntil([&] { return !form->capturing.load(); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(IndexOf(fakewave::Log(), "waveInReset"), fakewave::Log().size())
        << "the device was reset while a completion was still turning a buffer around";
    EXPECT_NE(destroyedDone.wait_for(0s), std::future_status::ready);

    release.set_value();
    completion.join();
    if (destroyedDone.wait_for(5s) != std::future_status::ready) {
        std::fprintf(stderr, "FormDestroy did not return after the completion ended\n");
        std::abort();
    }
    destroyer.join();
    fakewave::Hook("waveInUnprepareHeader", {});
    form->OnDestroy = nullptr;

    const std::vector<Call> log = fakewave::Log();
    const std::size_t add = IndexOf(log, "waveInAddBuffer", &h[1]);
    const std::size_t reset = IndexOf(log, "waveInReset");
    ASSERT_LT(reset, log.size());
    ASSERT_LT(add, reset);
    EXPECT_EQ(log[add].result, MMSYSERR_NOERROR);
    EXPECT_EQ(IndexOf(log, "WIM_DATA", &h[1]), reset + 1);
    for (const Call& call : CallsOf(log, "waveInUnprepareHeader", reset)) {
        EXPECT_EQ(call.result, MMSYSERR_NOERROR);
    }
    EXPECT_EQ(CallsOf(log, "waveInClose").at(0).result, MMSYSERR_NOERROR);
    EXPECT_TRUE(fakewave::Queued().empty());
}

// --- Playback buttons --------------------------------------------------------

using Buttons = EngineFaults;

TEST_F(Buttons, IniciarPlaysTheNextBlockAndNotOneCompletedDuringTheWaitAfterAWrite) {
    TfrmAudio* form = Open();
    WAVEHDR* h = form->headers;

    Click(form->btnIniciar);

    // With nothing handed over yet the worker's pass plays nothing; the
    // next block wakes it and is written to the playback device.
    ASSERT_TRUE(WaitUntil([&] { return form->playbackWorker->Suspended(); }));
    ASSERT_EQ(fakewave::Complete(), &h[0]);
    EXPECT_TRUE(WaitUntil([&] {
        const std::vector<Call> log = fakewave::Log();
        return IndexOf(log, "waveOutWrite", &h[0]) < log.size();
    }));
    // The next block, completed during the 60 ms wait that follows a write,
    // finds the worker running and is not played.
    const auto written = std::chrono::steady_clock::now();
    ASSERT_EQ(fakewave::Complete(), &h[1]);
    if (std::chrono::steady_clock::now() - written < 30ms) {
        ASSERT_TRUE(WaitUntil([&] { return form->playbackWorker->Suspended(); }));
        const std::vector<Call> log = fakewave::Log();
        EXPECT_EQ(IndexOf(log, "waveOutWrite", &h[1]), log.size());
    }
}

TEST_F(Buttons, ClosingInTheMiddleOfAPlaybackPassEndsItBeforeThePlaybackDeviceIsUsedAgain) {
    TfrmAudio* form = Open();
    WAVEHDR* h = form->headers;
    Click(form->btnIniciar);
    ASSERT_TRUE(WaitUntil([&] { return form->playbackWorker->Suspended(); }));
    ASSERT_EQ(fakewave::Complete(), &h[0]);
    ASSERT_TRUE(WaitUntil([&] {
        const std::vector<Call> log = fakewave::Log();
        return IndexOf(log, "waveOutWrite", &h[0]) < log.size();
    }));

    // The worker is now in the wait that follows its write, not paused.
    Close();

    const std::vector<Call> log = fakewave::Log();
    const std::size_t unprepare = IndexOf(log, "waveOutUnprepareHeader", &h[0]);
    const std::size_t close = IndexOf(log, "waveOutClose");
    ASSERT_LT(close, log.size());
    EXPECT_LT(unprepare, close);
    EXPECT_EQ(FunctionsOf(log, close + 1), Names{});
}

} // namespace
