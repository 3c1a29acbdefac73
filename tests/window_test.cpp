// The main window as it opens: every control where it belongs, with its text,
// colours and font, both buttons enabled, the tab order, and the handlers
// bound. The window is built without its creation handler, so no capture
// engine starts.
#include "Princ.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        Application->Initialize();
        form = new TfrmAudio(Application);
        form->Show();
    }
    void TearDown() override { delete form; }
    TfrmAudio* form = nullptr;
};

// What a caption needs: its pen advance, or its ink where that reaches
// further.
int CaptionWidth(const QLabel* label) {
    const QFontMetrics metrics = label->fontMetrics();
    const QRect ink = metrics.boundingRect(label->text());
    return std::max(metrics.horizontalAdvance(label->text()), ink.x() + ink.width());
}

// The rightmost column of a picture with a pixel unlike its top-left one (the
// background), or -1.
int RightmostInk(const QImage& picture) {
    const QRgb background = picture.pixel(0, 0);
    for (int x = picture.width() - 1; x >= 0; --x) {
        for (int y = 0; y < picture.height(); ++y) {
            if (picture.pixel(x, y) != background) {
                return x;
            }
        }
    }
    return -1;
}

struct Placement {
    const char* name;
    TControl* control;
    int left, top, width, height;
    const char* text;
};

TEST_F(MainWindow, EveryControlHasItsPlaceSizeAndText) {
    const Placement expected[] = {
        {"TimeSerie", form->TimeSerie, 40, 48, 281, 273, ""},
        {"Label1", form->Label1, 32, 28, 60, 13, "Osciloscopio"},
        {"Label2", form->Label2, 8, 88, 17, 13, "Izq."},
        {"Label3", form->Label3, 8, 241, 20, 13, "Der."},
        {"btnIniciar", form->btnIniciar, 136, 8, 75, 25, "Iniciar"},
        {"btnParar", form->btnParar, 224, 8, 75, 25, "Parar"},
        {"Label4", form->Label4, 104, 16, 28, 13, "Tocar"},
    };
    for (const Placement& p : expected) {
        SCOPED_TRACE(p.name);
        const QWidget* widget = p.control->Widget();
        EXPECT_EQ(widget->parentWidget(), form->Widget());
        EXPECT_TRUE(widget->isVisible());
        EXPECT_EQ(widget->pos(), QPoint(p.left, p.top));
        EXPECT_EQ(widget->height(), p.height);
        // A label whose caption needs more than its laid-out width widens to
        // the right, and only then.
        const auto* label = qobject_cast<const QLabel*>(widget);
        if (label != nullptr && CaptionWidth(label) > p.width) {
            EXPECT_GT(widget->width(), p.width);
        } else {
            EXPECT_EQ(widget->width(), p.width);
        }
        if (p.control != form->TimeSerie) {
            EXPECT_EQ(p.control->Caption(), p.text);
        }
    }
}

TEST_F(MainWindow, TheWindowHasItsTitlePositionAndOuterSize) {
    EXPECT_EQ(form->Caption(), "frmAudio");
    // The outer size includes whatever frame the platform adds (the
    // offscreen one adds a thin one, a Wayland compositor the title bar Qt
    // draws once the window is first shown); the client area gets the rest.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form->Widget()));
    // A Wayland compositor places windows itself and never tells a client
    // where.
    if (QGuiApplication::platformName() != "wayland") {
        EXPECT_EQ(form->Left(), 227);
        EXPECT_EQ(form->Top(), 146);
    }
    EXPECT_EQ(form->Width(), 352);
    EXPECT_EQ(form->Height(), 363);
    ASSERT_NE(form->Widget()->windowHandle(), nullptr);
    const QMargins frame = form->Widget()->windowHandle()->frameMargins();
    EXPECT_EQ(form->ClientWidth(), 352 - frame.left() - frame.right());
    EXPECT_EQ(form->ClientHeight(), 363 - frame.top() - frame.bottom());
    EXPECT_EQ(form->Handle(), static_cast<HWND>(form->Widget()));
}

QColor Rgb(TColor colour) {
    const TColor rgb = ColorToRGB(colour);
    return QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
}

