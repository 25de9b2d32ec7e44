#pragma once

#include <cstdint>
#include <functional>

#include "ui/kit/view.h"

namespace strombel::ui::kit {
class Window;
}

namespace strombel::store {

/// The store screen, presented over the pad screen. Today it shows its
/// title and a DONE button that dismisses it; the catalogue, its icons and the
/// downloads come with the store subsystem.
class StrombelStoreViewController : public ui::kit::View {
public:
    /// The tablet layout.
    StrombelStoreViewController() : StrombelStoreViewController(0) {}

    /// The platform's transition style value (1 flips horizontally).
    int32_t modalTransitionStyle() const { return modalTransitionStyle_; }
    void setModalTransitionStyle(int32_t style) { modalTransitionStyle_ = style; }

    /// Shows the screen over `window`'s current screen through the context's modal
    /// presenter; `dismissed` runs once it has gone again.
    static void present(std::unique_ptr<StrombelStoreViewController> screen, ui::kit::Window& window,
                        std::function<void()> dismissed);
    /// The DONE button: takes the screen away.
    void doneBtnPressed();

protected:
    explicit StrombelStoreViewController(int32_t guiType);

private:
    int32_t guiType_;
    int32_t modalTransitionStyle_ = 0;
    ui::kit::Window* window_ = nullptr;
    std::function<void()> dismissed_;
};

/// The same in the phone layout.
class StrombelIphoneStoreViewController : public StrombelStoreViewController {
public:
    StrombelIphoneStoreViewController() : StrombelStoreViewController(1) {}
};

}  // namespace strombel::store
