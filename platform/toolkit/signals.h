// The ends of a desktop session: SIGTERM when the session logs out, SIGHUP
// when its terminal goes, SIGINT from Ctrl+C. Each closes the main form the
// way its close box does, so the form's OnDestroy runs in full and the
// program ends normally instead of being cut off mid-cycle.
#pragma once

// Installs the handlers, once per process. The handler itself only writes a
// byte to a pipe; the GUI thread's event loop reads it and does the closing.
// A second signal ends the program at once, as it would without a handler.
// Needs the Qt application to exist.
void CloseMainFormOnSessionSignals();
