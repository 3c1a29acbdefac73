#include "application.h"

#include "canvas.h"
#include "qtbridge.h"
#include "signals.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFont>
#include <QFontMetrics>
#include <QGridLayout>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QSpacerItem>
#include <QThread>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

using namespace qtbridge;

namespace {

TApplication applicationInstance;

// What a window manager's title bar spends besides the caption: the window
// icon and three buttons at either side, about 40 pixels each.
constexpr int kTitleBarExtras = 160;

// The message box both MessageBox and ShowException show. Texts are plain:
// an exception message is never read as markup.
void ShowModalBox(QMessageBox::Icon icon, const QString& caption, const QString& text) {
    if (QApplication::instance() == nullptr) {
        std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(),
                     text.toLocal8Bit().constData());
        return;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    // A box only as wide as a short text leaves a window manager too little
    // title bar for the caption, which it then cuts ("Erro… dia"). Room for
    // the caption in a bold title font, its icon and three title buttons.
    QFont titleFont = QApplication::font();
    titleFont.setBold(true);
    const int titleRoom = QFontMetrics(titleFont).horizontalAdvance(caption) + kTitleBarExtras;
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        // QMessageBox fixes its own size when shown; a spacer across its
        // grid is what its layout honours.
        grid->addItem(new QSpacerItem(titleRoom, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    box.exec();
}

// Qt's messages while it opens the display. Held back: when no display can
// be opened Qt says so in several lines and then aborts, and the user needs
// one line and an exit status instead. Once the display is open they are
// passed on as they came.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
// Threads Qt starts while it opens the display may report too.
std::mutex heldMessagesMutex;
std::vector<HeldMessage> heldMessages;
QtMessageHandler messagesBefore = nullptr;

void HoldMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        std::lock_guard lock(heldMessagesMutex);
        heldMessages.push_back({type, context.category, text});
        return;
    }
    // The failure to open any platform: nothing after this can run.
    const auto setting = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0' ? std::string(name) + "=" + value
                                                  : std::string(name) + " unset";
    };
    std::fprintf(stderr, "%s: cannot open a display for its window (%s, %s, %s)\n",
                 program_invocation_short_name, setting("DISPLAY").c_str(),
                 setting("WAYLAND_DISPLAY").c_str(), setting("QT_QPA_PLATFORM").c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

void PassHeldMessagesOn() {
    qInstallMessageHandler(messagesBefore);
    std::vector<HeldMessage> held;
    {
        std::lock_guard lock(heldMessagesMutex);
        held = std::exchange(heldMessages, {});
    }
    for (const HeldMessage& message : held) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        qt_message_output(message.type, context, message.text);
    }
}

} // namespace

TApplication* Application = &applicationInstance;

// ---------------------------------------------------------------------------
// TForm

class TForm::View : public QWidget {
public:
    explicit View(TForm* form) : form_(form) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        if (Application->MainForm() == form_) {
            Application->Terminate();
        }
    }
    bool event(QEvent* event) override {
        const bool handled = QWidget::event(event);
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Move:
        case QEvent::Resize:
            form_->FitFrame();
            break;
        default:
            break;
        }
        return handled;
    }

private:
    TForm* form_;
};

TForm::TForm(TComponent* Owner) : TControl(Owner, new View(this)) {}

TForm::~TForm() = default;

HWND TForm::Handle() const {
    return static_cast<HWND>(Widget());
}

int TForm::ClientWidth() const {
    return Widget()->width();
}
int TForm::ClientHeight() const {
    return Widget()->height();
}

void TForm::SetBounds(int left, int top, int width, int height) {
    outerWidth_ = std::max(width, 0);
    outerHeight_ = std::max(height, 0);
    frameFitted_ = false;
    // For a window, move() places the frame, resize() sizes the client area.
    Widget()->move(left, top);
    Widget()->resize(outerWidth_, outerHeight_);
    FitFrame();
}

