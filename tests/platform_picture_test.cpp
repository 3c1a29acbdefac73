// Pictures sent straight to an X window (run on a private Xvfb). Only the
// rows that changed go out, from two shared segments used in turn; whatever
// is skipped, the window must end up showing the last picture exactly. A
// paint box on X shows what a worker draws from the worker's own thread.
#include "forms.h"
#include "waituntil.h"
#include "xcbpicture.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

struct Free {
    void operator()(void* p) const { std::free(p); }
};

// Whether `screen` shows `want` pixel for pixel from (x0, y0).
bool ShowsAt(const QImage& screen, const QImage& want, int x0 = 0, int y0 = 0) {
    if (x0 + want.width() > screen.width() || y0 + want.height() > screen.height()) {
        return false;
    }
    for (int y = 0; y < want.height(); ++y) {
        for (int x = 0; x < want.width(); ++x) {
            if (((screen.pixel(x0 + x, y0 + y) ^ want.pixel(x, y)) & 0xFFFFFF) != 0) {
                return false;
            }
        }
    }
    return true;
}

// Whether `window` shows `image` pixel for pixel from (x, y).
bool WindowShows(xcb_connection_t* connection, xcb_window_t window, const QImage& image, int x0 = 0,
                 int y0 = 0) {
    std::unique_ptr<xcb_get_image_reply_t, Free> reply{
        xcb_get_image_reply(connection,
                            xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, x0, y0,
                                          image.width(), image.height(), ~0u),
                            nullptr)};
    return reply && ShowsAt(QImage(xcb_get_image_data(reply.get()), image.width(), image.height(),
                                   QImage::Format_RGB32),
                            image);
}

// How many hold each shared memory segment of this process of `bytes`.
std::vector<int> Segments(std::size_t bytes) {
    std::ifstream table("/proc/sysvipc/shm");
    std::string line;
    std::getline(table, line);
    std::vector<int> holders;
    long key, id, perms, pid, last, attached;
    std::size_t size;
    while (table >> key >> id >> perms >> size >> pid >> last >> attached) {
        if (pid == getpid() && size == bytes)
            holders.push_back(int(attached));
        std::getline(table, line);
    }
    return holders;
}

// The canvas as Qt paints it at this pixel ratio: scaled up without
// smoothing, what every way to the screen must match.
QImage AsQtPaints(TCanvas& canvas, int width, int height, qreal ratio) {
    QImage picture(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const TColor c = canvas.Pixel(x, y);
            picture.setPixel(x, y, qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
        }
    }
    QImage screen(qRound(width * ratio), qRound(height * ratio), QImage::Format_RGB32);
    screen.fill(Qt::magenta);
    screen.setDevicePixelRatio(ratio);
    QPainter painter(&screen);
    painter.drawImage(QRect(0, 0, width, height), picture);
    return screen;
}

// A block on a 64 x 48 canvas, in a frame of a colour nothing else has.
void Draw(TCanvas& canvas, int shift = 0) {
    canvas.Lock();
    canvas.Brush->Color = clBlack;
    canvas.Pen->Color = 0xF0A512; // the frame
    canvas.Rectangle(0, 0, 64, 48);
    canvas.Pen->Color = clAqua;
    canvas.MoveTo(3, 40 - shift);
    canvas.LineTo(60, 5 + shift);
    canvas.Unlock();
}

