#include "ui/info/strombel_information_view_controller.h"

namespace strombel::info {

StrombelInformationViewController::StrombelInformationViewController(ui::GuiType guiType)
    : PlaceholderScreen(guiType, "STROMBEL") {}

}  // namespace strombel::info
