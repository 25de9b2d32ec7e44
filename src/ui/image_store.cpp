#include "ui/image_store.h"

#include <QImageReader>

#include "logging/log.h"
#include "platform/sandbox.h"
#include "ui/image_generator.h"

namespace strombel::ui {

namespace {
std::unique_ptr<ImageStore>& sharedStore() {
    static std::unique_ptr<ImageStore> store;
    return store;
}
}  // namespace

ImageStore::ImageStore(std::filesystem::path bundle, double pixelRatio, bool drawMissing)
    : bundle_(std::move(bundle)),
      pixelRatio_(pixelRatio > 0 ? pixelRatio : 1.0),
      drawMissing_(drawMissing) {}

ImageStore& ImageStore::shared() {
    auto& store = sharedStore();
    if (!store) store = std::make_unique<ImageStore>(platform::Sandbox::shared().bundle());
    return *store;
}

void ImageStore::setShared(std::unique_ptr<ImageStore> store) {
    sharedStore() = std::move(store);
}

QImage ImageStore::image(const std::string& fileName) {
    auto cached = cache_.find(fileName);
    if (cached != cache_.end()) return cached->second;
    // Names come from the program, but a name that climbs out of the bundle is never read.
    const bool plainName = !fileName.empty() && fileName.find('/') == std::string::npos &&
                           fileName != "." && fileName != "..";
    QImage image;
    if (plainName && !bundle_.empty()) {
        const std::filesystem::path path = bundle_ / fileName;
        std::error_code error;
        if (std::filesystem::is_regular_file(path, error)) {
            QImageReader reader(QString::fromStdString(path.string()));
            image = reader.read();
            if (image.isNull()) {
                STROMBEL_LOG_WARN("could not read image {}: {}", path.string(),
                                  reader.errorString().toStdString());
            } else if (fileName.find("@2x") != std::string::npos) {
                image.setDevicePixelRatio(2.0);
            }
        }
    }
    if (image.isNull() && plainName && drawMissing_) {
        std::string base;
        ImageVariant variant;
        if (ImageGenerator::parseFileName(fileName, base, variant)) {
            image = ImageGenerator::draw(base, variant, pixelRatio_);
            if (!image.isNull()) drawn_[image.cacheKey()] = fileName;
        }
    }
    cache_[fileName] = image;
    return image;
}

bool ImageStore::setPixelRatio(double ratio) {
    if (!(ratio > 0) || ratio == pixelRatio_) return false;
    pixelRatio_ = ratio;
    for (const auto& [key, name] : drawn_) cache_.erase(name);
    return true;
}

QImage ImageStore::redrawn(const QImage& old) {
    auto found = drawn_.find(old.cacheKey());
    return found == drawn_.end() || old.isNull() ? old : image(found->second);
}

std::vector<std::string> ImageStore::missingNames() const {
    std::vector<std::string> names;
    for (const auto& [name, image] : cache_) {
        if (image.isNull()) names.push_back(name);
    }
    return names;
}

}  // namespace strombel::ui
