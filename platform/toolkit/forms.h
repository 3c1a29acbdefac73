// The window toolkit the program is written against: application object,
// forms, buttons, labels and a paint box whose canvas can be drawn on from a
// worker thread. Built on Qt 6 Widgets.
//
// Positions and sizes are logical pixels at 96 dpi; Qt scales them on
// high-density screens. Colours are TColor values, 0x00BBGGRR.
//
// Everything here belongs to the GUI thread, except where a comment says
// otherwise: TCanvas drawing under its lock, TPaintBox::ClientWidth() and
// ClientHeight(), and TApplication::Terminate().
//
// Qt stays out of this header; tests that need the Qt side reach it through
// TControl::Widget().
#pragma once

#include "application.h"
#include "canvas.h"
#include "controls.h"
