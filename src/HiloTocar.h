// The playback worker: writes the buffer handed over most recently to the
// playback device, waits 60 ms and stops until the next hand-over. Since
// hand-overs come every 23.2 ms and the ones that arrive during a pass are
// lost, about one captured block in three is heard.
#pragma once

#include "mmsystem.h"
#include "thread.h"

#include <atomic>

class THiloTocar : public TThread {
public:
    explicit THiloTocar(bool CreateSuspended);
    ~THiloTocar() override;

    // Called from the audio callback thread: takes no lock and never blocks.
    // While paused the hand-over is recorded but does not wake the worker.
    void PlayBuffer(HWAVEOUT waveOut, WAVEHDR* header);
    WAVEHDR* GetHeader() const;
    void SetPaused(bool value);
    bool GetPaused() const;

protected:
    void Execute() override;

private:
    void PlayOnce();

    // Shared by the callback thread, the event loop and the worker; each is
    // a single value written whole.
    std::atomic<HWAVEOUT> waveOut{nullptr};
    std::atomic<WAVEHDR*> header{nullptr};
    std::atomic<bool> paused{false};
    // The worker's own.
    bool pastFirstPass = false;
};
