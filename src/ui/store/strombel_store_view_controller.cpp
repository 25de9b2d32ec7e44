#include "ui/store/strombel_store_view_controller.h"

namespace strombel::store {

StrombelStoreViewController::StrombelStoreViewController(int32_t guiType) : PlaceholderScreen(guiType, "SOUND STORE") {}

}  // namespace strombel::store
