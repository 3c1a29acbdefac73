// The window toolkit the program is written against: application object,
// forms, buttons, labels and a paint box whose canvas can be drawn on from a
// worker thread. Built on Qt 6 Widgets.
//
// Positions and sizes are logical pixels at 96 dpi; Qt scales them on
// high-density screens. Colours are TColor values, 0x00BBGGRR.
//
// Everything here belongs to the GUI thread, except where a comment says
// otherwise: TCanvas drawing under its lock, TPaintBox::ClientWidth() and
// ClientHeight(), and TApplication::Terminate().
//
// Qt stays out of this header; tests that need the Qt side reach it through
// TControl::Widget().
#pragma once

#include "mmsystem.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

class QWidget;
class QEventLoop;
class QApplication;
class QPainter;

using TColor = std::uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clAqua = 0xFFFF00;
inline constexpr TColor clYellow = 0x00FFFF;
// System colours: resolved from the desktop's palette when used.
inline constexpr TColor clBtnFace = 0xFF00000F;
inline constexpr TColor clWindowText = 0xFF000008;
// What TCanvas::Pixel answers outside the picture.
inline constexpr TColor clNone = 0xFFFFFFFF;

// A system colour becomes the desktop palette's colour of that role; any
// other value is returned as it is.
TColor ColorToRGB(TColor color);

// MessageBox flags and answers.
inline constexpr int MB_OK = 0;
inline constexpr int IDOK = 1;

// The toolkit's exception class: what the entry point shows with
// TApplication::ShowException.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// Owns the components created with it as their owner and deletes them, last
// created first, when it is deleted. A component deleted earlier leaves its
// owner's list.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* Owner);
    ~TComponent() override;

    TComponent* Owner() const { return owner_; }
    const std::vector<TComponent*>& Components() const { return components_; }

protected:
    // Deletes the owned components now, last created first.
    void DestroyComponents();

private:
    TComponent* owner_;
    std::vector<TComponent*> components_;
};

struct TPen {
    TColor Color = clBlack;
};
struct TBrush {
    TColor Color = clWhite;
};

// Character height in pixels when negative (the usual case), as in the
// classic toolkit; a positive height is taken the same way.
struct TFont {
    std::string Name = "MS Sans Serif";
    int Height = -11;
    TColor Color = clWindowText;
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
    // The outermost Unlock() asks the paint box to repaint.
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
    explicit TCanvas(QWidget* widget);
    // Paints the picture over the widget, under the lock.
    void Paint(QPainter& painter) const;
    // Both under the lock: a new size keeps what fits of the picture, a new
    // colour clears the picture to it.
    void Resize(int width, int height, TColor background);
    void Clear(TColor background);

    mutable std::recursive_mutex mutex_;
    int lockDepth_ = 0; // guarded by mutex_
    std::unique_ptr<Image> image_;
    TPen pen_;
    TBrush brush_;
    QWidget* widget_;
    std::atomic<bool> repaintPosted_{false};
};

// A control: one Qt widget, a child of its owner's widget when the owner is
// a control (a form), a window of its own otherwise.
class TControl : public TComponent {
public:
    ~TControl() override;

    // Left, top, width and height relative to the parent's client area.
    virtual void SetBounds(int left, int top, int width, int height);
    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;

    // A form's title, a label's or button's text.
    void SetCaption(const std::string& caption);
    std::string Caption() const;

    // Setting a colour stops inheriting the parent's.
    void SetColor(TColor color);
    TColor Color() const { return color_; }
    bool ParentColor() const { return parentColor_; }

    // Setting a font stops inheriting the parent's.
    void SetFont(const TFont& font);
    const TFont& Font() const { return font_; }
    bool ParentFont() const { return parentFont_; }

    void SetTabOrder(int order);
    int TabOrder() const { return tabOrder_; }

    bool Enabled() const;
    void SetEnabled(bool enabled);

    QWidget* Widget() const { return widget_; }

protected:
    // Takes ownership of widget (a widget without a parent).
    TControl(TComponent* Owner, QWidget* widget);
    virtual void ColorChanged() {}

private:
    void ApplyTabOrder();

    QWidget* widget_;
    TColor color_ = clBtnFace;
    bool parentColor_ = true;
    TFont font_;
    bool parentFont_ = true;
    int tabOrder_ = -1;
};

class TLabel : public TControl {
public:
    explicit TLabel(TComponent* Owner);
};

class TButton : public TControl {
public:
    explicit TButton(TComponent* Owner);

    // Called on the GUI thread for each click. An exception it throws ends
    // the event loop and leaves TApplication::Run().
    TNotifyEvent OnClick;
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

class TForm : public TControl {
public:
    explicit TForm(TComponent* Owner);
    ~TForm() override;

    // Run by TApplication::CreateForm once construction is complete.
    TNotifyEvent OnCreate;
    // Run once when the application destroys the form, with its controls
    // still alive.
    TNotifyEvent OnDestroy;

    // Identifies the window; nothing else may be done with it.
    HWND Handle() const;

    // For a form SetBounds gives the outer size, frame and title bar
    // included where a window manager adds them.
    int ClientWidth() const;
    int ClientHeight() const;

    void SetBounds(int left, int top, int width, int height) override;

    void Show();
    // Closes the window; closing the main form ends TApplication::Run().
    void Close();

private:
    friend class TApplication;
    class View;
    void FitFrame();

    bool destroyed_ = false;
    bool frameFitted_ = false;
    int outerWidth_ = 0;
    int outerHeight_ = 0;
};

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    // Creates the Qt application on first use; the command line is not
    // passed to it. May be called again (tests do): it then only clears the
    // state a previous Run() left.
    void Initialize();

    // Builds the window, stores it in ref, then runs its OnCreate. The first
    // form created is the main form. If OnCreate throws, the form is
    // destroyed (OnDestroy, delete) before the exception leaves.
    template <class T> void CreateForm(T*& ref) {
        T* form = new T(this);
        ref = form;
        FormCreated(form);
    }

    // Shows the main form and runs the event loop until it closes or
    // Terminate() is called; then destroys every form (OnDestroy, delete).
    // An exception thrown by an event handler during the loop is rethrown
    // here, after the forms are destroyed.
    void Run();

    // Only asks the event loop to end; safe from any thread. Before Run() it
    // makes Run() return without entering the loop; during a modal box, the
    // loop ends once the box is dismissed.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }

    // A modal box with a single OK button (any flags); returns IDOK.
    int MessageBox(const char* text, const char* caption, int flags);
    // The standard exception display: a modal error box with the message.
    void ShowException(const Exception& e);

    // Runs OnDestroy (once per form) and deletes the form.
    void DestroyForm(TForm* form);
    void ProcessMessages();

    TForm* MainForm() const { return mainForm_; }

    // The toolkit's event dispatch calls this with an exception that escaped
    // an event handler: Qt cannot carry it through its event loop.
    void HandleException(std::exception_ptr error);

private:
    void FormCreated(TForm* form);
    void DestroyForms();
    void Shutdown();

    std::unique_ptr<QApplication> qtApp_;
    QEventLoop* loop_ = nullptr;
    std::atomic<bool> terminated_{false};
    std::exception_ptr pending_;
    TForm* mainForm_ = nullptr;
    std::vector<TForm*> forms_;
    bool shutdownRegistered_ = false;
};

extern TApplication* Application;
