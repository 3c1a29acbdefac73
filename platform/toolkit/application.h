// Forms and the application object: windows, the event loop, the message
// box and the exception display.
#pragma once

#include "controls.h"

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <vector>

class QEventLoop;
class QApplication;

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

    // Creates the Qt application on first use, with the toolkit's own
    // options of the command line given to SetArguments (Qt's -platform,
    // -display, ...), or with none. May be called again (tests do): it then
    // only clears the state a previous Run() left.
    void Initialize();

    // The command line Initialize() hands the toolkit: the program name and
    // nothing but the toolkit's own options. Kept until the program ends, as
    // Qt asks.
    void SetArguments(int argc, char** argv);
    // How many of the arguments from arg on belong to one of the toolkit's
    // own options: 1 for a switch (or "-style=NAME"), 2 for an option whose
    // value is the next argument, 0 if arg is not the toolkit's. Qt takes
    // both "-name" and "--name".
    static int ToolkitOptionLength(const char* arg);

    // How the desktop knows the program: the name of its desktop entry
    // (without ".desktop"), its version, and its window icon (a file or a
    // Qt resource). Kept for Initialize() when it comes first.
    void SetIdentity(const std::string& desktopFileName, const std::string& version,
                     const std::string& icon);

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
    void ApplyIdentity();
    void DestroyForms();
    void Shutdown();

    std::unique_ptr<QApplication> qtApp_;
    QEventLoop* loop_ = nullptr;
    std::atomic<bool> terminated_{false};
    std::exception_ptr pending_;
    TForm* mainForm_ = nullptr;
    std::vector<TForm*> forms_;
    bool shutdownRegistered_ = false;
    std::string desktopFileName_;
    std::string version_;
    std::string icon_;
    int argc_ = 0;
    std::vector<char*> argv_;
};

extern TApplication* Application;
