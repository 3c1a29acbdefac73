// The window toolkit: canvas pixel rules, drawing from a worker while the
// window repaints, controls, and the application's loop, boxes and exception
// paths.
#include "forms.h"
#include "modal_boxes.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

class Toolkit : public ::testing::Test {
protected:
    void SetUp() override { Application->Initialize(); }
};

// A form with one paint box of the given size, not shown.
struct Board {
    explicit Board(int width, int height) : form(new TForm(nullptr)), box(new TPaintBox(form)) {
        box->SetBounds(0, 0, width, height);
        box->SetColor(clBlack);
    }
    ~Board() { delete form; }
    TForm* form;
    TPaintBox* box;
    TCanvas* canvas() const { return box->Canvas; }
};

int CountColour(const TCanvas& canvas, int width, int height, TColor colour) {
    int count = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            count += canvas.Pixel(x, y) == colour ? 1 : 0;
        }
    }
    return count;
}

// ---------------------------------------------------------------------------
// Pixel rules

TEST_F(Toolkit, LineToDrawsUpToButNotIncludingItsEndPointAndMovesThePen) {
    struct Case {
        int x0, y0, x1, y1;
    };
    // Horizontal, vertical, diagonal, shallow and steep, in both directions.
    const Case cases[] = {{2, 5, 12, 5},  {12, 5, 2, 5},  {4, 1, 4, 15},  {4, 15, 4, 1},
                          {1, 1, 11, 11}, {11, 11, 1, 1}, {0, 2, 17, 7},  {17, 7, 0, 2},
                          {3, 0, 6, 15},  {6, 15, 3, 0},  {15, 1, 2, 14}, {5, 5, 5, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.x0 << "," << c.y0 << " -> " << c.x1 << "," << c.y1);
        Board board(20, 20);
        TCanvas& canvas = *board.canvas();
        canvas.Pen->Color = clWhite;
        canvas.MoveTo(c.x0, c.y0);
        canvas.LineTo(c.x1, c.y1);
        EXPECT_EQ(canvas.PenX(), c.x1);
        EXPECT_EQ(canvas.PenY(), c.y1);
        EXPECT_EQ(canvas.Pixel(c.x1, c.y1), clBlack) << "end point drawn";
        const int length = std::max(std::abs(c.x1 - c.x0), std::abs(c.y1 - c.y0));
        EXPECT_EQ(CountColour(canvas, 20, 20, clWhite), length) << "one pixel per major step";
        if (length > 0) {
            EXPECT_EQ(canvas.Pixel(c.x0, c.y0), clWhite) << "start point not drawn";
        }
        // Each call let the lock go again: another thread can take it.
        std::thread([&canvas] {
            canvas.Lock();
            canvas.Unlock();
        }).join();
    }
}

// Inside the box, and over the whole of it (a one-pixel frame left).
TEST_F(Toolkit, RectangleFillsWithTheBrushAndOutlinesWithExclusiveRightAndBottomEdges) {
    const struct {
        int width, height, left, top, right, bottom;
    } cases[] = {{12, 12, 2, 3, 8, 7}, {9, 7, 0, 0, 9, 7}};
    for (const auto& c : cases) {
        Board board(c.width, c.height);
        TCanvas& canvas = *board.canvas();
        canvas.Brush->Color = clYellow;
        canvas.Pen->Color = clWhite;
        canvas.Rectangle(c.left, c.top, c.right, c.bottom);
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const bool inside = x >= c.left && x < c.right && y >= c.top && y < c.bottom;
                const bool edge =
                    inside && (x == c.left || x == c.right - 1 || y == c.top || y == c.bottom - 1);
                const TColor expected = edge ? clWhite : inside ? clYellow : clBlack;
                EXPECT_EQ(canvas.Pixel(x, y), expected) << "at " << x << "," << y;
            }
        }
    }
}

TEST_F(Toolkit, DrawingIsClippedToThePicture) {
    Board board(10, 10);
    TCanvas& canvas = *board.canvas();
    canvas.Pen->Color = clWhite;
    canvas.Brush->Color = clWhite;
    canvas.MoveTo(-5, 3);
    canvas.LineTo(15, 3);
    EXPECT_EQ(CountColour(canvas, 10, 10, clWhite), 10);
    canvas.MoveTo(-1000000, -1000000);
    canvas.LineTo(-1000000, 1000000);
    canvas.Rectangle(-2147483647 - 1, 8, 2147483647, 2147483647);
    EXPECT_EQ(CountColour(canvas, 10, 10, clWhite), 10 + 2 * 10);
    EXPECT_EQ(canvas.Pixel(-1, 0), clNone);
    EXPECT_EQ(canvas.Pixel(10, 0), clNone);
    EXPECT_EQ(canvas.Pixel(0, 10), clNone);
}

