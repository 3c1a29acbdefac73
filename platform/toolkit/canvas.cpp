#include "canvas.h"

#include "presenter.h"
#include "qtbridge.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QThread>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace qtbridge;

// ---------------------------------------------------------------------------
// TCanvas

namespace {

// The image's pixel for a colour. Plain colours are rearranged in place: a
// pass converts its pen colour once per line, and going through QColor cost
// as much as drawing a short line. System colours need the palette.
inline QRgb ToPixel(TColor color) {
    if ((color & 0xFF000000) == 0xFF000000) {
        return ToQColor(color).rgb();
    }
    return qRgb(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

} // namespace

struct TCanvas::Image {
    QImage pixels{1, 1, QImage::Format_RGB32};
    int penX = 0;
    int penY = 0;
    // Where the pixels are, taken again whenever the picture is replaced or
    // filled: QImage's own accessors check for a shared copy at every call,
    // a cost that dominated a pass of 1,024 short lines. The image is never
    // handed out, so it stays unshared and these stay valid.
    QRgb* bits = nullptr;
    std::int64_t stride = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;

    Image() { Refresh(); }

    void Refresh() {
        bits = reinterpret_cast<QRgb*>(pixels.bits());
        stride = pixels.bytesPerLine() / std::int64_t{sizeof(QRgb)};
        width = pixels.width();
        height = pixels.height();
    }

    void Fill(QRgb colour) {
        // Qt's fill is vectorised; the whole picture is cleared by every pass.
        pixels.fill(colour);
        Refresh();
    }

    // Pixels x1..x2 of row y, both included, clipped to the picture.
    void Span(std::int64_t x1, std::int64_t x2, std::int64_t y, QRgb colour) {
        x1 = std::max<std::int64_t>(x1, 0);
        x2 = std::min<std::int64_t>(x2, width - 1);
        if (y < 0 || y >= height || x1 > x2) {
            return;
        }
        std::fill(bits + y * stride + x1, bits + y * stride + x2 + 1, colour);
    }
};

// Each drawing call holds the lock for itself. Inside a Lock() the calling
// thread holds it already; taking it again for each of a pass's 1,024 lines
// cost a fifth of the pass, so then the call draws straight away.
class TCanvas::Held {
public:
    explicit Held(TCanvas& canvas)
        : canvas_(canvas.owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()
                      ? nullptr
                      : &canvas) {
        if (canvas_ != nullptr) {
            canvas_->Lock();
        }
    }
    ~Held() {
        if (canvas_ != nullptr) {
            canvas_->Unlock();
        }
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    TCanvas* canvas_;
};

// Qt's own painting, where no faster way is open: the picture waits in the
// canvas for the widget's next repaint.
class TCanvas::QtPainting final : public TPresenter {
public:
    explicit QtPainting(TCanvas& canvas) : canvas_(canvas) {}
    bool Show(const QImage&, bool whole) override {
        // A whole picture is asked for by Qt's painting itself.
        if (!whole) {
            canvas_.PostRepaint();
        }
        return true;
    }
    bool Follows() override { return true; }
    bool QtPaints() const override { return true; }

private:
    TCanvas& canvas_;
};

TCanvas::TCanvas(QWidget* widget)
    : Pen(&pen_), Brush(&brush_), image_(std::make_unique<Image>()), widget_(widget),
      presenter_(std::make_unique<QtPainting>(*this)) {}

TCanvas::~TCanvas() = default;

void TCanvas::Lock() {
    mutex_.lock();
    if (lockDepth_++ == 0) {
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
}

void TCanvas::Unlock() {
    if (--lockDepth_ == 0) {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        // Still under the lock, so the picture shown is the one just
        // finished. On a fast path it goes out from here, on the drawing
        // thread, and the event loop is not woken for it at all.
        if (lost_) {
            PostRepaint();
        } else if (!presenter_->Show(image_->pixels, false)) {
            // The display went away under the presenter; Qt paints again,
            // and only the GUI thread may hand that over.
            lost_ = true;
            PostRepaint();
        }
    }
    mutex_.unlock();
}

void TCanvas::PostRepaint() {
    // Posted to the widget's thread, so a worker may ask for it; Qt drops
    // the call if the widget is gone by then. One request in flight is
    // enough: the repaint shows whatever the picture is when it runs. It
    // paints there and then rather than through update(), whose own posted
    // request would cost the event loop a second round per picture.
    if (!repaintPosted_.exchange(true)) {
        QMetaObject::invokeMethod(
            widget_, [this] { Repaint(); }, Qt::QueuedConnection);
    }
}

void TCanvas::Repaint() {
    repaintPosted_.store(false);
    widget_->repaint();
}

void TCanvas::Shown() {
    // A window the fast paths need may come only with the first paint.
    choose_ = !Choose();
}

void TCanvas::WindowChanged() {
    std::unique_ptr<TPresenter> old;
    std::lock_guard lock(mutex_);
    if (!lost_ && presenter_->Follows()) {
        return;
    }
    // The old window may be gone already; nothing more is sent to it.
    old = std::exchange(presenter_, std::make_unique<QtPainting>(*this));
    lost_ = false;
    choose_ = true;
}

bool TCanvas::Choose() {
    {
        // The old presenter goes first: the widget's attributes are its
        // until then.
        std::unique_ptr<TPresenter> old;
        std::lock_guard lock(mutex_);
        old = std::exchange(presenter_, std::make_unique<QtPainting>(*this));
        lost_ = false;
    }
    // Unlocked: setting up talks to the display, and the drawing thread
    // goes on meanwhile.
    std::unique_ptr<TPresenter> chosen = ChoosePresenter(*widget_);
    if (chosen == nullptr) {
        return false;
    }
    std::lock_guard lock(mutex_);
    presenter_ = std::move(chosen);
    return true;
}

void TCanvas::Paint() {
    {
        std::unique_ptr<TPresenter> failed;
        std::lock_guard lock(mutex_);
        if (lost_) {
            // The display went away under the presenter: Qt paints again.
            lost_ = false;
            failed = std::exchange(presenter_, std::make_unique<QtPainting>(*this));
        } else if (!presenter_->Follows()) {
            choose_ = true;
        }
    }
    if (choose_) {
        choose_ = false;
        Choose();
    }
    std::lock_guard lock(mutex_);
    if (!presenter_->Show(image_->pixels, true)) {
        lost_ = true;
        PostRepaint();
    } else if (presenter_->QtPaints()) {
        // Logical pixels: on a high-density screen the picture is scaled up
        // without smoothing, so a one-pixel trace stays sharp.
        QPainter painter(widget_);
        painter.drawImage(QRect(QPoint(0, 0), image_->pixels.size()), image_->pixels);
    }
}

void TCanvas::Rectangle(int left, int top, int right, int bottom) {
    // 64-bit so that edges next to the int limits do not overflow.
    std::int64_t x1 = std::min(left, right);
    std::int64_t x2 = std::max(left, right);
    std::int64_t y1 = std::min(top, bottom);
    std::int64_t y2 = std::max(top, bottom);
    if (x1 == x2 || y1 == y2) {
        return;
    }
    const Held held(*this);
    Image& image = *image_;
    const QRgb fill = ToPixel(Brush->Color);
    const QRgb line = ToPixel(Pen->Color);
    if (x1 <= 0 && y1 <= 0 && x2 >= image.width && y2 >= image.height) {
        // The whole picture, as every oscilloscope pass asks: one fill, then
        // whichever outline edges fall inside it.
        image.Fill(fill);
        image.Span(x1, x2 - 1, y1, line);
        image.Span(x1, x2 - 1, y2 - 1, line);
        for (std::int64_t y = std::max<std::int64_t>(y1, 0); y < image.height; ++y) {
            image.Span(x1, x1, y, line);
            image.Span(x2 - 1, x2 - 1, y, line);
        }
        return;
    }
    const std::int64_t firstRow = std::max<std::int64_t>(y1, 0);
    const std::int64_t lastRow = std::min<std::int64_t>(y2 - 1, image.height - 1);
    for (std::int64_t y = firstRow; y <= lastRow; ++y) {
        if (y == y1 || y == y2 - 1) {
            image.Span(x1, x2 - 1, y, line);
        } else {
            image.Span(x1 + 1, x2 - 2, y, fill);
            image.Span(x1, x1, y, line);
            image.Span(x2 - 1, x2 - 1, y, line);
        }
    }
}

void TCanvas::MoveTo(int x, int y) {
    std::lock_guard lock(mutex_);
    image_->penX = x;
    image_->penY = y;
}

void TCanvas::LineTo(int x, int y) {
    const Held held(*this);
    Image& image = *image_;
    const QRgb colour = ToPixel(Pen->Color);
    // Bresenham over all octants in 64-bit steps, stopping before the end
    // point: that pixel belongs to the next segment of a polyline.
    std::int64_t px = image.penX;
    std::int64_t py = image.penY;
    image.penX = x;
    image.penY = y;
    const std::int64_t dx = std::abs(static_cast<std::int64_t>(x) - px);
    const std::int64_t dy = -std::abs(static_cast<std::int64_t>(y) - py);
    const int sx = px < x ? 1 : -1;
    const int sy = py < y ? 1 : -1;
    const std::int64_t w = image.width;
    const std::int64_t h = image.height;
    // A segment wholly on one side of the picture draws nothing.
    if ((px < 0 && x < 0) || (py < 0 && y < 0) || (px >= w && x >= w) || (py >= h && y >= h)) {
        return;
    }
    // Every pixel of a segment lies between its two ends: with both inside,
    // as all of an oscilloscope pass's are, no pixel needs checking.
    const bool inside =
        px >= 0 && py >= 0 && px < w && py < h && x >= 0 && y >= 0 && x < w && y < h;
    QRgb* const bits = image.bits;
    const std::int64_t stride = image.stride;
    std::int64_t err = dx + dy;
    // One pixel per step along the longer axis; the steps are taken without
    // branches, which a trace's ever-changing slopes would mispredict.
    auto step = [&] {
        const std::int64_t e2 = 2 * err;
        const std::int64_t stepX = e2 >= dy ? 1 : 0;
        const std::int64_t stepY = e2 <= dx ? 1 : 0;
        err += stepX * dy + stepY * dx;
        px += stepX * sx;
        py += stepY * sy;
    };
    const std::int64_t steps = std::max(dx, -dy);
    if (inside) {
        for (std::int64_t n = 0; n < steps; ++n) {
            bits[py * stride + px] = colour;
            step();
        }
        return;
    }
    for (std::int64_t n = 0; n < steps; ++n) {
        if (px >= 0 && py >= 0 && px < w && py < h) {
            bits[py * stride + px] = colour;
        }
        step();
    }
}

int TCanvas::PenX() const {
    std::lock_guard lock(mutex_);
    return image_->penX;
}

int TCanvas::PenY() const {
    std::lock_guard lock(mutex_);
    return image_->penY;
}

TColor TCanvas::Pixel(int x, int y) const {
    std::lock_guard lock(mutex_);
    const QImage& pixels = image_->pixels;
    if (x < 0 || y < 0 || x >= pixels.width() || y >= pixels.height()) {
        return clNone;
    }
    return FromQRgb(pixels.pixel(x, y));
}

void TCanvas::Resize(int width, int height, TColor background) {
    width = std::max(width, 1);
    height = std::max(height, 1);
    std::lock_guard lock(mutex_);
    if (image_->pixels.width() == width && image_->pixels.height() == height) {
        return;
    }
    QImage resized(width, height, QImage::Format_RGB32);
    resized.fill(ToQColor(background));
    QPainter painter(&resized);
    painter.drawImage(QPoint(0, 0), image_->pixels);
    painter.end();
    image_->pixels = std::move(resized);
    image_->Refresh();
}

void TCanvas::Clear(TColor background) {
    std::lock_guard lock(mutex_);
    image_->Fill(ToPixel(background));
}

// ---------------------------------------------------------------------------
// TPaintBox

class TPaintBox::View : public QWidget {
public:
    View() { setAttribute(Qt::WA_OpaquePaintEvent); }
    // Events reach the box only once its canvas exists: a box made on a
    // form already shown gets its first resize event as the control is
    // made, before that.
    void Attach(TPaintBox* box) { box_ = box; }
    void Detach() { box_ = nullptr; }

    // Qt paints nothing of a widget shown straight on its X window.
    QPaintEngine* paintEngine() const override {
        return testAttribute(Qt::WA_PaintOnScreen) ? nullptr : QWidget::paintEngine();
    }

protected:
    void showEvent(QShowEvent*) override {
        if (box_ != nullptr) {
            box_->Canvas->Shown();
        }
    }
    void hideEvent(QHideEvent*) override {
        if (box_ != nullptr) {
            box_->Canvas->WindowChanged();
        }
    }
    bool event(QEvent* event) override {
        if (event->type() == QEvent::WinIdChange && box_ != nullptr) {
            box_->Canvas->WindowChanged();
        }
        return QWidget::event(event);
    }
    void paintEvent(QPaintEvent*) override {
        if (box_ != nullptr) {
            box_->Canvas->Paint();
        }
    }
    void resizeEvent(QResizeEvent*) override {
        if (box_ != nullptr) {
            box_->Resized(width(), height());
        }
    }

private:
    TPaintBox* box_ = nullptr;
};

TPaintBox::TPaintBox(TComponent* Owner)
    : TControl(Owner, new View()), Canvas(new TCanvas(Widget())) {
    static_cast<View*>(Widget())->Attach(this);
    Resized(Widget()->width(), Widget()->height());
    Canvas->Clear(Color());
}

TPaintBox::~TPaintBox() {
    static_cast<View*>(Widget())->Detach();
    delete Canvas;
}

void TPaintBox::SetBounds(int left, int top, int width, int height) {
    TControl::SetBounds(left, top, width, height);
    // A hidden widget gets its resize event only when shown; the size must
    // be right before that for workers that read it.
    Resized(Widget()->width(), Widget()->height());
}

void TPaintBox::ColorChanged() {
    Canvas->Clear(Color());
}

void TPaintBox::Resized(int width, int height) {
    Canvas->Resize(width, height, Color());
    clientWidth_.store(width, std::memory_order_relaxed);
    clientHeight_.store(height, std::memory_order_relaxed);
}
