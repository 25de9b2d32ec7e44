#pragma once

#include <filesystem>
#include <memory>

#include "ui/image_store.h"
#include "ui/kit/kit_test_support.h"

namespace strombel::testing {

/// A kit test whose images come from the generator (or from `bundle` when given).
class UiTest : public KitTest {
  protected:
    explicit UiTest(ui::kit::Screen screen = ui::kit::Screen::tablet(),
                    std::filesystem::path bundle = {})
        : KitTest(screen) {
        ui::ImageStore::setShared(std::make_unique<ui::ImageStore>(std::move(bundle)));
    }
    ~UiTest() override { ui::ImageStore::setShared(nullptr); }
};

}  // namespace strombel::testing