TEST_F(Toolkit, ColoursLandInTheImageAsBlueGreenRed) {
    Board board(4, 3);
    board.form->Show();
    TCanvas& canvas = *board.canvas();
    const struct {
        TColor colour;
        QColor rgb;
    } cases[] = {{clAqua, QColor(0, 255, 255)},
                 {clYellow, QColor(255, 255, 0)},
                 {0x0000FF, QColor(255, 0, 0)},
                 {0x123456, QColor(0x56, 0x34, 0x12)}};
    int row = 0;
    for (const auto& c : cases) {
        canvas.Pen->Color = c.colour;
        canvas.MoveTo(0, row % 3);
        canvas.LineTo(4, row % 3);
        const QImage shown = board.box->Widget()->grab().toImage();
        EXPECT_EQ(shown.pixelColor(1, row % 3), c.rgb) << std::hex << c.colour;
        EXPECT_EQ(canvas.Pixel(1, row % 3), c.colour);
        ++row;
    }
    EXPECT_EQ(ColorToRGB(clAqua), 0xFFFF00u);
}

TEST_F(Toolkit, APaintBoxStartsWithItsColourAndKeepsItsPictureWhenResized) {
    Board board(6, 5);
    EXPECT_EQ(board.box->ClientWidth(), 6);
    EXPECT_EQ(board.box->ClientHeight(), 5);
    EXPECT_EQ(CountColour(*board.canvas(), 6, 5, clBlack), 30);
    board.canvas()->Pen->Color = clWhite;
    board.canvas()->MoveTo(0, 0);
    board.canvas()->LineTo(3, 0);
    board.box->SetBounds(0, 0, 9, 8);
    EXPECT_EQ(board.box->ClientWidth(), 9);
    EXPECT_EQ(board.box->ClientHeight(), 8);
    EXPECT_EQ(board.canvas()->Pixel(2, 0), clWhite);
    EXPECT_EQ(board.canvas()->Pixel(8, 7), clBlack);
    // Resized by Qt alone, once shown, the canvas follows.
    board.form->Show();
    board.box->Widget()->resize(10, 9);
    EXPECT_EQ(board.box->ClientWidth(), 10);
    EXPECT_EQ(CountColour(*board.canvas(), 10, 9, clBlack), 87);
    // A box whose colour was never set shows the default one, every pixel.
    const TCanvas& fresh = *(new TPaintBox(board.form))->Canvas;
    EXPECT_EQ(fresh.Pixel(0, 0), fresh.Pixel(1, 1));
}

// ---------------------------------------------------------------------------
// Drawing from a worker

void DrawPicture(TCanvas& canvas, int width, int height, bool first) {
    canvas.Lock();
    canvas.Brush->Color = first ? clBlack : clWhite;
    canvas.Pen->Color = first ? clWhite : clBlack;
    canvas.Rectangle(0, 0, width, height);
    canvas.Pen->Color = first ? clAqua : clYellow;
    for (int x = 1; x < width - 1; x += 3) {
        canvas.MoveTo(x, first ? 1 : height - 2);
        canvas.LineTo(width - 1 - x, first ? height - 2 : 1);
    }
    canvas.Unlock();
}

TEST_F(Toolkit, ARepaintNeverShowsHalfOfAPictureAWorkerIsDrawing) {
    constexpr int width = 64;
    constexpr int height = 48;
    Board board(width, height);
    board.form->SetBounds(0, 0, width, height);
    board.form->Show();
    QWidget* shown = board.box->Widget();

    DrawPicture(*board.canvas(), width, height, true);
    const QImage first = shown->grab().toImage();
    DrawPicture(*board.canvas(), width, height, false);
    const QImage second = shown->grab().toImage();
    ASSERT_NE(first, second);

    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 3000; ++i) {
            DrawPicture(*board.canvas(), width, height, i % 2 == 0);
        }
        done.store(true);
    });
    int grabs = 0;
    int mixed = 0;
    while (!done.load()) {
        const QImage now = shown->grab().toImage();
        ++grabs;
        mixed += now == first || now == second ? 0 : 1;
        Application->ProcessMessages();
    }
    worker.join();
    Application->ProcessMessages();
    EXPECT_GT(grabs, 0);
    EXPECT_EQ(mixed, 0) << "of " << grabs << " repaints";
}

// Counts the paint events that reach a widget, on the GUI thread.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

