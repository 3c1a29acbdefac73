// The program's start: the application, its one main window, the event loop,
// and the display of any exception that escapes them.
#pragma once

#include "forms.h"

// Builds the main window of class Form into ref, runs the event loop until
// the window closes, and returns 0. An exception from any of it is shown in
// the application's standard exception box; one that is not the toolkit's
// own is shown with an empty message. The window has been destroyed by then:
// CreateForm and Run destroy it on their way out.
template <class Form> int RunMainWindow(Form*& ref) {
    try {
        Application->SetIdentity(MONITOR_AUDIO_APP_ID, MONITOR_AUDIO_VERSION,
                                 ":/monitor-audio/icon.svg");
        Application->Initialize();
        Application->CreateForm(ref);
        Application->Run();
    } catch (const Exception& e) {
        Application->ShowException(e);
    } catch (...) {
        Application->ShowException(Exception(""));
    }
    return 0;
}
