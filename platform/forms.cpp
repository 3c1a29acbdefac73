#include "forms.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFont>
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

namespace {

TApplication applicationInstance;

QColor ToQColor(TColor color) {
    const TColor rgb = ColorToRGB(color);
    return QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
}

TColor FromQRgb(QRgb rgb) {
    return static_cast<TColor>(qRed(rgb)) | static_cast<TColor>(qGreen(rgb)) << 8 |
           static_cast<TColor>(qBlue(rgb)) << 16;
}

QFont ToQFont(const TFont& font) {
    QFont qfont(QString::fromStdString(font.Name));
    qfont.setStyleHint(QFont::SansSerif);
    if (font.Height != 0) {
        qfont.setPixelSize(std::abs(font.Height));
    }
    return qfont;
}

bool OnGuiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

// The message box both MessageBox and ShowException show. Texts are plain:
// an exception message is never read as markup.
void ShowModalBox(QMessageBox::Icon icon, const QString& caption, const QString& text) {
    if (QApplication::instance() == nullptr) {
        std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(),
                     text.toLocal8Bit().constData());
        return;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

TApplication* Application = &applicationInstance;

TColor ColorToRGB(TColor color) {
    if ((color & 0xFF000000) != 0xFF000000) {
        return color & 0xFFFFFF;
    }
    const bool haveApp = QGuiApplication::instance() != nullptr;
    const QPalette palette = haveApp ? QGuiApplication::palette() : QPalette();
    switch (color & 0xFF) {
    case clBtnFace & 0xFF:
        return haveApp ? FromQRgb(palette.color(QPalette::Button).rgb()) : 0xF0F0F0;
    case clWindowText & 0xFF:
        return haveApp ? FromQRgb(palette.color(QPalette::WindowText).rgb()) : clBlack;
    default:
        return clBlack;
    }
}

// ---------------------------------------------------------------------------
// TComponent

TComponent::TComponent(TComponent* Owner) : owner_(Owner) {
    if (owner_ != nullptr) {
        owner_->components_.push_back(this);
    }
}

TComponent::~TComponent() {
    DestroyComponents();
    if (owner_ != nullptr) {
        auto& siblings = owner_->components_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}

void TComponent::DestroyComponents() {
    // Each deletion takes the component out of the list.
    while (!components_.empty()) {
        delete components_.back();
    }
}

// ---------------------------------------------------------------------------
// TCanvas

struct TCanvas::Image {
    QImage pixels{1, 1, QImage::Format_RGB32};
    int penX = 0;
    int penY = 0;

    // Pixels x1..x2 of row y, both included.
    void Span(std::int64_t x1, std::int64_t x2, std::int64_t y, QRgb colour) {
        x1 = std::max<std::int64_t>(x1, 0);
        x2 = std::min<std::int64_t>(x2, pixels.width() - 1);
        if (y < 0 || y >= pixels.height() || x1 > x2) {
            return;
        }
        QRgb* row = reinterpret_cast<QRgb*>(pixels.scanLine(static_cast<int>(y)));
        std::fill(row + x1, row + x2 + 1, colour);
    }
};

TCanvas::TCanvas(QWidget* widget)
    : Pen(&pen_), Brush(&brush_), image_(std::make_unique<Image>()), widget_(widget) {}

TCanvas::~TCanvas() = default;

void TCanvas::Lock() {
    mutex_.lock();
    ++lockDepth_;
}

void TCanvas::Unlock() {
    const bool outermost = --lockDepth_ == 0;
    mutex_.unlock();
    // The repaint is posted to the widget's thread, so a worker may ask for
    // it; Qt drops the call if the widget is gone by then. One request in
    // flight is enough: the repaint shows whatever the picture is when it
    // runs.
    if (outermost && !repaintPosted_.exchange(true)) {
        QMetaObject::invokeMethod(
            widget_,
            [this] {
                repaintPosted_.store(false);
                widget_->update();
            },
            Qt::QueuedConnection);
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
    Lock();
    Image& image = *image_;
    const QRgb fill = ToQColor(Brush->Color).rgb();
    const QRgb line = ToQColor(Pen->Color).rgb();
    const std::int64_t firstRow = std::max<std::int64_t>(y1, 0);
    const std::int64_t lastRow = std::min<std::int64_t>(y2 - 1, image.pixels.height() - 1);
    for (std::int64_t y = firstRow; y <= lastRow; ++y) {
        if (y == y1 || y == y2 - 1) {
            image.Span(x1, x2 - 1, y, line);
        } else {
            image.Span(x1 + 1, x2 - 2, y, fill);
            image.Span(x1, x1, y, line);
            image.Span(x2 - 1, x2 - 1, y, line);
        }
    }
    Unlock();
}

void TCanvas::MoveTo(int x, int y) {
    std::lock_guard lock(mutex_);
    image_->penX = x;
    image_->penY = y;
}

void TCanvas::LineTo(int x, int y) {
    Lock();
    Image& image = *image_;
    const QRgb colour = ToQColor(Pen->Color).rgb();
    // Bresenham over all octants in 64-bit steps, stopping before the end
    // point: that pixel belongs to the next segment of a polyline.
    std::int64_t px = image.penX;
    std::int64_t py = image.penY;
    const std::int64_t dx = std::abs(static_cast<std::int64_t>(x) - px);
    const std::int64_t dy = -std::abs(static_cast<std::int64_t>(y) - py);
    const int sx = px < x ? 1 : -1;
    const int sy = py < y ? 1 : -1;
    const std::int64_t w = image.pixels.width();
    const std::int64_t h = image.pixels.height();
    // A segment wholly on one side of the picture draws nothing.
    const bool outside =
        (px < 0 && x < 0) || (py < 0 && y < 0) || (px >= w && x >= w) || (py >= h && y >= h);
    // The pixels are reached directly: QImage's own accessors check for a
    // shared copy at every call, a cost that dominated a trace of 512 lines.
    QRgb* bits = outside ? nullptr : reinterpret_cast<QRgb*>(image.pixels.bits());
    const std::int64_t stride = image.pixels.bytesPerLine() / std::int64_t{sizeof(QRgb)};
    std::int64_t err = dx + dy;
    while (!outside && (px != x || py != y)) {
        if (px >= 0 && py >= 0 && px < w && py < h) {
            bits[py * stride + px] = colour;
        }
        const std::int64_t e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            px += sx;
        }
        if (e2 <= dx) {
            err += dx;
            py += sy;
        }
    }
    image.penX = x;
    image.penY = y;
    Unlock();
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

void TCanvas::Paint(QPainter& painter) const {
    std::lock_guard lock(mutex_);
    // Logical pixels: on a high-density screen the picture is scaled up
    // without smoothing, so a one-pixel trace stays sharp.
    painter.drawImage(QRect(QPoint(0, 0), image_->pixels.size()), image_->pixels);
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
}

void TCanvas::Clear(TColor background) {
    std::lock_guard lock(mutex_);
    image_->pixels.fill(ToQColor(background));
}

// ---------------------------------------------------------------------------
// TControl

TControl::TControl(TComponent* Owner, QWidget* widget) : TComponent(Owner), widget_(widget) {
    if (auto* parent = dynamic_cast<TControl*>(Owner)) {
        widget_->setParent(parent->widget_);
        // Shown along with its parent.
        widget_->show();
    }
}

TControl::~TControl() {
    // Child controls first: their widgets die with this one.
    DestroyComponents();
    delete widget_;
}

void TControl::SetBounds(int left, int top, int width, int height) {
    widget_->setGeometry(left, top, std::max(width, 0), std::max(height, 0));
}

int TControl::Left() const {
    return widget_->x();
}
int TControl::Top() const {
    return widget_->y();
}
int TControl::Width() const {
    return widget_->isWindow() ? widget_->frameGeometry().width() : widget_->width();
}
int TControl::Height() const {
    return widget_->isWindow() ? widget_->frameGeometry().height() : widget_->height();
}

void TControl::SetCaption(const std::string& caption) {
    const QString text = QString::fromStdString(caption);
    if (auto* label = qobject_cast<QLabel*>(widget_)) {
        label->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget_)) {
        button->setText(text);
    } else {
        widget_->setWindowTitle(text);
    }
}

std::string TControl::Caption() const {
    if (auto* label = qobject_cast<QLabel*>(widget_)) {
        return label->text().toStdString();
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget_)) {
        return button->text().toStdString();
    }
    return widget_->windowTitle().toStdString();
}

void TControl::SetColor(TColor color) {
    color_ = color;
    parentColor_ = false;
    QPalette palette = widget_->palette();
    palette.setColor(QPalette::Window, ToQColor(color));
    widget_->setPalette(palette);
    widget_->setAutoFillBackground(true);
    ColorChanged();
}

void TControl::SetFont(const TFont& font) {
    font_ = font;
    parentFont_ = false;
    widget_->setFont(ToQFont(font));
    QPalette palette = widget_->palette();
    palette.setColor(QPalette::WindowText, ToQColor(font.Color));
    palette.setColor(QPalette::ButtonText, ToQColor(font.Color));
    widget_->setPalette(palette);
}

void TControl::SetTabOrder(int order) {
    tabOrder_ = order;
    ApplyTabOrder();
}

void TControl::ApplyTabOrder() {
    auto* parent = dynamic_cast<TControl*>(Owner());
    if (parent == nullptr) {
        return;
    }
    std::vector<TControl*> ordered;
    for (TComponent* sibling : parent->Components()) {
        auto* control = dynamic_cast<TControl*>(sibling);
        if (control != nullptr && control->tabOrder_ >= 0) {
            ordered.push_back(control);
        }
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](TControl* a, TControl* b) { return a->tabOrder_ < b->tabOrder_; });
    for (std::size_t i = 1; i < ordered.size(); ++i) {
        QWidget::setTabOrder(ordered[i - 1]->widget_, ordered[i]->widget_);
    }
}

bool TControl::Enabled() const {
    return !widget_->testAttribute(Qt::WA_ForceDisabled);
}

void TControl::SetEnabled(bool enabled) {
    widget_->setEnabled(enabled);
}

// ---------------------------------------------------------------------------
// TLabel, TButton

TLabel::TLabel(TComponent* Owner) : TControl(Owner, new QLabel) {
    auto* label = static_cast<QLabel*>(Widget());
    label->setTextFormat(Qt::PlainText);
    // Centred in its height: the replacement faces have taller ascents and
    // descents than the label's 13 pixels, and centring keeps both the tops of
    // the capitals and the descenders in view.
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setMargin(0);
    label->setIndent(0);
}

TButton::TButton(TComponent* Owner) : TControl(Owner, new QPushButton) {
    auto* button = static_cast<QPushButton*>(Widget());
    button->setAutoDefault(false);
    QObject::connect(button, &QAbstractButton::clicked, button, [this] {
        if (!OnClick) {
            return;
        }
        // Qt cannot carry an exception through its event loop: it is caught
        // here, the loop is asked to end, and Run() rethrows it.
        try {
            OnClick(this);
        } catch (...) {
            Application->HandleException(std::current_exception());
        }
    });
}

// ---------------------------------------------------------------------------
// TPaintBox

class TPaintBox::View : public QWidget {
public:
    explicit View(TPaintBox* box) : box_(box) { setAttribute(Qt::WA_OpaquePaintEvent); }
    void Detach() { box_ = nullptr; }

protected:
    void paintEvent(QPaintEvent*) override {
        if (box_ != nullptr) {
            QPainter painter(this);
            box_->Canvas->Paint(painter);
        }
    }
    void resizeEvent(QResizeEvent*) override {
        if (box_ != nullptr) {
            box_->Resized(width(), height());
        }
    }

private:
    TPaintBox* box_;
};

TPaintBox::TPaintBox(TComponent* Owner)
    : TControl(Owner, new View(this)), Canvas(new TCanvas(Widget())) {
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

// ---------------------------------------------------------------------------
// TForm

class TForm::View : public QWidget {
public:
    explicit View(TForm* form) : form_(form) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        if (Application->MainForm() == form_) {
            Application->Terminate();
        }
    }
    bool event(QEvent* event) override {
        const bool handled = QWidget::event(event);
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Move:
        case QEvent::Resize:
            form_->FitFrame();
            break;
        default:
            break;
        }
        return handled;
    }

private:
    TForm* form_;
};