void TForm::FitFrame() {
    // The frame is known only once a window manager has framed the window;
    // from then on the client area gives up the frame's share of the outer
    // size, once. Without a window manager there is no frame.
    QWindow* window = Widget()->windowHandle();
    if (window == nullptr || frameFitted_) {
        return;
    }
    const QMargins frame = window->frameMargins();
    if (frame.isNull()) {
        return;
    }
    frameFitted_ = true;
    Widget()->resize(std::max(outerWidth_ - frame.left() - frame.right(), 1),
                     std::max(outerHeight_ - frame.top() - frame.bottom(), 1));
}

void TForm::Show() {
    Widget()->show();
}

void TForm::Close() {
    Widget()->close();
}

// ---------------------------------------------------------------------------
// TApplication

TApplication::TApplication() : TComponent(nullptr) {}

TApplication::~TApplication() = default;

void TApplication::Initialize() {
    if (QApplication::instance() == nullptr) {
        // Qt keeps references to these for its whole life. Without a
        // command line it gets only the program name.
        if (argv_.empty()) {
            argv_ = {program_invocation_short_name, nullptr};
            argc_ = 1;
        }
        messagesBefore = qInstallMessageHandler(HoldMessage);
        qtApp_ = std::make_unique<QApplication>(argc_, argv_.data());
        PassHeldMessagesOn();
        // The event loop is ours: Run() ends with the main form, and a
        // message box shown before it must not end the program.
        QApplication::setQuitOnLastWindowClosed(false);
        ApplyIdentity();
        // The classic window font is not on this desktop. Its captions were
        // sized for a narrow face, so narrow faces come first: the window
        // then looks as laid out. With none of them a label widens instead.
        QFont::insertSubstitutions("MS Sans Serif",
                                   {"Microsoft Sans Serif", "Liberation Sans Narrow",
                                    "Arial Narrow", "Nimbus Sans Narrow", "Liberation Sans",
                                    "Arial", "Nimbus Sans", "DejaVu Sans Condensed"});
        CloseMainFormOnSessionSignals();
        if (!shutdownRegistered_) {
            shutdownRegistered_ = true;
            // Forms still open at exit get their OnDestroy.
            std::atexit([] { Application->Shutdown(); });
        }
    }
    terminated_.store(false);
    pending_ = nullptr;
}

void TApplication::SetArguments(int argc, char** argv) {
    argv_.assign(argv, argv + argc);
    argv_.push_back(nullptr);
    argc_ = argc;
}

int TApplication::ToolkitOptionLength(const char* arg) {
    // The options QGuiApplication and QApplication read themselves, and the
    // X11 ones of its xcb platform: how many arguments each takes, and
    // whether Qt also reads its value after an '='.
    struct Option {
        std::string_view name;
        int length;
        bool valueAfterEquals;
    };
    static constexpr Option options[] = {
        {"platform", 2, false},
        {"platformpluginpath", 2, false},
        {"platformtheme", 2, false},
        {"plugin", 2, false},
        {"qwindowgeometry", 2, false},
        {"qwindowicon", 2, false},
        {"qwindowtitle", 2, false},
        {"reverse", 1, false},
        {"session", 2, false},
        {"display", 2, false},
        {"geometry", 2, false},
        {"name", 2, false},
        {"style", 2, true},
        {"stylesheet", 2, true},
        {"widgetcount", 1, false},
        {"nograb", 1, false},
        {"dograb", 1, false},
    };
    std::string_view name(arg);
    if (!name.starts_with('-')) {
        return 0;
    }
    name.remove_prefix(name.starts_with("--") ? 2 : 1);
    const std::size_t equals = name.find('=');
    for (const Option& option : options) {
        if (name == option.name) {
            return option.length;
        }
        if (option.valueAfterEquals && equals != std::string_view::npos &&
            name.substr(0, equals) == option.name) {
            return 1;
        }
    }
    return 0;
}