// A worker that draws a block every 23 ms, as the display worker does,
// until it goes; frozen, it draws one block unlike any before over and
// over, as on a quiet input.
class Blocks {
public:
    template <typename Draw>
    explicit Blocks(Draw draw)
        : thread_([this, draw] {
              tid.store(gettid());
              for (int block = 0; !stop_.load(); ++block) {
                  draw(frozen.load() ? 30 : block % 30);
                  std::this_thread::sleep_for(std::chrono::milliseconds(23));
              }
          }) {}
    ~Blocks() {
        stop_.store(true);
        thread_.join();
    }
    // The write calls the worker has made, the pictures it sent to the X
    // server among them.
    long Writes() const {
        std::ifstream io("/proc/self/task/" + std::to_string(tid.load()) + "/io");
        std::string key;
        long value = 0;
        while (io >> key >> value) {
            if (key == "syscw:") {
                return value;
            }
        }
        return -1;
    }
    std::atomic<bool> frozen{false};
    std::atomic<pid_t> tid{0};

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Whether `draw` returns within 5 s while the display server `pid` is
// stopped.
template <typename Draw> bool ReturnsWhileStopped(pid_t pid, const Draw& draw) {
    if (kill(pid, SIGSTOP) != 0) {
        return false;
    }
    std::atomic<bool> done{false};
    std::thread worker([&] {
        draw();
        done.store(true);
    });
    const bool returned = testwait::WaitUntil([&] { return done.load(); }, std::chrono::seconds(5));
    kill(pid, SIGCONT);
    worker.join();
    return returned;
}

// While a worker draws a block every 23 ms, no pictures go out (`sent`
// counts them, minimized); frozen on one block, `restore` brings that block
// back.
template <typename Sent, typename Restore>
void NothingWhileMinimizedAndTheLatestRestored(TCanvas& canvas, const Sent& sent,
                                               const Restore& restore) {
    long during = -1;
    bool restored = false;
    {
        Blocks blocks([&](int shift) { Draw(canvas, shift); });
        during = sent(blocks);
        blocks.frozen.store(true);
        restored = during >= 0 && restore();
    }
    EXPECT_EQ(during, 0) << "pictures kept going out while minimized";
    EXPECT_TRUE(restored) << "restored, the paint box did not show the latest block";
}

class XcbPicture : public testing::Test {
protected:
    void SetUp() override {
        connection = xcb_connect(nullptr, nullptr);
        ASSERT_EQ(xcb_connection_has_error(connection), 0) << "no X server";
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        window = xcb_generate_id(connection);
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, kWidth,
                          kHeight, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0,
                          nullptr);
        xcb_map_window(connection, window);
        xcb_flush(connection);
        picture = TXcbPicture::Create(window);
        ASSERT_NE(picture, nullptr);
        qtHandler = qInstallMessageHandler(Watch);
    }
    void TearDown() override {
        delete form;
        picture.reset();
        xcb_disconnect(connection);
        qInstallMessageHandler(qtHandler);
        // Qt never tries to paint the window the pictures go to.
        EXPECT_EQ(painterWarnings.load(), 0);
    }
    static void Watch(QtMsgType type, const QMessageLogContext& where, const QString& text) {
        painterWarnings += text.startsWith("QPainter") ? 1 : 0;
        if (qtHandler != nullptr)
            qtHandler(type, where, text);
    }
    static inline QtMessageHandler qtHandler = nullptr;
    static inline std::atomic<int> painterWarnings{0};

    bool Shows(const QImage& image) { return WindowShows(connection, window, image); }

    // A form on X that a paint box fills, shown: the box has a window of its
    // own, where the fast path sends its pictures. The form's size is its
    // frame's, a window manager's decorations included.
    void ShowPaintBox(int formWidth = kWidth, int formHeight = kHeight) {
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        Application->Initialize();
        form = new TForm(nullptr);
        box = new TPaintBox(form);
        form->SetBounds(0, 0, formWidth, formHeight);
        box->SetBounds(0, 0, kWidth, kHeight);
        box->SetColor(clBlack);
        form->Show();
        ratio = box->Widget()->devicePixelRatioF();
        boxWindow = static_cast<xcb_window_t>(box->Widget()->winId());
    }
    bool BoxShowsCanvas() {
        return WindowShows(connection, boxWindow, AsQtPaints(*box->Canvas, kWidth, kHeight, ratio));
    }
    bool BoxShowsCanvasAsTheLoopTurns() {
        return testwait::WaitUntil([&] { return BoxShowsCanvas(); }, std::chrono::seconds(5),
                                   [] { Application->ProcessMessages(); });
    }

    static constexpr int kWidth = 64;
    static constexpr int kHeight = 48;
    xcb_connection_t* connection = nullptr;
    xcb_window_t window = 0;
    std::unique_ptr<TXcbPicture> picture;
    TForm* form = nullptr;
    TPaintBox* box = nullptr;
    qreal ratio = 1;
    xcb_window_t boxWindow = 0;
};

