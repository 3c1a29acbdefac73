// The one part of the toolkit that other threads use: a paint box and the
// canvas a worker draws on under its lock.
#pragma once

#include "controls.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

class TPresenter;

struct TPen {
    TColor Color = clBlack;
};
struct TBrush {
    TColor Color = clWhite;
};

// Draws into an off-screen image. Between Lock() and Unlock() any thread may
// draw; the paint box repaints from the same image under the same lock, so a
// repaint never shows a half-drawn picture. Unlock() asks for a repaint.
//
// Pixel rules: LineTo draws from the pen position up to but not including
// its end point and moves the pen there; Rectangle fills the inside with the
// brush and outlines it with a one-pixel pen, right and bottom edges
// exclusive. No anti-aliasing. Everything is clipped to the image.
class TCanvas {
public:
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;
    ~TCanvas();

    // A real lock; it nests on one thread. Each drawing call also takes it,
    // so a single call never races a repaint even without Lock().
    void Lock();
    // The outermost Unlock() hands the picture to the paint box's
    // presenter, on the calling thread: straight to the screen where the
    // window allows it, else as a request for Qt to repaint the paint box.
    void Unlock();

    // Read at each drawing call. Off the GUI thread use plain colours only:
    // system colours need the desktop palette.
    TPen* const Pen;
    TBrush* const Brush;

    void Rectangle(int left, int top, int right, int bottom);
    void MoveTo(int x, int y);
    void LineTo(int x, int y);
    int PenX() const;
    int PenY() const;

    // The colour of one pixel of the picture; clNone outside it.
    TColor Pixel(int x, int y) const;

private:
    friend class TPaintBox;
    struct Image;
    class Held;
    class QtPainting;
    explicit TCanvas(QWidget* widget);
    // Both under the lock: a new size keeps what fits of the picture, a new
    // colour clears the picture to it.
    void Resize(int width, int height, TColor background);
    void Clear(TColor background);
    // GUI thread, when the widget is shown: from now on the pictures go the
    // fastest way its window allows.
    void Shown();
    // GUI thread, when Qt changed or hid the widget's window: pictures stop
    // going to the old one, and follow at the next paint.
    void WindowChanged();
    // GUI thread: Qt paints the widget. The presenter follows the widget,
    // shows the whole picture again, and Qt paints it where the presenter
    // leaves that to Qt.
    void Paint();
    // GUI thread: puts the chosen presenter in place of the current one.
    // False when Qt's painting is all there is.
    bool Choose();
    // Any thread, under the lock: asks the widget's thread for a repaint.
    void PostRepaint();
    // GUI thread, posted.
    void Repaint();

    mutable std::recursive_mutex mutex_;
    int lockDepth_ = 0; // guarded by mutex_
    // The thread inside Lock(), if any; read without the lock by drawing
    // calls to learn whether they already hold it.
    std::atomic<std::thread::id> owner_{};
    std::unique_ptr<Image> image_;
    TPen pen_;
    TBrush brush_;
    QWidget* widget_;
    // Set on the GUI thread, used by whichever thread shows; both under the
    // lock. Never null.
    std::unique_ptr<TPresenter> presenter_;
    // Whether the presenter failed and Qt's painting takes over.
    bool lost_ = false; // guarded by mutex_
    // Choose again at the next paint: the window was not there yet, or
    // changed.
    bool choose_ = false; // GUI thread
    std::atomic<bool> repaintPosted_{false};
};

// Shows what was last drawn on its canvas; it has no paint handler of its
// own. Its picture starts filled with the control's colour.
class TPaintBox : public TControl {
public:
    explicit TPaintBox(TComponent* Owner);
    ~TPaintBox() override;

    TCanvas* const Canvas;

    // Safe from any thread.
    int ClientWidth() const { return clientWidth_.load(std::memory_order_relaxed); }
    int ClientHeight() const { return clientHeight_.load(std::memory_order_relaxed); }

    void SetBounds(int left, int top, int width, int height) override;

private:
    class View;
    void ColorChanged() override;
    void Resized(int width, int height);

    std::atomic<int> clientWidth_{0};
    std::atomic<int> clientHeight_{0};
};
