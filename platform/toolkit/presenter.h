// Private to the toolkit: the narrow boundary between the paint box's
// canvas and whatever puts its finished pictures on screen. The canvas only
// hands pictures over; xcbpicture.cpp sends them to the paint box's own X
// window, waylandpicture.cpp to a Wayland surface of its own, and the canvas
// itself falls back to Qt's painting. presenter.cpp picks one per window.
#pragma once

#include <memory>

class QImage;
class QWidget;

class TPresenter {
public:
    virtual ~TPresenter() = default;

    // Under the canvas lock, from the thread that finished the picture, or
    // from the GUI thread with `whole` when the screen lost what it showed.
    // Never waits long on the display. False once pictures can no longer go
    // this way; the canvas then goes back to Qt's painting.
    virtual bool Show(const QImage& picture, bool whole) = 0;

    // GUI thread, when Qt paints the widget or changes its window: whether
    // the pictures still reach the widget's place on screen this way. A
    // presenter that can follows the widget here; false makes the canvas
    // choose again.
    virtual bool Follows() = 0;

    // Whether Qt still paints the widget: the pictures then lie over Qt's
    // painting, which shows if they go away.
    virtual bool QtPaints() const = 0;
};

// GUI thread, the widget shown: the fastest presenter its window allows,
// or nothing where only Qt's painting can show the pictures (a fractional
// pixel ratio, a display without a fast path, no window yet).
std::unique_ptr<TPresenter> ChoosePresenter(QWidget& widget);