TEST_F(Toolkit, AWorkerFinishingAPictureGetsTheShownPaintBoxRepainted) {
    constexpr int width = 32;
    constexpr int height = 24;
    Board board(width, height);
    board.form->SetBounds(0, 0, width, height);
    board.form->Show();
    PaintCounter counter;
    board.box->Widget()->installEventFilter(&counter);
    const auto pump = [] { Application->ProcessMessages(); };
    // Whatever showing the window paints comes first; only the drawing may
    // cause what follows.
    testwait::WaitUntil([] { return false; }, std::chrono::milliseconds(200), pump);
    counter.paints = 0;
    testwait::WaitUntil([] { return false; }, std::chrono::milliseconds(100), pump);
    EXPECT_EQ(counter.paints, 0) << "repainted with nothing drawn";

    // Nothing else asks for a repaint: no grab(), no resize, no expose.
    std::thread worker([&] { DrawPicture(*board.canvas(), width, height, true); });
    worker.join();
    EXPECT_TRUE(
        testwait::WaitUntil([&] { return counter.paints > 0; }, std::chrono::seconds(2), pump));
}

// ---------------------------------------------------------------------------
// Controls

TEST_F(Toolkit, TabOrderFollowsTheOrderNumbersNotTheCreationOrder) {
    TForm form(nullptr);
    auto* a = new TButton(&form);
    auto* b = new TButton(&form);
    auto* c = new TButton(&form);
    a->SetTabOrder(2);
    b->SetTabOrder(0);
    c->SetTabOrder(1);
    std::vector<QWidget*> order;
    for (QWidget* w = form.Widget()->nextInFocusChain(); w != form.Widget();
         w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus) {
            order.push_back(w);
        }
    }
    EXPECT_EQ(order, (std::vector<QWidget*>{b->Widget(), c->Widget(), a->Widget()}));
}

TEST_F(Toolkit, AClickReachesOnClickWithTheButtonAsSenderOnlyWhileEnabled) {
    TForm form(nullptr);
    auto* button = new TButton(&form);
    int clicks = 0;
    TObject* sender = nullptr;
    button->OnClick = [&](TObject* s) {
        ++clicks;
        sender = s;
    };
    auto* qt = static_cast<QAbstractButton*>(button->Widget());
    qt->click();
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(sender, button);
    button->SetEnabled(false);
    qt->click();
    EXPECT_EQ(clicks, 1);
}

TEST_F(Toolkit, ControlsDeletedBeforeTheirFormLeaveIt) {
    TForm form(nullptr);
    auto* label = new TLabel(&form);
    new TLabel(&form);
    EXPECT_EQ(form.Components().size(), 2u);
    delete label;
    EXPECT_EQ(form.Components().size(), 1u);
}

TEST_F(Toolkit, CaptionsAreShownAsPlainText) {
    TForm form(nullptr);
    auto* label = new TLabel(&form);
    label->SetCaption("<b>x</b>");
    EXPECT_EQ(label->Caption(), "<b>x</b>");
    EXPECT_EQ(static_cast<QLabel*>(label->Widget())->textFormat(), Qt::PlainText);
}

// ---------------------------------------------------------------------------
// The application: loop, boxes, exception paths

// A main form that counts its creation and destruction handlers.
struct Counters {
    int created = 0;
    int destroyed = 0;
    bool controlsAliveAtDestroy = false;
};

class CountingForm : public TForm {
public:
    explicit CountingForm(TComponent* Owner) : TForm(Owner), button(new TButton(this)) {
        OnCreate = [this](TObject*) {
            ++counters->created;
            if (onCreate) {
                onCreate(this);
            }
        };
        OnDestroy = [this](TObject*) {
            ++counters->destroyed;
            counters->controlsAliveAtDestroy = button->Caption() == "alive";
        };
        button->SetCaption("alive");
    }
    static inline Counters* counters = nullptr;
    static inline std::function<void(CountingForm*)> onCreate;
    TButton* button;
};

class ApplicationPaths : public Toolkit {
protected:
    void SetUp() override {
        Toolkit::SetUp();
        CountingForm::counters = &counters;
        CountingForm::onCreate = nullptr;
    }
    void TearDown() override {
        CountingForm::onCreate = nullptr;
        CountingForm::counters = nullptr;
    }
    Counters counters;
    CountingForm* form = nullptr;
};

