// The information screen's tests run inside one QApplication (offscreen) whose
// web engine knows the dialogs' scheme: it is prepared before the application is
// made.

#include <gtest/gtest.h>

#include "ui/info/social_dialog_panel.h"
#include "ui/kit/kit_test_support.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    strombel::info::prepareWebEngine();
    strombel::testing::application();
    return RUN_ALL_TESTS();
}
