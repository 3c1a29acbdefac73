// Answers the modal message boxes a test provokes, the way a user would:
// a timer on the GUI thread finds each box while it runs its own event loop,
// records what it shows, and presses its OK button.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

struct SeenBox {
    std::string title;
    std::string text;
    int buttons = 0;
    bool hasOk = false;
    int width = 0;
};

class ModalBoxes {
public:
    ModalBoxes() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Answer(); });
        timer_.start();
    }

    const std::vector<SeenBox>& Seen() const { return seen_; }
    // Called with each box found, before it is answered.
    std::function<void(const SeenBox&)> OnSeen;

private:
    void Answer() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        SeenBox seen;
        seen.title = box->windowTitle().toStdString();
        seen.text = box->text().toStdString();
        seen.buttons = static_cast<int>(box->buttons().size());
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        seen.hasOk = ok != nullptr;
        seen.width = box->width();
        seen_.push_back(seen);
        if (OnSeen) {
            OnSeen(seen);
        }
        if (ok != nullptr) {
            ok->click();
        } else {
            box->reject();
        }
    }

    QTimer timer_;
    std::vector<SeenBox> seen_;
};
