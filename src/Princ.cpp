#include "Princ.h"

#include "HiloTiempo.h"
#include "HiloTocar.h"
#include "thread.h"
#include "virtualmem.h"

#include <thread>

TfrmAudio* frmAudio = nullptr;

namespace {

// The window's font: "MS Sans Serif" with an 11-pixel character height. The
// font system picks the nearest family where it is missing.
TFont CaptionFont(TColor color) {
    TFont font;
    font.Name = "MS Sans Serif";
    font.Height = -11;
    font.Color = color;
    return font;
}

TLabel* NewLabel(TForm* form, int left, int top, int width, int height, const char* text) {
    auto* label = new TLabel(form);
    label->SetBounds(left, top, width, height);
    label->SetCaption(text);
    return label;
}

TButton* NewButton(TForm* form, int left, int top, int width, int height, const char* text,
                   int tabOrder) {
    auto* button = new TButton(form);
    button->SetBounds(left, top, width, height);
    button->SetCaption(text);
    button->SetTabOrder(tabOrder);
    return button;
}

} // namespace

TfrmAudio::TfrmAudio(TComponent* Owner) : TForm(Owner) {
    SetBounds(227, 146, 352, 363);
    SetCaption("frmAudio");
    SetColor(clBtnFace);
    SetFont(CaptionFont(clWindowText));

    TimeSerie = new TPaintBox(this);
    TimeSerie->SetBounds(40, 48, 281, 273);
    TimeSerie->SetColor(clBlack);

    Label1 = NewLabel(this, 32, 28, 60, 13, "Osciloscopio");
    Label1->SetColor(clBtnFace);
    Label1->SetFont(CaptionFont(clYellow));
    Label2 = NewLabel(this, 8, 88, 17, 13, "Izq.");
    Label2->SetFont(CaptionFont(clYellow));
    Label3 = NewLabel(this, 8, 241, 20, 13, "Der.");
    Label3->SetFont(CaptionFont(clYellow));

    btnIniciar = NewButton(this, 136, 8, 75, 25, "Iniciar", 0);
    btnParar = NewButton(this, 224, 8, 75, 25, "Parar", 1);

    Label4 = NewLabel(this, 104, 16, 28, 13, "Tocar");

    OnCreate = [this](TObject* Sender) { FormCreate(Sender); };
    OnDestroy = [this](TObject* Sender) { FormDestroy(Sender); };
    btnIniciar->OnClick = [this](TObject* Sender) { btnIniciarClick(Sender); };
    btnParar->OnClick = [this](TObject* Sender) { btnPararClick(Sender); };
}

namespace {

// The capture device calls this on its own thread. Only a filled buffer
// matters; the window is reached through frmAudio.
void WaveInCallback(HWAVEIN, UINT uMsg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (uMsg == WIM_DATA) {
        frmAudio->BufferFilled();
    }
}

void ReportMultimediaError() {
    Application->MessageBox("Error", "Error de multimedia", 0);
    Application->Terminate();
}

} // namespace

void TfrmAudio::FormCreate(TObject* /*Sender*/) {
    bufferCount = 2;
    framesPerBuffer = 1024;
    completedIndex = 0;

    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = 44100;
    format.wBitsPerSample = 16;
    format.nBlockAlign = static_cast<WORD>((format.wBitsPerSample / 8) * format.nChannels);
    format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;
    format.cbSize = 0;

    // The first call only asks whether the format can be played; neither
    // result stops capture, which is what the window is for.
    waveOutOpen(&waveOut, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY);
    waveOutOpen(&waveOut, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(Handle()), 0,
                CALLBACK_WINDOW);

    displayWorker = new THiloTiempo(true, framesPerBuffer);
    playbackWorker = new THiloTocar(false);

    headers = new WAVEHDR[bufferCount]{};
    bufferBytes = ((format.wBitsPerSample * framesPerBuffer) / 8) * format.nChannels;
    for (std::int32_t i = 0; i < bufferCount; ++i) {
        headers[i].dwBufferLength = static_cast<DWORD>(bufferBytes);
        headers[i].lpData = static_cast<LPSTR>(VirtualAlloc(
            nullptr, static_cast<std::size_t>(bufferBytes), MEM_COMMIT, PAGE_READWRITE));
    }

    if (waveInOpen(&waveIn, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&WaveInCallback),
                   reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        ReportMultimediaError();
        return;
    }

    // Only the first half of the ring is queued; the rest is queued one by
    // one as blocks complete.
    for (std::int32_t i = 0; i < bufferCount / 2; ++i) {
        WAVEHDR& header = headers[i];
        header.dwBufferLength = static_cast<DWORD>(bufferBytes);
        header.dwFlags = 0;
        header.dwLoops = 0;
        if (waveInPrepareHeader(waveIn, &header, WAVEHDR_SIZE32) != MMSYSERR_NOERROR) {
            continue;
        }
        if (waveInAddBuffer(waveIn, &header, WAVEHDR_SIZE32) != MMSYSERR_NOERROR) {
            ReportMultimediaError();
        }
    }

    // The ring must be live before the device starts: the first block can
    // complete before waveInStart returns, and ignoring it would leave the
    // device with nothing queued, stopping capture for good.
    requeueCursor = &headers[bufferCount / 2];
    completedIndex = 0;
    capturing = true;
    if (waveInStart(waveIn) != MMSYSERR_NOERROR) {
        capturing = false;
        ReportMultimediaError();
    }
}

