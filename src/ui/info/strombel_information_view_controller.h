#pragma once

// src/ui/info/: the information screen.
// May include: ui, info, Qt.

#include <cstdint>

#include "ui/placeholder_screen.h"

namespace strombel::info {

/// The information screen, presented over the pad screen. Today it shows its
/// title and a DONE button that dismisses it; its links, mail, video and sharing
/// come with the information subsystem.
class StrombelInformationViewController : public ui::PlaceholderScreen {
public:
    /// The tablet layout.
    StrombelInformationViewController() : StrombelInformationViewController(ui::GuiType::tablet) {}

protected:
    explicit StrombelInformationViewController(ui::GuiType guiType);
};

/// The same in the phone layout.
class StrombelIphoneInformationViewController : public StrombelInformationViewController {
public:
    StrombelIphoneInformationViewController() : StrombelInformationViewController(ui::GuiType::phoneLandscape) {}
};

}  // namespace strombel::info
