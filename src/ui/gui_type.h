#pragma once

#include <cstdint>
#include <optional>

namespace strombel::ui {

/// The three screen layouts. Each screen fixes its own type and tells the
/// controls it makes; the numbers are the ones the command line's --gui takes.
enum class GuiType : int32_t { tablet = 0, phoneLandscape = 1, phonePortrait = 2 };

/// The layout numbered `number`; none for a number that names no layout.
constexpr std::optional<GuiType> guiTypeFromNumber(int32_t number) {
    switch (number) {
        case 0:
            return GuiType::tablet;
        case 1:
            return GuiType::phoneLandscape;
        case 2:
            return GuiType::phonePortrait;
        default:
            return std::nullopt;
    }
}

/// The number of `type`, as the command line takes it.
constexpr int32_t guiTypeNumber(GuiType type) {
    return static_cast<int32_t>(type);
}

}  // namespace strombel::ui