TEST_F(XcbPicture, TheWindowShowsExactlyTheLastPictureWhateverRowsChanged) {
    std::mt19937 random(7);
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(0x404040);
    // Bars of a few rows at random places, some close enough to be sent in
    // one request with the unchanged rows between them; some pictures the
    // same as the one before.
    for (int frame = 0; frame < 24; ++frame) {
        SCOPED_TRACE(frame);
        if (frame % 5 != 4) {
            image.fill(0x404040);
            for (int bar = 0; bar < 3; ++bar) {
                const int top = int(random() % kHeight);
                const QRgb colour = 0xFF000000 | (random() & 0xFFFFFF);
                for (int y = top; y < std::min(kHeight, top + 1 + int(random() % 4)); ++y) {
                    for (int x = int(random() % kWidth); x < kWidth; ++x) {
                        image.setPixel(x, y, colour);
                    }
                }
            }
        }
        ASSERT_TRUE(picture->Show(image, frame == 12));
        EXPECT_TRUE(testwait::WaitUntil([&] { return Shows(image); }));
    }
    // Back to back, faster than the server lets go of them: each goes out.
    QImage other = image;
    other.fill(0x102030);
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(picture->Show(i % 2 != 0 ? image : other, true)) << i;
    }
    // Two segments, each held by the picture and the server, and let go by
    // both once pictures of another size need others.
    EXPECT_EQ(Segments(kWidth * kHeight * 4), (std::vector<int>{2, 2}));
    ASSERT_TRUE(picture->Show(image.copy(0, 0, kWidth / 2, kHeight), true));
    EXPECT_TRUE(testwait::WaitUntil([&] { return Segments(kWidth * kHeight * 4).empty(); }));
}

// A server that stops answering holds a picture up for a moment only (the
// drawing thread shows it holding the canvas); once it answers again, the
// window catches up with the latest picture.
TEST_F(XcbPicture, AServerThatStopsAnsweringHoldsPicturesUpBrieflyAndTheWindowCatchesUp) {
    const char* server = std::getenv("XVFB_PID");
    ASSERT_TRUE(server != nullptr && std::atoi(server) > 0) << "run through on-xvfb.sh";
    const pid_t pid = std::atoi(server);
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(0x202020);
    ASSERT_TRUE(picture->Show(image, true));
    ASSERT_TRUE(testwait::WaitUntil([&] { return Shows(image); }));

    EXPECT_TRUE(ReturnsWhileStopped(pid, [&] {
        for (int frame = 0; frame < 8; ++frame) {
            image.fill(frame % 2 == 0 ? 0x00FFFF : 0xFF0000);
            picture->Show(image, false);
        }
    })) << "pictures waited on a stopped server";
    image.fill(0x0000FF);
    ASSERT_TRUE(picture->Show(image, false));
    EXPECT_TRUE(testwait::WaitUntil([&] { return Shows(image); }));
}

// The event loop is not turned once the window is up: a picture that
// needed it would never arrive. At QT_SCALE_FACTOR=2 (a high-density
// screen) each pixel of the canvas is a 2 x 2 block of the window; at 1.25
// and 1.5 (a laptop's 125 % and 150 %) no fast path can match Qt's
// scaling, and Qt's painting shows the pictures.
TEST_F(XcbPicture, APictureAWorkerFinishesReachesThePaintBoxWindowWithoutTheEventLoop) {
    ShowPaintBox();
    if (const char* factor = std::getenv("QT_SCALE_FACTOR")) {
        ASSERT_DOUBLE_EQ(ratio, std::atof(factor));
    }
    ASSERT_TRUE(BoxShowsCanvasAsTheLoopTurns());
    std::thread([&] { Draw(*box->Canvas); }).join();
    // Qt paints only as the event loop turns.
    const bool fractional = ratio != std::round(ratio);
    EXPECT_TRUE(testwait::WaitUntil([&] { return BoxShowsCanvas(); }, std::chrono::seconds(2),
                                    [&] {
                                        if (fractional) {
                                            Application->ProcessMessages();
                                        }
                                    }));
}

