#pragma once

// src/ui/store/: the store screen.
// May include: ui, Qt.

#include <cstdint>

#include "ui/placeholder_screen.h"

namespace strombel::store {

/// The store screen, presented over the pad screen. Today it shows its
/// title and a DONE button that dismisses it; the catalogue, its icons and the
/// downloads come with the store subsystem.
class StrombelStoreViewController : public ui::PlaceholderScreen {
public:
    /// The tablet layout.
    StrombelStoreViewController() : StrombelStoreViewController(ui::GuiType::tablet) {}

protected:
    explicit StrombelStoreViewController(ui::GuiType guiType);
};

/// The same in the phone layout.
class StrombelIphoneStoreViewController : public StrombelStoreViewController {
public:
    StrombelIphoneStoreViewController() : StrombelStoreViewController(ui::GuiType::phoneLandscape) {}
};

}  // namespace strombel::store
