#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "ui/kit/view.h"

namespace strombel::ui {

namespace kit {
class Window;
}

/// A screen presented over the pad screen (the information and store screens):
/// shown through the context's modal presenter and taken away again by its own
/// button, telling its presenter once it has gone.
class ModalScreen : public kit::View {
public:
    /// The platform's transition style value (1 flips horizontally), kept as it
    /// was set: the modal presenter slides every screen up, whatever its style.
    int32_t modalTransitionStyle() const { return modalTransitionStyle_; }
    void setModalTransitionStyle(int32_t style) { modalTransitionStyle_ = style; }

    /// Shows the screen over `window`'s current screen; `dismissed` runs once it
    /// has gone again.
    static void present(std::unique_ptr<ModalScreen> screen, kit::Window& window, std::function<void()> dismissed);

protected:
    /// Takes the screen away (its DONE or back button); nothing before `present`.
    void dismiss();
    /// Called by `present` with the size of what the window shows: a screen laid
    /// out larger than that (a landscape layout on an upright window) covers the
    /// window, its layout in the middle, made smaller to fit.
    void fitInto(const QSizeF& shown);

private:
    int32_t modalTransitionStyle_ = 0;
    kit::Window* window_ = nullptr;
    std::function<void()> dismissed_;
};

}  // namespace strombel::ui
