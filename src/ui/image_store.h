#pragma once

#include <QImage>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace strombel::ui {

/// The application's named-image cache: a picture by its file name. A real file
/// of that name in the bundle folder wins; otherwise the generator draws it.
/// Pictures are made once and kept.
class ImageStore {
  public:
    /// Pictures from `bundle` (may be empty for none), drawn at `pixelRatio` when
    /// `drawMissing` (otherwise a picture not in the bundle is missing).
    explicit ImageStore(std::filesystem::path bundle, double pixelRatio = 2.0,
                        bool drawMissing = true);

    /// The program's store, over the shared sandbox's bundle folder.
    static ImageStore& shared();
    static void setShared(std::unique_ptr<ImageStore> store);

    /// The picture named `fileName` (e.g. "lightOn-phone.png"), or a null image.
    QImage image(const std::string& fileName);
    bool contains(const std::string& fileName) { return !image(fileName).isNull(); }
    /// The names asked for so far that neither the bundle nor the drawings have.
    std::vector<std::string> missingNames() const;

    const std::filesystem::path& bundle() const { return bundle_; }

    /// Pixels per point of the pictures the store draws.
    double pixelRatio() const { return pixelRatio_; }
    /// Draws pictures at `ratio` from now on: those it drew at another ratio are
    /// drawn anew when next asked for. False when that was the ratio already.
    bool setPixelRatio(double ratio);
    /// `old`, when the store drew it (at whatever ratio), as the store draws it
    /// now; any other picture as it is.
    QImage redrawn(const QImage& old);

  private:
    std::filesystem::path bundle_;
    double pixelRatio_;
    bool drawMissing_;
    std::map<std::string, QImage> cache_;
    /// The names of the pictures the store drew (not read from the bundle), by
    /// the key their copies share.
    std::map<qint64, std::string> drawn_;
};

}  // namespace strombel::ui
