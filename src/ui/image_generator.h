#pragma once

#include <QImage>
#include <QSizeF>
#include <string>
#include <vector>

namespace strombel::ui {

/// The art variants of one image name, by the file-name suffix that selects them.
enum class ImageVariant {
    tablet,        // "name.png"
    phone,         // "name-phone.png"
    phoneTall,     // "name-phone568h.png" (16:9 phone, landscape)
    portrait,      // "name-phoneportrait.png"
    portraitTall,  // "name-phoneportrait568h.png" (16:9 phone, portrait)
};

/// Draws the interface's pictures: panels, pads, keys, lamps, faders, displays
/// and icons of a dark hardware drum computer, at the sizes the layouts use.
/// Only pictures that differ on 16:9 phones (the full-screen ones) have tall
/// variants; every other name answers for the tall variants with nothing, so the
/// lookup falls back to the plain phone art.
class ImageGenerator {
  public:
    /// The picture of `name` in `variant`, `pixelRatio` pixels per point; a null
    /// image for a name or variant it does not draw.
    static QImage draw(const std::string& name, ImageVariant variant, double pixelRatio = 2.0);
    /// The size in points, or an empty size when there is no such picture.
    static QSizeF size(const std::string& name, ImageVariant variant);
    static bool knows(const std::string& name, ImageVariant variant) {
        return !size(name, variant).isEmpty();
    }
    /// Every name it draws.
    static std::vector<std::string> names();

    /// Splits a file name such as "lightOn-phoneportrait.png" into its base name
    /// and variant; false for a name that is not a PNG.
    static bool parseFileName(const std::string& fileName, std::string& base,
                              ImageVariant& variant);
};

}  // namespace strombel::ui
