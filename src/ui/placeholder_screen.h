#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "ui/gui_type.h"
#include "ui/kit/view.h"

namespace strombel::ui {

namespace kit {
class Window;
}

/// A screen presented over the pad screen that shows only its title and a DONE
/// button taking it away again; the information and store screens start as one.
class PlaceholderScreen : public kit::View {
public:
    /// The platform's transition style value (1 flips horizontally).
    int32_t modalTransitionStyle() const { return modalTransitionStyle_; }
    void setModalTransitionStyle(int32_t style) { modalTransitionStyle_ = style; }

    /// Shows the screen over `window`'s current screen through the context's modal
    /// presenter; `dismissed` runs once it has gone again.
    static void present(std::unique_ptr<PlaceholderScreen> screen, kit::Window& window,
                        std::function<void()> dismissed);
    /// The DONE button: takes the screen away.
    void doneBtnPressed();

protected:
    /// A screen-sized black view in the layout of `guiType` with `title` above its button.
    PlaceholderScreen(GuiType guiType, const QString& title);

private:
    GuiType guiType_;
    int32_t modalTransitionStyle_ = 0;
    kit::Window* window_ = nullptr;
    std::function<void()> dismissed_;
};

}  // namespace strombel::ui
