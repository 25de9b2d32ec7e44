#pragma once

// Finding the editor screens' parts as a user does: by kind and by title.

#include "ui/kit/control.h"
#include "ui/kit/view.h"

namespace strombel::testing {

// Both look through the whole tree under `parent` (a sheet holds its parts on a panel).
template <typename T>
T* child(ui::kit::View* parent) {
    for (ui::kit::View* view : parent->subviews()) {
        if (auto* found = dynamic_cast<T*>(view)) return found;
        if (auto* deeper = child<T>(view)) return deeper;
    }
    return nullptr;
}

inline ui::kit::Button* buttonTitled(ui::kit::View* parent, const QString& title) {
    for (ui::kit::View* view : parent->subviews()) {
        if (auto* button = dynamic_cast<ui::kit::Button*>(view); button && button->title() == title) return button;
        if (auto* deeper = buttonTitled(view, title)) return deeper;
    }
    return nullptr;
}

}  // namespace strombel::testing
