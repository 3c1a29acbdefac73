// The main window: the oscilloscope paint box, its captions, the playback
// buttons, and the capture engine behind them.
#pragma once

#include "forms.h"
#include "mmsystem.h"

#include <atomic>
#include <cstdint>

class THiloTiempo;
class THiloTocar;

class TfrmAudio : public TForm {
public:
    explicit TfrmAudio(TComponent* Owner);

    TPaintBox* TimeSerie;
    TLabel* Label1;
    TLabel* Label2;
    TLabel* Label3;
    TButton* btnIniciar;
    TButton* btnParar;
    TLabel* Label4;

    // Capture engine. Set up by FormCreate, turned around by BufferFilled on
    // the audio thread, taken down by FormDestroy. The fields the audio
    // thread writes while the window lives are atomic; the rest are written
    // before capture starts or after it has stopped.
    THiloTiempo* displayWorker = nullptr;
    THiloTocar* playbackWorker = nullptr;
    HWAVEIN waveIn = nullptr;
    HWAVEOUT waveOut = nullptr;
    WAVEHDR* headers = nullptr;
    WAVEFORMATEX format{};
    // The header whose completion is expected next.
    std::atomic<std::int32_t> completedIndex{0};
    std::int32_t bufferCount = 0;
    std::int32_t framesPerBuffer = 0;
    std::int32_t bufferBytes = 0;
    // The next header to hand back to the capture device: always
    // bufferCount / 2 headers ahead of completedIndex around the ring.
    std::atomic<WAVEHDR*> requeueCursor{nullptr};
    // Completions are turned around only while this is true.
    std::atomic<bool> capturing{false};
    // Completions inside BufferFilled right now; shutdown waits for none.
    std::atomic<int> completionsInFlight{0};

    void FormCreate(TObject* Sender);
    void FormDestroy(TObject* Sender);
    void btnIniciarClick(TObject* Sender);
    void btnPararClick(TObject* Sender);
    // Called on the audio system's thread each time a capture buffer is full.
    void BufferFilled();
};

extern TfrmAudio* frmAudio;
