#pragma once

#include "crash/crash_upload_manager.h"

namespace strombel::app {

/// The crash upload client's alert, shown by the kit's alert presenter of the
/// current context; the button chosen goes back by its index.
class KitCrashUploadAlert final : public crash::CrashUploadAlertPresenter {
public:
    void showAlert(const std::string& title, const std::string& message, const std::vector<std::string>& buttons,
                   std::function<void(int64_t buttonIndex)> answer) override;
};

}  // namespace strombel::app
