// The program's entry: whatever escapes the window's creation or its event
// loop is shown in the standard exception box, the window is destroyed once,
// and the entry returns 0.
#include "Entry.h"
#include "modal_boxes.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPixmap>
#include <QTimer>

#include <csignal>
#include <functional>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace {

// A main window whose behaviour each test scripts.
class ScriptedForm : public TForm {
public:
    explicit ScriptedForm(TComponent* Owner) : TForm(Owner), button(new TButton(this)) {
        OnCreate = [this](TObject*) {
            if (script) {
                script(this);
            }
        };
        OnDestroy = [](TObject*) { ++destroyed; };
    }
    TButton* button;
    static inline std::function<void(ScriptedForm*)> script;
    static inline int destroyed = 0;
};

class Entry : public ::testing::Test {
protected:
    void SetUp() override {
        Application->Initialize();
        ScriptedForm::destroyed = 0;
    }
    void TearDown() override { ScriptedForm::script = nullptr; }
    int RunEntry() {
        ScriptedForm* form = nullptr;
        return RunMainWindow(form);
    }
};

void ClickSoon(ScriptedForm* form) {
    QTimer::singleShot(10, form->Widget(),
                       [form] { static_cast<QAbstractButton*>(form->button->Widget())->click(); });
}

TEST_F(Entry, ASetUpFailureShowsOneErrorBoxAndEndsTheProgramAfterIt) {
    ScriptedForm::script = [](ScriptedForm*) {
        Application->MessageBox("Error", "Error de multimedia", 0);
        Application->Terminate();
    };
    ModalBoxes seen;
    EXPECT_EQ(RunEntry(), 0);
    ASSERT_EQ(seen.Seen().size(), 1u);
    EXPECT_EQ(seen.Seen()[0].text, "Error");
    EXPECT_EQ(seen.Seen()[0].title, "Error de multimedia");
    EXPECT_EQ(seen.Seen()[0].buttons, 1);
    EXPECT_TRUE(seen.Seen()[0].hasOk);
    // A window manager's title bar shows the whole title in a bold face
    // beside the window icon and its buttons, about 120 pixels together.
    QFont titleFont = QApplication::font();
    titleFont.setBold(true);
    EXPECT_GE(seen.Seen()[0].width,
              QFontMetrics(titleFont).horizontalAdvance("Error de multimedia") + 120);
    EXPECT_EQ(ScriptedForm::destroyed, 1);
}

// From creation or from an event handler in the loop: one box with a
// toolkit exception's message, empty for any other exception, shown once the
// window is destroyed.
TEST_F(Entry, AnExceptionIsShownInOneBoxAfterTheWindowIsDestroyed) {
    const struct {
        const char* name;
        bool inLoop;
        void (*raise)();
        const char* text;
    } cases[] = {
        {"toolkit, creation", false, [] { throw Exception("sin dispositivo"); }, "sin dispositivo"},
        {"foreign, creation", false, [] { throw std::runtime_error("not shown"); }, ""},
        {"toolkit, loop", true, [] { throw Exception("en el bucle"); }, "en el bucle"},
        {"foreign, loop", true, [] { throw 42; }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedForm::destroyed = 0;
        ScriptedForm::script = [&c](ScriptedForm* form) {
            if (!c.inLoop) {
                c.raise();
            }
            form->button->OnClick = [&c](TObject*) { c.raise(); };
            ClickSoon(form);
        };
        int destroyedWhenShown = -1;
        ModalBoxes seen;
        seen.OnSeen = [&](const SeenBox&) { destroyedWhenShown = ScriptedForm::destroyed; };
        EXPECT_EQ(RunEntry(), 0);
        ASSERT_EQ(seen.Seen().size(), 1u);
        EXPECT_EQ(seen.Seen()[0].text, c.text);
        EXPECT_EQ(seen.Seen()[0].buttons, 1);
        EXPECT_EQ(destroyedWhenShown, 1);
        EXPECT_EQ(ScriptedForm::destroyed, 1);
    }
}

// Closed, the window ends the program without a box.
TEST_F(Entry, ClosedTheWindowEndsTheProgramWithoutABoxAndTheDesktopHasItsNameVersionAndIcon) {
    ScriptedForm::script = [](ScriptedForm* form) {
        QTimer::singleShot(10, form->Widget(), [form] { form->Close(); });
    };
    ModalBoxes seen;
    EXPECT_EQ(RunEntry(), 0);
    EXPECT_TRUE(seen.Seen().empty());
    EXPECT_EQ(ScriptedForm::destroyed, 1);
    EXPECT_EQ(QGuiApplication::desktopFileName(), MONITOR_AUDIO_APP_ID);
    // The program's name, whence X's window class, even with no command line.
    EXPECT_EQ(QCoreApplication::arguments().size(), 1);
    EXPECT_FALSE(QCoreApplication::applicationVersion().isEmpty());
    EXPECT_EQ(QCoreApplication::applicationVersion(), MONITOR_AUDIO_VERSION);
    const QImage icon = QApplication::windowIcon().pixmap(64).toImage();
    ASSERT_FALSE(icon.isNull());
    EXPECT_NE(icon.pixelColor(32, 32), icon.pixelColor(0, 0)) << "the icon is blank";
}

// A session that ends sends a signal, from outside the GUI thread: the
// window closes as its close box would, OnDestroy runs, the entry returns 0.
TEST_F(Entry, SessionSignalsCloseTheWindowTheNormalWay) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        ScriptedForm::destroyed = 0;
        ScriptedForm::script = [signal](ScriptedForm* form) {
            QTimer::singleShot(10, form->Widget(), [signal] {
                std::thread([signal] { kill(getpid(), signal); }).detach();
            });
        };
        ModalBoxes seen;
        EXPECT_EQ(RunEntry(), 0);
        EXPECT_TRUE(seen.Seen().empty());
        EXPECT_EQ(ScriptedForm::destroyed, 1);
    }
}

} // namespace