TForm::TForm(TComponent* Owner) : TControl(Owner, new View(this)) {}

TForm::~TForm() = default;

HWND TForm::Handle() const {
    return static_cast<HWND>(Widget());
}

int TForm::ClientWidth() const {
    return Widget()->width();
}
int TForm::ClientHeight() const {
    return Widget()->height();
}

void TForm::SetBounds(int left, int top, int width, int height) {
    outerWidth_ = std::max(width, 0);
    outerHeight_ = std::max(height, 0);
    frameFitted_ = false;
    // For a window, move() places the frame, resize() sizes the client area.
    Widget()->move(left, top);
    Widget()->resize(outerWidth_, outerHeight_);
    FitFrame();
}

void TForm::FitFrame() {
    // The frame is known only once a window manager has framed the window;
    // from then on the client area gives up the frame's share of the outer
    // size, once. Without a window manager there is no frame.
    QWindow* window = Widget()->windowHandle();
    if (window == nullptr || frameFitted_) {
        return;
    }
    const QMargins frame = window->frameMargins();
    if (frame.isNull()) {
        return;
    }
    frameFitted_ = true;
    Widget()->resize(std::max(outerWidth_ - frame.left() - frame.right(), 1),
                     std::max(outerHeight_ - frame.top() - frame.bottom(), 1));
}

