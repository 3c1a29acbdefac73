// The one part of the toolkit that other threads use: a paint box and the
// canvas a worker draws on under its lock.
#pragma once

#include "controls.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

class QPainter;
class TXcbPicture;

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
    // The outermost Unlock() shows the picture: on the paint box's own X
    // window straight from the calling thread, else by asking the paint box
    // to repaint.
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
    explicit TCanvas(QWidget* widget);
    // Paints the picture over the widget, under the lock.
    void Paint(QPainter& painter) const;
    // Both under the lock: a new size keeps what fits of the picture, a new
    // colour clears the picture to it.
    void Resize(int width, int height, TColor background);
    void Clear(TColor background);
    // GUI thread: puts the picture on screen, on the widget's own X window
    // when it has one (see ShowOnWindow), else by repainting the widget.
    // `uncovered`: the window lost what it showed, all of it is sent again.
    void Show(bool uncovered = false);
    // GUI thread: from now on pictures go straight to the widget's X
    // window. False if that cannot be done; Qt goes on painting them.
    bool ShowOnWindow();
    // GUI thread, when Qt changed the widget's X window: pictures stop
    // going to the old one and follow at the next Show().
    void WindowChanged();

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
    // lock.
    std::unique_ptr<TXcbPicture> window_;
    bool rewindow_ = false; // GUI thread
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