void TApplication::SetIdentity(const std::string& desktopFileName, const std::string& version,
                               const std::string& icon) {
    desktopFileName_ = desktopFileName;
    version_ = version;
    icon_ = icon;
    if (QApplication::instance() != nullptr) {
        ApplyIdentity();
    }
}

void TApplication::ApplyIdentity() {
    QGuiApplication::setDesktopFileName(QString::fromStdString(desktopFileName_));
    QCoreApplication::setApplicationVersion(QString::fromStdString(version_));
    if (!icon_.empty()) {
        QApplication::setWindowIcon(QIcon(QString::fromStdString(icon_)));
    }
}

void TApplication::FormCreated(TForm* form) {
    forms_.push_back(form);
    if (mainForm_ == nullptr) {
        mainForm_ = form;
    }
    try {
        if (form->OnCreate) {
            form->OnCreate(form);
        }
    } catch (...) {
        try {
            DestroyForm(form);
        } catch (...) {
            // The creation failure is the one the caller sees.
        }
        throw;
    }
}

void TApplication::Run() {
    if (mainForm_ != nullptr && !terminated_.load() && !pending_) {
        mainForm_->Show();
        QEventLoop loop;
        loop_ = &loop;
        // A Terminate() from another thread after this test is delivered
        // inside the loop and ends it.
        if (!terminated_.load() && !pending_) {
            loop.exec();
        }
        loop_ = nullptr;
    }
    DestroyForms();
    std::exception_ptr error = std::exchange(pending_, nullptr);
    terminated_.store(false);
    if (error) {
        std::rethrow_exception(error);
    }
}

void TApplication::Terminate() {
    terminated_.store(true);
    if (OnGuiThread()) {
        // Inside a modal box this ends the outer loop only: it returns once
        // the box is dismissed.
        if (loop_ != nullptr) {
            loop_->exit();
        }
        return;
    }
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            app,
            [this] {
                if (loop_ != nullptr) {
                    loop_->exit();
                }
            },
            Qt::QueuedConnection);
    }
}

int TApplication::MessageBox(const char* text, const char* caption, int /*flags*/) {
    ShowModalBox(QMessageBox::NoIcon, QString::fromUtf8(caption), QString::fromUtf8(text));
    return IDOK;
}

void TApplication::ShowException(const Exception& e) {
    ShowModalBox(QMessageBox::Critical, QCoreApplication::applicationName(),
                 QString::fromStdString(e.Message()));
}

void TApplication::DestroyForm(TForm* form) {
    forms_.erase(std::remove(forms_.begin(), forms_.end(), form), forms_.end());
    if (mainForm_ == form) {
        mainForm_ = nullptr;
    }
    // Deleted however OnDestroy ends.
    std::unique_ptr<TForm> owned(form);
    if (!form->destroyed_) {
        form->destroyed_ = true;
        form->Widget()->hide();
        if (form->OnDestroy) {
            form->OnDestroy(form);
        }
    }
}

void TApplication::DestroyForms() {
    while (!forms_.empty()) {
        try {
            DestroyForm(forms_.back());
        } catch (...) {
            if (!pending_) {
                pending_ = std::current_exception();
            }
        }
    }
}

void TApplication::ProcessMessages() {
    QCoreApplication::processEvents();
}

void qtbridge::HandleEscaped(std::exception_ptr error) {
    Application->HandleException(std::move(error));
}

void TApplication::HandleException(std::exception_ptr error) {
    if (!pending_) {
        pending_ = std::move(error);
    }
    Terminate();
}

void TApplication::Shutdown() {
    DestroyForms();
    pending_ = nullptr;
    // Whatever else was made with the application as owner goes while Qt is
    // still there.
    DestroyComponents();
    // The Qt application itself is left to the end of the process: part of
    // Qt's process-wide state is made lazily, after this handler was
    // registered, and is gone by now, and deleting the application would use
    // it. Kept reachable on purpose.
    static QApplication* const leftToExit = qtApp_.release();
    (void)leftToExit;
}