// X keeps nothing of a window that another covered: uncovered, it holds
// what the other one left, and the whole picture must go out again.
TEST_F(XcbPicture, AnUncoveredPaintBoxShowsTheWholePictureAgain) {
    ShowPaintBox();
    std::thread([&] { Draw(*box->Canvas); }).join();
    ASSERT_TRUE(BoxShowsCanvasAsTheLoopTurns());
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    std::unique_ptr<xcb_translate_coordinates_reply_t, Free> at{xcb_translate_coordinates_reply(
        connection, xcb_translate_coordinates(connection, boxWindow, screen->root, 0, 0), nullptr)};
    ASSERT_NE(at, nullptr);
    const xcb_window_t cover = xcb_generate_id(connection);
    // Red, and placed as asked whatever window manager there is.
    const std::uint32_t values[] = {0xFF0000, 1};
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, cover, screen->root, at->dst_x, at->dst_y,
                      4 * kWidth, 4 * kHeight, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(connection, cover);
    xcb_flush(connection);
    QImage red = AsQtPaints(*box->Canvas, kWidth, kHeight, ratio);
    red.fill(0xFF0000);
    // The screen, not the box's window: what X returns of a covered window
    // is its own.
    auto screenShows = [&](const QImage& image) {
        return WindowShows(connection, screen->root, image, at->dst_x, at->dst_y);
    };
    ASSERT_TRUE(testwait::WaitUntil([&] { return screenShows(red); }));
    xcb_destroy_window(connection, cover);
    xcb_flush(connection);
    EXPECT_TRUE(testwait::WaitUntil(
        [&] { return screenShows(AsQtPaints(*box->Canvas, kWidth, kHeight, ratio)); },
        std::chrono::seconds(5), [] { Application->ProcessMessages(); }));
}

// Under a window manager (on-xvfb.sh --wm): iconified, the window is
// unmapped, and the worker that goes on drawing writes nothing to the
// display. Restored, the block drawn last comes back whole from the worker
// alone: the event loop does not turn, and X kept nothing of the window.
TEST_F(XcbPicture, AMinimizedPaintBoxGetsNoPicturesAndRestoredShowsTheLatestBlock) {
    if (std::getenv("XVFB_WM") == nullptr) {
        GTEST_SKIP() << "run through on-xvfb.sh --wm";
    }
    // Room for openbox's title bar and borders.
    ShowPaintBox(2 * kWidth, 2 * kHeight);
    ASSERT_TRUE(BoxShowsCanvasAsTheLoopTurns());
    const std::string top = std::to_string(box->Widget()->window()->winId());
    NothingWhileMinimizedAndTheLatestRestored(
        *box->Canvas,
        [&](const Blocks& blocks) {
            if (std::system(("xdotool windowminimize --sync " + top).c_str()) != 0) {
                return -1L;
            }
            // A picture or two may be on their way as the news arrives.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const long before = blocks.Writes();
            std::this_thread::sleep_for(std::chrono::seconds(2));
            return blocks.Writes() - before;
        },
        // A map request brings an iconified window back (ICCCM 4.1.4).
        [&] {
            return std::system(("xdotool windowmap --sync " + top).c_str()) == 0 &&
                   testwait::WaitUntil([&] { return BoxShowsCanvas(); });
        });
}

// On a private Weston (on-weston.sh): the paint box's own surface lies
// exactly over the paint box, past the decorations Qt draws itself, and at
// output scale 2 each picture pixel is a 2 x 2 block; at QT_SCALE_FACTOR
// 1.25 and 1.5 Qt paints the box itself, as it scales it. Weston's pictures
// of its output are the screen as the user sees it.
class WaylandPaintBox : public testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("WESTON_PID") == nullptr) {
            GTEST_SKIP() << "run through on-weston.sh";
        }
    }

    // The output as a picture, from weston-screenshooter.
    static QImage Screen() {
        QTemporaryDir dir;
        const std::string command =
            "cd '" + dir.path().toStdString() + "' && weston-screenshooter >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            return {};
        }
        const QStringList shots = QDir(dir.path()).entryList({"*.png"});
        return shots.isEmpty() ? QImage() : QImage(dir.filePath(shots.first()));
    }

    void TearDown() override { delete form; }

    // A form on Weston with a paint box away from the window's corner, so a
    // place that missed the offset or Qt's decorations shows.
    void ShowPaintBox() {
        setenv("QT_QPA_PLATFORM", "wayland", 1);
        Application->Initialize();
        form = new TForm(nullptr);
        box = new TPaintBox(form);
        form->SetBounds(0, 0, 160, 120);
        box->SetBounds(24, 32, 64, 48);
        box->SetColor(clBlack);
        form->Show();
        // The output's scale times QT_SCALE_FACTOR, as Qt has it.
        ratio = box->Widget()->devicePixelRatioF();
    }

    // Whether the screen shows the canvas somewhere as Qt paints it at this
    // pixel ratio, within 10 s of `turn`s; its corner is found by the
    // frame's colour, which nothing else has.
    template <typename Turn> bool ScreenShowsCanvas(const Turn& turn) {
        return testwait::WaitUntil(
            [&] {
                const QImage screen = Screen().convertToFormat(QImage::Format_RGB32);
                const QImage want = AsQtPaints(*box->Canvas, 64, 48, ratio);
                for (int y = 0; y < screen.height(); ++y) {
                    for (int x = 0; x < screen.width(); ++x) {
                        if ((screen.pixel(x, y) & 0xFFFFFF) == 0x12A5F0) {
                            return ShowsAt(screen, want, x, y);
                        }
                    }
                }
                return false;
            },
            std::chrono::seconds(10), turn);
    }

    TForm* form = nullptr;
    TPaintBox* box = nullptr;
    qreal ratio = 1;
};

