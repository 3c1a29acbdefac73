#include "controls.h"

#include "qtbridge.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFont>
#include <QImage>
#include <QKeyEvent>
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

using namespace qtbridge;

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
    CaptionChanged();
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

class TLabel::View : public QLabel {
public:
    void Attach(TLabel* label) { label_ = label; }

protected:
    // Also when the font comes from the parent.
    void changeEvent(QEvent* event) override {
        QLabel::changeEvent(event);
        if (event->type() == QEvent::FontChange && label_ != nullptr) {
            label_->FitCaption();
        }
    }

private:
    TLabel* label_ = nullptr;
};

TLabel::TLabel(TComponent* Owner) : TControl(Owner, new View) {
    auto* label = static_cast<View*>(Widget());
    label->Attach(this);
    label->setTextFormat(Qt::PlainText);
    // Centred in its height: the replacement faces have taller ascents and
    // descents than the label's 13 pixels, and centring keeps both the tops of
    // the capitals and the descenders in view.
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setMargin(0);
    label->setIndent(0);
}

TLabel::~TLabel() {
    static_cast<View*>(Widget())->Attach(nullptr);
}

void TLabel::SetBounds(int left, int top, int width, int height) {
    layoutWidth_ = std::max(width, 0);
    TControl::SetBounds(left, top, width, height);
    FitCaption();
}

void TLabel::FitCaption() {
    const auto* label = static_cast<const QLabel*>(Widget());
    const QFontMetrics metrics = label->fontMetrics();
    const QString text = label->text();
    // The pen advance, or the ink where a glyph reaches past it.
    const QRect ink = metrics.boundingRect(text);
    const int needed = std::max(metrics.horizontalAdvance(text), ink.x() + ink.width());
    Widget()->resize(std::max(layoutWidth_, needed), Widget()->height());
}

class TButton::View : public QPushButton {
protected:
    void keyPressEvent(QKeyEvent* event) override {
        const int key = event->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (!event->isAutoRepeat()) {
                click();
            }
            return;
        }
        QPushButton::keyPressEvent(event);
    }
    // Qt shows focus only after the keyboard has moved it; the classic
    // desktop shows it however the button got it.
    void focusInEvent(QFocusEvent* event) override {
        window()->setAttribute(Qt::WA_KeyboardFocusChange);
        QPushButton::focusInEvent(event);
    }
};

TButton::TButton(TComponent* Owner) : TControl(Owner, new View) {
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
            qtbridge::HandleEscaped(std::current_exception());
        }
    });
}