TEST_F(ApplicationPaths, RunEndsWhenTheMainFormClosesAndThenDestroysItOnce) {
    Application->CreateForm(form);
    EXPECT_EQ(Application->MainForm(), form);
    EXPECT_EQ(counters.created, 1);
    bool wasVisible = false;
    QTimer::singleShot(20, [&] {
        wasVisible = form->Widget()->isVisible();
        form->Close();
    });
    Application->Run();
    EXPECT_TRUE(wasVisible);
    EXPECT_EQ(counters.destroyed, 1);
    EXPECT_TRUE(counters.controlsAliveAtDestroy);
    EXPECT_EQ(Application->MainForm(), nullptr);
}

TEST_F(ApplicationPaths, TerminateAfterABoxInOnCreateMakesRunReturnWithoutALoop) {
    CountingForm::onCreate = [](CountingForm*) {
        EXPECT_EQ(Application->MessageBox("Error", "Error de multimedia", MB_OK), IDOK);
        Application->Terminate();
    };
    ModalBoxes boxes;
    Application->CreateForm(form);
    EXPECT_EQ(boxes.Seen().size(), 1u);
    Application->Run(); // would wait forever if it entered the loop
    EXPECT_EQ(counters.destroyed, 1);
    EXPECT_FALSE(Application->Terminated());
    // Nothing of that Terminate is left over to end the next loop early.
    CountingForm::onCreate = nullptr;
    Application->CreateForm(form);
    bool closed = false;
    QTimer::singleShot(20, [&] { closed = true, form->Close(); });
    Application->Run();
    EXPECT_TRUE(closed);
}

TEST_F(ApplicationPaths, TerminateDuringAModalBoxEndsTheLoopOnceTheBoxIsDismissed) {
    Application->CreateForm(form);
    ModalBoxes boxes;
    bool boxReturned = false;
    QTimer::singleShot(10, [&] {
        QTimer::singleShot(0, [] { Application->Terminate(); });
        Application->MessageBox("a", "b", MB_OK);
        boxReturned = true;
    });
    Application->Run();
    EXPECT_TRUE(boxReturned);
    EXPECT_EQ(boxes.Seen().size(), 1u);
    EXPECT_EQ(counters.destroyed, 1);
}

TEST_F(ApplicationPaths, TerminateFromAnotherThreadEndsTheLoop) {
    Application->CreateForm(form);
    std::thread other([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Application->Terminate();
    });
    Application->Run();
    other.join();
    EXPECT_EQ(counters.destroyed, 1);
}

TEST_F(ApplicationPaths, AnExceptionFromOnCreateLeavesCreateFormAfterTheFormIsDestroyed) {
    CountingForm::onCreate = [](CountingForm*) { throw Exception("no device"); };
    EXPECT_THROW(Application->CreateForm(form), Exception);
    EXPECT_EQ(counters.created, 1);
    EXPECT_EQ(counters.destroyed, 1);
    EXPECT_EQ(Application->MainForm(), nullptr);
    Application->Run(); // nothing left to run
    EXPECT_EQ(counters.destroyed, 1);
}

TEST_F(ApplicationPaths, AnExceptionFromAClickEndsTheLoopAndLeavesRunAfterOnDestroy) {
    Application->CreateForm(form);
    form->button->OnClick = [](TObject*) { throw std::runtime_error("handler"); };
    QTimer::singleShot(10, [&] { static_cast<QAbstractButton*>(form->button->Widget())->click(); });
    int destroyedBeforeRethrow = -1;
    try {
        Application->Run();
        ADD_FAILURE() << "Run returned normally";
    } catch (const std::runtime_error& e) {
        destroyedBeforeRethrow = counters.destroyed;
        EXPECT_STREQ(e.what(), "handler");
    }
    EXPECT_EQ(destroyedBeforeRethrow, 1);
}

TEST_F(ApplicationPaths, AnExceptionFromOnDestroyStillDeletesTheFormAndLeavesRun) {
    Application->CreateForm(form);
    form->OnDestroy = [this](TObject*) {
        ++counters.destroyed;
        throw Exception("teardown");
    };
    Application->Terminate();
    EXPECT_THROW(Application->Run(), Exception);
    EXPECT_EQ(counters.destroyed, 1);
    EXPECT_EQ(Application->MainForm(), nullptr);
}

TEST_F(ApplicationPaths, ShowExceptionShowsTheMessageInAnErrorBoxWithOneButton) {
    ModalBoxes boxes;
    Application->ShowException(Exception("bad <thing>"));
    Application->ShowException(Exception(""));
    ASSERT_EQ(boxes.Seen().size(), 2u);
    EXPECT_EQ(boxes.Seen()[0].text, "bad <thing>");
    EXPECT_EQ(boxes.Seen()[0].buttons, 1);
    EXPECT_EQ(boxes.Seen()[1].text, "");
}

} // namespace
