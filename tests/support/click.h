// Presses a toolkit button the way a user's click does: through Qt, so the
// button's own enabled state and OnClick run as they would on screen.
#pragma once

#include "forms.h"

#include <QAbstractButton>

namespace testclick {

inline void Click(TButton* button) {
    static_cast<QAbstractButton*>(button->Widget())->click();
}

} // namespace testclick
