#include "signals.h"

#include "application.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Set before any handler is installed; only read by the handler.
std::atomic<int> wakeFd{-1};

// A second signal that finds the first one not yet served (the event loop
// busy or already gone, the shutdown stuck) ends the program as if no
// handler were there.
std::atomic<bool> received{false};

void OnSessionSignal(int signal) {
    if (received.exchange(true)) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up: nothing is lost.
    [[maybe_unused]] const ssize_t n = write(wakeFd.load(std::memory_order_relaxed), &byte, 1);
    errno = saved;
}

// Lives as long as the Qt application, on its thread.
class SessionSignals : public QObject {
public:
    SessionSignals(int readFd, QObject* parent)
        : QObject(parent), fd(readFd), notifier(readFd, QSocketNotifier::Read, this) {
        connect(&notifier, &QSocketNotifier::activated, this, [this] { Arrived(); });
    }

private:
    int fd;
    QSocketNotifier notifier;

    void Arrived() {
        char bytes[64];
        while (read(fd, bytes, sizeof bytes) > 0) {
        }
        // The event loop is alive: the next signal is served here too.
        received.store(false);
        // A box in front (set-up's error box) would hold the close until it
        // is dismissed; nobody is there to dismiss it.
        if (QWidget* box = QApplication::activeModalWidget()) {
            box->close();
        }
        if (TForm* form = Application->MainForm()) {
            form->Close();
        }
    }
};

} // namespace

void CloseMainFormOnSessionSignals() {
    if (wakeFd.load() >= 0 || QCoreApplication::instance() == nullptr) {
        return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    wakeFd.store(fds[1]);
    new SessionSignals(fds[0], QCoreApplication::instance());
    struct sigaction action {};
    action.sa_handler = &OnSessionSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}
