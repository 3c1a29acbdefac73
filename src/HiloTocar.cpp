#include "HiloTocar.h"

THiloTocar::THiloTocar(bool CreateSuspended) : TThread(CreateSuspended) {
    paused.store(true);
    // A pass that starts late on a busy machine plays a block that capture
    // is already refilling.
    SetPriority(tpTimeCritical);
    AfterConstruction();
}

THiloTocar::~THiloTocar() {
    BeforeDestruction();
}

void THiloTocar::PlayBuffer(HWAVEOUT waveOut, WAVEHDR* header) {
    this->waveOut.store(waveOut);
    this->header.store(header);
    if (!paused.load()) {
        Resume();
    }
}

WAVEHDR* THiloTocar::GetHeader() const {
    return header.load();
}

void THiloTocar::SetPaused(bool value) {
    paused.store(value);
}

bool THiloTocar::GetPaused() const {
    return paused.load();
}

void THiloTocar::Execute() {
    NameThreadForDebugging("HiloTocar");
    // While playing, a terminate request does not end the body: the worker
    // is ended by its destruction instead.
    for (;;) {
        if (Terminated() && paused.load()) {
            return;
        }
        PlayOnce();
    }
}

void THiloTocar::PlayOnce() {
    const HWAVEOUT device = waveOut.load();
    WAVEHDR* buffer = header.load();
    // The first pass runs at construction, while playback is paused. It is
    // meant to find nothing to play, but a worker that was slow to start may
    // already have been handed a block, and playing it would be heard
    // without "Iniciar" ever being pressed.
    const bool first = !pastFirstPass;
    pastFirstPass = true;
    if (buffer != nullptr && !first) {
        // The device copies the whole buffer before returning, so the ring
        // may queue this header for capture again at the next block.
        waveOutPrepareHeader(device, buffer, WAVEHDR_SIZE32);
        waveOutWrite(device, buffer, WAVEHDR_SIZE32);
    }
    // A "Parar" that arrives during the wait stops the worker right here.
    Sleep(60);
    Suspend();
}
