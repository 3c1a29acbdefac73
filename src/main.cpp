#include "Entry.h"
#include "Princ.h"

#include <cstdio>
#include <cstring>

namespace {

void PrintUsage(std::FILE* to) {
    std::fputs("Usage: monitor-audio [--help] [--version] [Qt options]\n"
               "\n"
               "A live audio monitor: one window draws the default sound input as a\n"
               "two-trace oscilloscope; \"Iniciar\" plays the input back through the default\n"
               "output, \"Parar\" stops that.\n"
               "\n"
               "  --help      show this help and exit\n"
               "  --version   show the version and exit\n"
               "\n"
               "Qt's own options, such as -platform NAME or -display DISPLAY, go to Qt.\n",
               to);
}

} // namespace

// The program's own options are answered here, before the toolkit opens a
// display, so that they work where there is none; anything else on the
// command line must be one of the toolkit's.
int main(int argc, char** argv) {
    for (int i = 1; i < argc;) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("monitor-audio %s\n", MONITOR_AUDIO_VERSION);
            return 0;
        }
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        }
        const int length = TApplication::ToolkitOptionLength(arg);
        if (length == 0) {
            std::fprintf(stderr, "monitor-audio: unknown option '%s'\n\n", arg);
            PrintUsage(stderr);
            return 2;
        }
        i += length;
    }
    Application->SetArguments(argc, argv);
    return RunMainWindow(frmAudio);
}
