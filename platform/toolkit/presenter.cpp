#include "presenter.h"

#include "waylandpicture.h"
#include "xcbpicture.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
// A window's Wayland surface Qt hands out only here, and before Qt 6.5 its
// display too, which ties the build to Qt's exact version.
#include <qpa/qplatformnativeinterface.h>
#include <qpa/qplatformwindow.h>

#include <cmath>
#include <optional>

namespace {

// Device pixels a picture pixel when that is a whole number, else 0: a
// fractional ratio needs Qt's filtering to come out as Qt paints it.
int WholeRatio(qreal ratio) {
    const long whole = std::lround(ratio);
    return whole >= 1 && std::abs(ratio - qreal(whole)) < 1e-6 ? int(whole) : 0;
}

class XPresenter final : public TPresenter {
public:
    XPresenter(QWidget& widget, std::unique_ptr<TXcbPicture> picture, int scale)
        : widget_(widget), picture_(std::move(picture)), scale_(scale) {}
    ~XPresenter() override { widget_.setAttribute(Qt::WA_PaintOnScreen, false); }

    bool Show(const QImage& picture, bool whole) override { return picture_->Show(picture, whole); }
    bool Follows() override {
        return picture_->Window() == widget_.internalWinId() &&
               WholeRatio(widget_.devicePixelRatioF()) == scale_;
    }
    bool QtPaints() const override { return false; }

private:
    QWidget& widget_;
    std::unique_ptr<TXcbPicture> picture_;
    int scale_;
};

std::unique_ptr<TPresenter> OnX(QWidget& widget, int scale) {
    // Only the paint box gets a window of its own; its neighbours stay
    // painted by Qt into the form's.
    QCoreApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
    auto picture = TXcbPicture::Create(static_cast<std::uint32_t>(widget.winId()), scale,
                                       static_cast<std::uint32_t>(widget.window()->winId()));
    if (picture == nullptr) {
        return nullptr;
    }
    // Qt paints nothing there from now on.
    widget.setAttribute(Qt::WA_PaintOnScreen);
    return std::make_unique<XPresenter>(widget, std::move(picture), scale);
}

// Where the widget lies in its window's Wayland surface.
struct WaylandPlace {
    wl_display* display = nullptr;
    wl_surface* surface = nullptr;
    QPoint at;
    int scale = 0;
    int bufferScale = 0;
};

wl_display* WaylandDisplay([[maybe_unused]] QPlatformNativeInterface& native) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
#if QT_CONFIG(wayland)
    const auto* wayland = qGuiApp->nativeInterface<QNativeInterface::QWaylandApplication>();
    return wayland != nullptr ? wayland->display() : nullptr;
#else
    return nullptr;
#endif
#else
    return static_cast<wl_display*>(
        native.nativeResourceForIntegration(QByteArrayLiteral("wl_display")));
#endif
}

std::optional<WaylandPlace> PlaceOnWayland(QWidget& widget) {
    QWidget* top = widget.window();
    QWindow* window = top->windowHandle();
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    if (window == nullptr || window->handle() == nullptr || native == nullptr) {
        return std::nullopt;
    }
    WaylandPlace place;
    place.display = WaylandDisplay(*native);
    // Null while the window is not on screen: Qt makes its surface anew
    // each time it is shown.
    place.surface = static_cast<wl_surface*>(
        native->nativeResourceForWindow(QByteArrayLiteral("surface"), window));
    place.scale = WholeRatio(widget.devicePixelRatioF());
    // What Qt's own buffers take a surface pixel.
    place.bufferScale = WholeRatio(window->handle()->devicePixelRatio());
    if (place.display == nullptr || place.surface == nullptr || place.scale == 0 ||
        place.bufferScale == 0 || place.scale % place.bufferScale != 0) {
        return std::nullopt;
    }
    // Surface coordinates: Qt's scale factor applies, the buffer scale does
    // not. Where the compositor draws no decorations Qt draws them into the
    // same surface, and the window's contents start after them.
    const QMargins frame = window->handle()->frameMargins();
    place.at = widget.mapTo(top, QPoint(0, 0)) * (place.scale / place.bufferScale) +
               QPoint(frame.left(), frame.top());
    return place;
}

class WaylandPresenter final : public TPresenter {
public:
    WaylandPresenter(QWidget& widget, std::unique_ptr<TWaylandPicture> picture, QPoint at)
        : widget_(widget), picture_(std::move(picture)), at_(at) {}

    bool Show(const QImage& picture, bool whole) override { return picture_->Show(picture, whole); }
    bool Follows() override {
        const std::optional<WaylandPlace> place = PlaceOnWayland(widget_);
        if (!place || place->surface != picture_->Parent() || place->scale != picture_->Scale() ||
            place->bufferScale != picture_->BufferScale()) {
            return false;
        }
        // Called as Qt paints the window: its commit that follows moves
        // the picture along.
        if (place->at != at_) {
            at_ = place->at;
            picture_->Place(at_.x(), at_.y());
        }
        return true;
    }
    // Under the picture, for the moment before the compositor shows it.
    bool QtPaints() const override { return true; }

private:
    QWidget& widget_;
    std::unique_ptr<TWaylandPicture> picture_;
    QPoint at_;
};

std::unique_ptr<TPresenter> OnWayland(QWidget& widget) {
    const std::optional<WaylandPlace> place = PlaceOnWayland(widget);
    if (!place) {
        return nullptr;
    }
    auto picture = TWaylandPicture::Create(place->display, place->surface, place->at.x(),
                                           place->at.y(), place->scale, place->bufferScale);
    if (picture == nullptr) {
        return nullptr;
    }
    // The compositor shows the new surface with the window's next commit.
    widget.update();
    return std::make_unique<WaylandPresenter>(widget, std::move(picture), place->at);
}

} // namespace

std::unique_ptr<TPresenter> ChoosePresenter(QWidget& widget) {
    const int scale = WholeRatio(widget.devicePixelRatioF());
    if (scale == 0) {
        return nullptr;
    }
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb")) {
        return OnX(widget, scale);
    }
    if (platform.startsWith(QLatin1String("wayland"))) {
        return OnWayland(widget);
    }
    return nullptr;
}