void TForm::Show() {
    Widget()->show();
}

void TForm::Close() {
    Widget()->close();
}

// ---------------------------------------------------------------------------
// TApplication

TApplication::TApplication() : TComponent(nullptr) {}

TApplication::~TApplication() = default;

void TApplication::Initialize() {
    if (QApplication::instance() == nullptr) {
        // Qt keeps references to these for its whole life. The program takes
        // nothing from its command line, so Qt gets only the program name.
        static int argc = 1;
        static char* argv[] = {program_invocation_short_name, nullptr};
        qtApp_ = std::make_unique<QApplication>(argc, argv);
        // The event loop is ours: Run() ends with the main form, and a
        // message box shown before it must not end the program.
        QApplication::setQuitOnLastWindowClosed(false);
        // The classic window font is not on this desktop. Its captions were
        // sized for a narrow face, so narrow faces come first: the texts then
        // fit inside their fixed label sizes.
        QFont::insertSubstitutions("MS Sans Serif",
                                   {"Microsoft Sans Serif", "Liberation Sans Narrow",
                                    "Arial Narrow", "Nimbus Sans Narrow", "Liberation Sans",
                                    "Arial", "Nimbus Sans", "DejaVu Sans Condensed"});
        if (!shutdownRegistered_) {
            shutdownRegistered_ = true;
            // Forms still open at exit get their OnDestroy.
            std::atexit([] { Application->Shutdown(); });
        }
    }
    terminated_.store(false);
    pending_ = nullptr;
}

