#include "Entry.h"
#include "Princ.h"

int main() {
    return RunMainWindow(frmAudio);
}
