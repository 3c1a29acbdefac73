// Puts a picture onto one X window over a connection of the toolkit's own.
#pragma once

#include <cstdint>
#include <memory>

class QImage;

// Qt's backing store waits for the X server after every flush; at one
// picture per captured block that round trip cost more than drawing it.
// Here a picture goes out as a request and nothing waits for the answer:
// through two shared-memory segments used in turn when the server can map
// them, a segment being rewritten only once the server has said it is done
// with it, or as plain image requests when it cannot. While nobody can see
// the window (it or `toplevel` unmapped, as a window manager does to an
// iconified window, or wholly covered) nothing is sent; the first picture
// after it shows again goes out whole.
class TXcbPicture {
public:
    // Nothing if the display cannot be reached, the window is not on it, or
    // its pixels are not laid out as the picture's 32-bit RGB. Each picture
    // pixel covers `scale` x `scale` window pixels. `toplevel`, if any, is
    // the window's top-level window.
    static std::unique_ptr<TXcbPicture> Create(std::uint32_t window, int scale = 1,
                                               std::uint32_t toplevel = 0);
    ~TXcbPicture();
    TXcbPicture(const TXcbPicture&) = delete;
    TXcbPicture& operator=(const TXcbPicture&) = delete;

    // Sends the picture to the window's top left corner: the rows that
    // differ from what it shows, or all of them when `whole` (the window was
    // uncovered). Sends nothing while the window cannot be seen. Returns
    // false once the connection is lost; the caller then shows pictures its
    // own way.
    bool Show(const QImage& image, bool whole = false);
    std::uint32_t Window() const;

private:
    struct State;
    explicit TXcbPicture(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};
