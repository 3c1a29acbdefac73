// The toolkit's base: colours, fonts, the exception class, components that
// own one another, and the controls with a Qt widget each (labels, buttons).
// GUI thread only.
#pragma once

#include "windef.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

class QWidget;

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

// Character height in pixels when negative (the usual case), as in the
// classic toolkit; a positive height is taken the same way.
struct TFont {
    std::string Name = "MS Sans Serif";
    int Height = -11;
    TColor Color = clWindowText;
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
    virtual void CaptionChanged() {}

private:
    void ApplyTabOrder();

    QWidget* widget_;
    TColor color_ = clBtnFace;
    bool parentColor_ = true;
    TFont font_;
    bool parentFont_ = true;
    int tabOrder_ = -1;
};

// Sizes itself to its caption like the classic toolkit's labels: a caption
// wider than the laid-out width widens the label, from the same left edge,
// so that no font a desktop substitutes ever cuts it. A caption that fits
// keeps the laid-out width.
class TLabel : public TControl {
public:
    explicit TLabel(TComponent* Owner);
    ~TLabel() override;

    void SetBounds(int left, int top, int width, int height) override;

private:
    class View;
    void CaptionChanged() override { FitCaption(); }
    void FitCaption();

    int layoutWidth_ = 0;
};

// Return, Enter and Space press a focused button, as on the desktop the
// layout comes from, and the focused button always shows its focus.
class TButton : public TControl {
public:
    explicit TButton(TComponent* Owner);

    // Called on the GUI thread for each click. An exception it throws ends
    // the event loop and leaves TApplication::Run().
    TNotifyEvent OnClick;

private:
    class View;
};
