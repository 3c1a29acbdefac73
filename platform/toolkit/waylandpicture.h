// Puts a picture onto a Wayland surface of the toolkit's own, placed over a
// part of a window's surface.
#pragma once

#include <memory>

class QImage;
struct wl_display;
struct wl_surface;

// A window's surface is committed by Qt from the GUI thread only, after it
// has painted; a picture there would wake the event loop every time. Here
// the picture gets a surface of its own, a subsurface of the window's that
// the compositor takes on its own commits, with its objects on an event
// queue of their own: the thread that finished a picture commits it. Three
// shared-memory buffers go round; one the compositor still holds is never
// written, and when it holds them all the picture is skipped. Nothing ever
// waits on the compositor. While the compositor leaves a frame callback
// unanswered (nobody sees the surface) no pictures are sent.
class TWaylandPicture {
public:
    // Over `parent` (a surface of `display`) at (x, y) of its surface
    // coordinates. Each picture pixel covers `scale` x `scale` buffer
    // pixels, and the compositor takes `bufferScale` of them a surface
    // pixel (`scale` is a multiple of it). Nothing if the compositor lacks
    // what this needs.
    static std::unique_ptr<TWaylandPicture> Create(wl_display* display, wl_surface* parent, int x,
                                                   int y, int scale, int bufferScale);
    ~TWaylandPicture();
    TWaylandPicture(const TWaylandPicture&) = delete;
    TWaylandPicture& operator=(const TWaylandPicture&) = delete;

    // Moves the picture within the parent; the compositor takes the new
    // place with the parent's next commit.
    void Place(int x, int y);

    // Commits the picture, damaging the rows that differ from what the
    // surface shows, or all of them when `whole`; nothing while nobody sees
    // it. Returns false once the connection is lost.
    bool Show(const QImage& image, bool whole = false);

    wl_surface* Parent() const;
    int Scale() const;
    int BufferScale() const;

private:
    struct State;
    explicit TWaylandPicture(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};