// The event loop turns only to bring the window up and to let a compositor
// that was stopped catch up; the pictures themselves go from the worker.
TEST_F(WaylandPaintBox, TheScreenShowsTheCanvasPixelForPixelAndAStoppedCompositorIsNotWaitedOn) {
    ShowPaintBox();
    TCanvas& canvas = *box->Canvas;
    std::thread([&] { Draw(canvas); }).join();
    EXPECT_TRUE(ScreenShowsCanvas([] { Application->ProcessMessages(); }));

    EXPECT_TRUE(ReturnsWhileStopped(std::atoi(std::getenv("WESTON_PID")), [&] {
        for (int frame = 0; frame < 20; ++frame) {
            Draw(canvas, frame % 30);
        }
    })) << "pictures waited on a stopped compositor";
    // As the display worker does, a picture a moment: one that found every
    // buffer still held is skipped, and the next shows it.
    EXPECT_TRUE(ScreenShowsCanvas([&] {
        Draw(canvas, 9);
        Application->ProcessMessages();
    }));
}

// The commits of every surface on the compositor over the next `seconds`,
// from Weston's record of every request.
int CommitsWithin(int seconds) {
    const std::string command =
        "timeout " + std::to_string(seconds) +
        " weston-debug proto 2>/dev/null | grep -c 'rq wl_surface@[0-9]*\\.commit'";
    const std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
    int count = -1;
    return out && std::fscanf(out.get(), "%d", &count) == 1 ? count : -1;
}

// Minimized (Weston takes the window off the screen), the paint box gets
// no pictures while a worker goes on drawing a block every 23 ms; restored
// through Weston's window switcher (super+Tab, on-weston.sh --seat), it
// shows the block drawn last, the same over and over. The event loop does
// not turn then: Qt, which asked for the minimize here, would show the
// paint box anew as the window is activated again, where a compositor that
// minimizes a window itself tells Qt nothing.
TEST_F(WaylandPaintBox, AMinimizedPaintBoxGetsNoPicturesAndRestoredShowsTheLatestBlock) {
    const char* keys = std::getenv("WESTON_X_DISPLAY");
    if (keys == nullptr || *keys == '\0') {
        GTEST_SKIP() << "run through on-weston.sh --seat";
    }
    ShowPaintBox();
    auto turn = [] { Application->ProcessMessages(); };
    Draw(*box->Canvas);
    ASSERT_TRUE(ScreenShowsCanvas(turn));
    NothingWhileMinimizedAndTheLatestRestored(
        *box->Canvas,
        [&](const Blocks&) {
            box->Widget()->window()->showMinimized();
            // Long enough for a frame callback to go unanswered.
            testwait::WaitUntil([] { return false; }, std::chrono::seconds(1), turn);
            return long(CommitsWithin(2));
        },
        [&] {
            const std::string restore = "DISPLAY=" + std::string(keys) +
                                        " xdotool keydown super key Tab sleep 0.2 keyup super";
            return std::system(restore.c_str()) == 0 && ScreenShowsCanvas([] {});
        });
}

} // namespace
