// Pictures sent straight to an X window (run on a private Xvfb). Only the
// rows that changed go out, from two shared segments used in turn; whatever
// is skipped, the window must end up showing the last picture exactly. A
// paint box on X shows what a worker draws from the worker's own thread.
#include "forms.h"
#include "waituntil.h"
#include "xcbpicture.h"

#include <QImage>
#include <QWidget>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>

namespace {

struct Free {
    void operator()(void* p) const { std::free(p); }
};

// Whether `window` shows `image` pixel for pixel from its top left corner.
bool WindowShows(xcb_connection_t* connection, xcb_window_t window, const QImage& image) {
    const int width = image.width();
    const int height = image.height();
    std::unique_ptr<xcb_get_image_reply_t, Free> reply{xcb_get_image_reply(
        connection,
        xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, width, height, ~0u),
        nullptr)};
    if (!reply) {
        return false;
    }
    const auto* pixels = reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(reply.get()));
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            if ((pixels[y * width + x] & 0xFFFFFF) != (row[x] & 0xFFFFFF)) {
                return false;
            }
        }
    }
    return true;
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
    }
    void TearDown() override {
        picture.reset();
        xcb_disconnect(connection);
    }

    bool Shows(const QImage& image) { return WindowShows(connection, window, image); }

    static constexpr int kWidth = 64;
    static constexpr int kHeight = 48;
    xcb_connection_t* connection = nullptr;
    xcb_window_t window = 0;
    std::unique_ptr<TXcbPicture> picture;
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

    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    std::atomic<bool> done{false};
    std::thread shower([&] {
        for (int frame = 0; frame < 8; ++frame) {
            image.fill(frame % 2 == 0 ? 0x00FFFF : 0xFF0000);
            picture->Show(image, false);
        }
        done.store(true);
    });
    const bool returned = testwait::WaitUntil([&] { return done.load(); }, std::chrono::seconds(5));
    kill(pid, SIGCONT);
    shower.join();
    EXPECT_TRUE(returned) << "pictures waited on a stopped server";
    image.fill(0x0000FF);
    ASSERT_TRUE(picture->Show(image, false));
    EXPECT_TRUE(testwait::WaitUntil([&] { return Shows(image); }));
}

// The event loop is not turned once the window is up: a picture that
// needed it would never arrive.
TEST_F(XcbPicture, APictureAWorkerFinishesReachesThePaintBoxWindowWithoutTheEventLoop) {
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    Application->Initialize();
    auto* form = new TForm(nullptr);
    auto* box = new TPaintBox(form);
    form->SetBounds(0, 0, kWidth, kHeight);
    box->SetBounds(0, 0, kWidth, kHeight);
    box->SetColor(clBlack);
    form->Show();
    QImage picture(kWidth, kHeight, QImage::Format_RGB32);
    picture.fill(Qt::black);
    const auto boxWindow = static_cast<xcb_window_t>(box->Widget()->winId());
    ASSERT_TRUE(testwait::WaitUntil([&] { return WindowShows(connection, boxWindow, picture); },
                                    std::chrono::seconds(5),
                                    [] { Application->ProcessMessages(); }));

    std::thread worker([&] {
        TCanvas& canvas = *box->Canvas;
        canvas.Lock();
        canvas.Brush->Color = clBlack;
        canvas.Pen->Color = clAqua;
        canvas.Rectangle(0, 0, kWidth, kHeight);
        canvas.MoveTo(3, 40);
        canvas.LineTo(60, 5);
        canvas.Unlock();
    });
    worker.join();
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const TColor c = box->Canvas->Pixel(x, y);
            picture.setPixel(x, y, qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
        }
    }
    EXPECT_TRUE(testwait::WaitUntil([&] { return WindowShows(connection, boxWindow, picture); }));
    delete form;
}

} // namespace
