#pragma once

// Small helpers on numbers, colours and text used across the program. The screen
// and image helpers live with the screens.

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace strombel::library {

/// A colour with components from 0 to 1.
struct Color {
    float red = 0, green = 0, blue = 0, alpha = 1;
    friend bool operator==(const Color&, const Color&) = default;
};

class Util {
public:
    /// `min` below it, `max` above it, else the value.
    static double guardBounds(double value, double min, double max);
    /// The device class of a machine identifier ("iPad2,1" 8, ...; anything else 10).
    static int32_t deviceType(const std::string& machine);
    /// The device class of this machine.
    static int32_t deviceType();
    /// "#RRGGBB" or "RRGGBB" (spaces around it allowed, any case); black otherwise.
    static Color colorForHex(const std::string& hex);
    /// Paragraph ends become an empty line, line breaks a line feed, other tags go.
    static std::optional<std::string> convertToPlainText(const std::optional<std::string>& html);
    /// The bundle's text resource `name` with every "[key]" replaced by its value;
    /// nullopt when the file cannot be read.
    static std::optional<std::string> loadTemplate(const std::filesystem::path& bundle, const std::string& name,
                                                   const std::vector<std::pair<std::string, std::string>>& values);
};

}  // namespace strombel::library