void TfrmAudio::BufferFilled() {
    // Counted so that shutdown can wait for a completion it raced with; see
    // FormDestroy.
    struct InFlight {
        std::atomic<int>& count;
        explicit InFlight(std::atomic<int>& c) : count(c) { count.fetch_add(1); }
        ~InFlight() { count.fetch_sub(1); }
    } inFlight(completionsInFlight);

    if (!capturing) {
        return;
    }
    const std::int32_t index = completedIndex.load(std::memory_order_relaxed);
    WAVEHDR* header = &headers[index];
    waveInUnprepareHeader(waveIn, header, WAVEHDR_SIZE32);

    displayWorker->ShowBuffer(TimeSerie, reinterpret_cast<const std::int16_t*>(header->lpData));
    playbackWorker->PlayBuffer(waveOut, header);

    completedIndex.store(index + 1 == bufferCount ? 0 : index + 1, std::memory_order_relaxed);

    // Re-arm the header the workers were given one block ago; the playback
    // device copied it when it was written, so the ring may refill it.
    // The fields are written atomically: a playback worker running a block
    // late may still be writing this header out.
    WAVEHDR* next = requeueCursor.load(std::memory_order_relaxed);
    std::atomic_ref<DWORD>(next->dwBufferLength)
        .store(static_cast<DWORD>(bufferBytes), std::memory_order_relaxed);
    std::atomic_ref<DWORD>(next->dwFlags).store(0, std::memory_order_relaxed);
    std::atomic_ref<DWORD>(next->dwLoops).store(0, std::memory_order_relaxed);
    waveInPrepareHeader(waveIn, next, WAVEHDR_SIZE32);
    waveInAddBuffer(waveIn, next, WAVEHDR_SIZE32);
    requeueCursor.store(next == &headers[bufferCount - 1] ? &headers[0] : next + 1,
                        std::memory_order_relaxed);
}

void TfrmAudio::btnIniciarClick(TObject* /*Sender*/) {
    playbackWorker->Resume();
    playbackWorker->SetPaused(false);
    btnIniciar->SetEnabled(false);
    btnParar->SetEnabled(true);
}

void TfrmAudio::btnPararClick(TObject* /*Sender*/) {
    playbackWorker->Suspend();
    playbackWorker->SetPaused(true);
    btnIniciar->SetEnabled(true);
    btnParar->SetEnabled(false);
}

void TfrmAudio::FormDestroy(TObject* /*Sender*/) {
    capturing = false;
    // A completion that passed its check just before the line above could
    // still queue a buffer after the reset below; that buffer would never be
    // handed back and its unprepare would answer "still playing" forever.
    // Wait for such a completion to finish first: it never blocks, so this
    // takes at most a few microseconds.
    while (completionsInFlight.load() != 0) {
        std::this_thread::yield();
    }
    if (displayWorker != nullptr) {
        displayWorker->Terminate();
    }
    waveInReset(waveIn);
    // Set-up may have ended in an exception before the ring existed (a
    // worker that could not start, no memory for the headers).
    const std::int32_t ringSize = headers != nullptr ? bufferCount : 0;
    for (std::int32_t i = 0; i < ringSize; ++i) {
        while (waveInUnprepareHeader(waveIn, &headers[i], WAVEHDR_SIZE32) == WAVERR_STILLPLAYING) {
            Sleep(200);
        }
    }
    waveInClose(waveIn);
    waveOutUnprepareHeader(
        waveOut, playbackWorker != nullptr ? playbackWorker->GetHeader() : nullptr, WAVEHDR_SIZE32);
    waveOutClose(waveOut);
    delete displayWorker;
    delete playbackWorker;
    for (std::int32_t i = 0; i < ringSize; ++i) {
        VirtualFree(headers[i].lpData, 0, MEM_RELEASE);
    }
    delete[] headers;
}
