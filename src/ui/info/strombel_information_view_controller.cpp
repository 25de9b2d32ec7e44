#include "ui/info/strombel_information_view_controller.h"

namespace strombel::info {

StrombelInformationViewController::StrombelInformationViewController(int32_t guiType) : PlaceholderScreen(guiType, "STROMBEL") {}

}  // namespace strombel::info