void TApplication::FormCreated(TForm* form) {
    forms_.push_back(form);
    if (mainForm_ == nullptr) {
        mainForm_ = form;
    }
    try {
        if (form->OnCreate) {
            form->OnCreate(form);
        }
    } catch (...) {
        try {
            DestroyForm(form);
        } catch (...) {
            // The creation failure is the one the caller sees.
        }
        throw;
    }
}

void TApplication::Run() {
    if (mainForm_ != nullptr && !terminated_.load() && !pending_) {
        mainForm_->Show();
        QEventLoop loop;
        loop_ = &loop;
        // A Terminate() from another thread after this test is delivered
        // inside the loop and ends it.
        if (!terminated_.load() && !pending_) {
            loop.exec();
        }
        loop_ = nullptr;
    }
    DestroyForms();
    std::exception_ptr error = std::exchange(pending_, nullptr);
    terminated_.store(false);
    if (error) {
        std::rethrow_exception(error);
    }
}

void TApplication::Terminate() {
    terminated_.store(true);
    if (OnGuiThread()) {
        // Inside a modal box this ends the outer loop only: it returns once
        // the box is dismissed.
        if (loop_ != nullptr) {
            loop_->exit();
        }
        return;
    }
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            app,
            [this] {
                if (loop_ != nullptr) {
                    loop_->exit();
                }
            },
            Qt::QueuedConnection);
    }
}

int TApplication::MessageBox(const char* text, const char* caption, int /*flags*/) {
    ShowModalBox(QMessageBox::NoIcon, QString::fromUtf8(caption), QString::fromUtf8(text));
    return IDOK;
}

void TApplication::ShowException(const Exception& e) {
    ShowModalBox(QMessageBox::Critical, QCoreApplication::applicationName(),
                 QString::fromStdString(e.Message()));
}

void TApplication::DestroyForm(TForm* form) {
    forms_.erase(std::remove(forms_.begin(), forms_.end(), form), forms_.end());
    if (mainForm_ == form) {
        mainForm_ = nullptr;
    }
    // Deleted however OnDestroy ends.
    std::unique_ptr<TForm> owned(form);
    if (!form->destroyed_) {
        form->destroyed_ = true;
        form->Widget()->hide();
        if (form->OnDestroy) {
            form->OnDestroy(form);
        }
    }
}

void TApplication::DestroyForms() {
    while (!forms_.empty()) {
        try {
            DestroyForm(forms_.back());
        } catch (...) {
            if (!pending_) {
                pending_ = std::current_exception();
            }
        }
    }
}

void TApplication::ProcessMessages() {
    QCoreApplication::processEvents();
}

void TApplication::HandleException(std::exception_ptr error) {
    if (!pending_) {
        pending_ = std::move(error);
    }
    Terminate();
}

void TApplication::Shutdown() {
    DestroyForms();
    pending_ = nullptr;
    // Whatever else was made with the application as owner goes while Qt is
    // still there.
    DestroyComponents();
    // The Qt application itself is left to the end of the process: part of
    // Qt's process-wide state is made lazily, after this handler was
    // registered, and is gone by now, and deleting the application would use
    // it. Kept reachable on purpose.
    static QApplication* const leftToExit = qtApp_.release();
    (void)leftToExit;
}
