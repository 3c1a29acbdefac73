#include "Princ.h"

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

void TfrmAudio::FormCreate(TObject* /*Sender*/) {}

void TfrmAudio::FormDestroy(TObject* /*Sender*/) {}

void TfrmAudio::btnIniciarClick(TObject* /*Sender*/) {}

void TfrmAudio::btnPararClick(TObject* /*Sender*/) {}

void TfrmAudio::BufferFilled() {}
