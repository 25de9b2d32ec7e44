#include "platform/png_image.h"

#include <png.h>

#include <cstring>

namespace strombel::platform {

std::optional<PngImage> PngImage::fromData(std::vector<uint8_t> bytes, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<PngImage> {
        if (error) *error = why;
        return std::nullopt;
    };
    // The header's size first: a hostile image names any size it likes.
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 33 || std::memcmp(bytes.data(), signature, 8) != 0 || std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) {
        return fail("not a PNG image");
    }
    auto bigEndian = [&](size_t offset) {
        return (uint32_t(bytes[offset]) << 24) | (uint32_t(bytes[offset + 1]) << 16) | (uint32_t(bytes[offset + 2]) << 8) |
               uint32_t(bytes[offset + 3]);
    };
    uint32_t width = bigEndian(16), height = bigEndian(20);
    if (width == 0 || height == 0 || width > kMaximumSide || height > kMaximumSide) {
        return fail("image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels is too large");
    }
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
        return fail(image.message);
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        std::string why = image.message;
        png_image_free(&image);
        return fail(why);
    }
    PngImage result;
    result.width_ = image.width;
    result.height_ = image.height;
    result.data_ = std::move(bytes);
    return result;
}

std::optional<PngImage> PngImage::fromRgba(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgba) {
    if (width == 0 || height == 0 || rgba.size() != size_t(width) * height * 4) return std::nullopt;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr)) return std::nullopt;
    std::vector<uint8_t> bytes(size);
    if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, rgba.data(), 0, nullptr)) return std::nullopt;
    bytes.resize(size);
    PngImage result;
    result.width_ = width;
    result.height_ = height;
    result.data_ = std::move(bytes);
    return result;
}

}  // namespace strombel::platform
