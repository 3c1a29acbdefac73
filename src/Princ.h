// The main window: the oscilloscope paint box, its captions, the playback
// buttons, and the capture engine behind them.
#pragma once

#include "forms.h"

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

    // Capture engine.

    void FormCreate(TObject* Sender);
    void FormDestroy(TObject* Sender);
    void btnIniciarClick(TObject* Sender);
    void btnPararClick(TObject* Sender);
    // Called on the audio system's thread each time a capture buffer is full.
    void BufferFilled();
};

extern TfrmAudio* frmAudio;
