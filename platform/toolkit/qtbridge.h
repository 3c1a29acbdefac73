// Private to the toolkit: how its values become Qt's.
#pragma once

#include "controls.h"

#include <QColor>
#include <QCoreApplication>
#include <QFont>
#include <QThread>

#include <cstdlib>
#include <exception>

namespace qtbridge {

inline QColor ToQColor(TColor color) {
    const TColor rgb = ColorToRGB(color);
    return QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
}

inline TColor FromQRgb(QRgb rgb) {
    return static_cast<TColor>(qRed(rgb)) | static_cast<TColor>(qGreen(rgb)) << 8 |
           static_cast<TColor>(qBlue(rgb)) << 16;
}

inline QFont ToQFont(const TFont& font) {
    QFont qfont(QString::fromStdString(font.Name));
    qfont.setStyleHint(QFont::SansSerif);
    if (font.Height != 0) {
        qfont.setPixelSize(std::abs(font.Height));
    }
    return qfont;
}

inline bool OnGuiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

// Hands an exception that escaped an event handler to the application
// (application.cpp), which asks its loop to end and rethrows it from Run():
// Qt cannot carry it through its event loop. The controls reach the
// application only through this.
void HandleEscaped(std::exception_ptr error);

} // namespace qtbridge
