#include "ui/store/strombel_store_view_controller.h"

namespace strombel::store {

StrombelStoreViewController::StrombelStoreViewController(ui::GuiType guiType)
    : PlaceholderScreen(guiType, "SOUND STORE") {}

}  // namespace strombel::store
