// The window toolkit the program is written against: application object,
// forms, buttons, labels and a paint box whose canvas can be drawn on from a
// worker thread. Built on Qt 6 Widgets.
//
// Positions and sizes are logical pixels at 96 dpi; Qt scales them on
// high-density screens. Colours are TColor values, 0x00BBGGRR.
//
// DRAFT: the public names below are what the program uses; the Qt side is
// free to change how they are implemented.
#pragma once

#include "mmsystem.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

using TColor = std::uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clAqua = 0xFFFF00;
inline constexpr TColor clYellow = 0x00FFFF;
// System colours: resolved from the desktop's palette when used.
inline constexpr TColor clBtnFace = 0xFF00000F;
inline constexpr TColor clWindowText = 0xFF000008;

// The toolkit's exception class: what the entry point shows with
// TApplication::ShowException.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

class TObject {
public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

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
// exclusive. No anti-aliasing.
class TCanvas;
// class TPaintBox: int ClientWidth() const; int ClientHeight() const (safe
//   from any thread); TCanvas* const Canvas.
// class TLabel, TButton (bool Enabled() const; void SetEnabled(bool);
//   TNotifyEvent OnClick), TForm (TNotifyEvent OnCreate, OnDestroy;
//   HWND Handle() const).
// class TApplication: Initialize(), CreateForm(T*&), Run(), Terminate(),
//   int MessageBox(const char* text, const char* caption, int flags),
//   ShowException(const Exception&).
// extern TApplication* Application;