TEST_F(MainWindow, ColoursAndFontsAreTheLayouts) {
    EXPECT_EQ(form->Widget()->palette().color(QPalette::Window), Rgb(clBtnFace));
    EXPECT_EQ(form->Widget()->font().pixelSize(), 11);
    EXPECT_EQ(form->Widget()->font().family(), "MS Sans Serif");
    EXPECT_EQ(form->Label4->Widget()->palette().color(QPalette::WindowText), Rgb(clWindowText));
    EXPECT_EQ(form->Label4->Widget()->font().pixelSize(), 11);
    EXPECT_TRUE(form->Label4->ParentFont());
    EXPECT_EQ(form->btnIniciar->Widget()->font().pixelSize(), 11);

    for (TLabel* label : {form->Label1, form->Label2, form->Label3}) {
        SCOPED_TRACE(label->Caption());
        EXPECT_EQ(label->Widget()->palette().color(QPalette::WindowText), QColor(255, 255, 0));
        EXPECT_EQ(label->Widget()->font().pixelSize(), 11);
        EXPECT_EQ(label->Widget()->font().family(), "MS Sans Serif");
    }
    EXPECT_FALSE(form->Label1->ParentColor());
    EXPECT_EQ(form->Label1->Color(), clBtnFace);
    EXPECT_TRUE(form->Label2->ParentColor());

    EXPECT_FALSE(form->TimeSerie->ParentColor());
    EXPECT_EQ(form->TimeSerie->Color(), clBlack);
}

// What the screen shows, not only what the controls were told.
TEST_F(MainWindow, ThePaintBoxShowsBlackAndTheCaptionsAreDrawnInYellow) {
    const QImage window = form->Widget()->grab().toImage();
    EXPECT_EQ(window.pixelColor(40, 48), QColor(0, 0, 0));
    EXPECT_EQ(window.pixelColor(40 + 280, 48 + 272), QColor(0, 0, 0));
    EXPECT_EQ(window.pixelColor(40 + 281, 48 + 273), Rgb(clBtnFace));
    EXPECT_EQ(form->TimeSerie->Canvas->Pixel(140, 136), clBlack);

    for (TLabel* label : {form->Label1, form->Label2, form->Label3}) {
        SCOPED_TRACE(label->Caption());
        const QImage shown = label->Widget()->grab().toImage();
        int yellowish = 0;
        for (int y = 0; y < shown.height(); ++y) {
            for (int x = 0; x < shown.width(); ++x) {
                const QColor c = shown.pixelColor(x, y);
                yellowish += c.red() > 200 && c.green() > 200 && c.blue() < 100 ? 1 : 0;
            }
        }
        EXPECT_GT(yellowish, 5);
    }
}

// Whatever face the desktop substitutes: the label on screen shows as much
// of its caption as the same text drawn with no edge to stop it.
TEST_F(MainWindow, TheCaptionsFitInsideTheirLabels) {
    for (TLabel* label : {form->Label1, form->Label2, form->Label3, form->Label4}) {
        SCOPED_TRACE(label->Caption());
        auto* qt = static_cast<QLabel*>(label->Widget());
        EXPECT_LE(CaptionWidth(qt), label->Width());

        const QImage shown = qt->grab().toImage();
        QImage free(4 * shown.width(), shown.height(), shown.format());
        free.fill(shown.pixel(0, 0));
        QPainter painter(&free);
        painter.setFont(qt->font());
        painter.setPen(qt->palette().color(QPalette::WindowText));
        painter.drawText(free.rect(), static_cast<int>(qt->alignment()), qt->text());
        painter.end();
        EXPECT_GE(RightmostInk(free), 0);
        EXPECT_EQ(RightmostInk(shown), RightmostInk(free));
    }
}

TEST_F(MainWindow, BothButtonsStartEnabledAndTabFromIniciarToParar) {
    EXPECT_TRUE(form->btnIniciar->Enabled());
    EXPECT_TRUE(form->btnParar->Enabled());
    std::vector<QWidget*> order;
    for (QWidget* w = form->Widget()->nextInFocusChain(); w != form->Widget();
         w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus) {
            order.push_back(w);
        }
    }
    EXPECT_EQ(order, (std::vector<QWidget*>{form->btnIniciar->Widget(), form->btnParar->Widget()}));
}

TEST_F(MainWindow, TheFocusedButtonShowsItsFocusHoweverItGotIt) {
    QWidget* window = form->Widget();
    window->activateWindow();
    // A Wayland compositor activates a window when it gives it the keyboard,
    // which Qt cannot wait for as such.
    ASSERT_TRUE(testwait::WaitUntil([&] { return window->isActiveWindow(); },
                                    std::chrono::seconds(5),
                                    [] { QCoreApplication::processEvents(); }));
    QWidget* iniciar = form->btnIniciar->Widget();
    iniciar->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(iniciar->hasFocus());
    const QImage focused = iniciar->grab().toImage();
    form->btnParar->Widget()->setFocus(Qt::OtherFocusReason);
    ASSERT_FALSE(iniciar->hasFocus());
    EXPECT_NE(iniciar->grab().toImage(), focused);
}

TEST_F(MainWindow, TheControlsAreDeclaredInLayoutOrder) {
    const std::vector<TComponent*> expected{form->TimeSerie, form->Label1,     form->Label2,
                                            form->Label3,    form->btnIniciar, form->btnParar,
                                            form->Label4};
    EXPECT_EQ(form->Components(), expected);
}

} // namespace
