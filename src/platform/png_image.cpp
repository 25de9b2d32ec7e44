#include "platform/png_image.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace strombel::platform {

std::optional<std::pair<uint32_t, uint32_t>> PngImage::headerSize(const std::vector<uint8_t>& bytes) {
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 33 || std::memcmp(bytes.data(), signature, 8) != 0 || std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) {
        return std::nullopt;
    }
    auto bigEndian = [&](size_t offset) {
        return (uint32_t(bytes[offset]) << 24) | (uint32_t(bytes[offset + 1]) << 16) | (uint32_t(bytes[offset + 2]) << 8) |
               uint32_t(bytes[offset + 3]);
    };
    return std::pair{bigEndian(16), bigEndian(20)};
}

namespace {

thread_local uint64_t pixelsDecoded = 0;

/// `width` x `height` RGBA pixels drawn at `toWidth` x `toHeight`, each the mean
/// of the pixels it covers, colours weighted by their opacity.
std::vector<uint8_t> shrink(const uint8_t* rgba, uint32_t width, uint32_t height, uint32_t toWidth,
                            uint32_t toHeight) {
    std::vector<uint64_t> sums(size_t(toWidth) * 5);  // per column: r·a, g·a, b·a, a, count
    std::vector<uint8_t> result(size_t(toWidth) * toHeight * 4);
    std::vector<uint32_t> column(width);
    for (uint32_t x = 0; x < width; ++x) column[x] = uint32_t(uint64_t(x) * toWidth / width);
    uint32_t row = 0;
    auto flush = [&] {
        for (uint32_t x = 0; x < toWidth; ++x) {
            const uint64_t* sum = &sums[size_t(x) * 5];
            uint8_t* out = &result[(size_t(row) * toWidth + x) * 4];
            const uint64_t alpha = sum[3], count = std::max<uint64_t>(sum[4], 1);
            for (int c = 0; c < 3; ++c) out[c] = alpha ? uint8_t(sum[c] / alpha) : 0;
            out[3] = uint8_t(alpha / count);
        }
        std::fill(sums.begin(), sums.end(), 0);
    };
    for (uint32_t y = 0; y < height; ++y) {
        const uint32_t to = uint32_t(uint64_t(y) * toHeight / height);
        if (to != row) {
            flush();
            row = to;
        }
        const uint8_t* in = &rgba[size_t(y) * width * 4];
        for (uint32_t x = 0; x < width; ++x, in += 4) {
            uint64_t* sum = &sums[size_t(column[x]) * 5];
            for (int c = 0; c < 3; ++c) sum[c] += uint64_t(in[c]) * in[3];
            sum[3] += in[3];
            sum[4] += 1;
        }
    }
    flush();
    return result;
}

}  // namespace

uint64_t PngImage::pixelsDecodedOnThisThread() { return pixelsDecoded; }

Result<PngImage> PngImage::fromData(std::vector<uint8_t> bytes) { return fromDataFitting(std::move(bytes), kMaximumSide); }

Result<PngImage> PngImage::fromDataFitting(std::vector<uint8_t> bytes, uint32_t largestSide) {
    auto fail = [](PngImageError code, const std::string& why) { return Error::make(kPngImageErrorDomain, code, why); };
    // The header's size first: a hostile image names any size it likes.
    const auto size = headerSize(bytes);
    if (!size) return fail(PngImageNotPng, "not a PNG image");
    const auto [width, height] = *size;
    if (width == 0 || height == 0 || width > kMaximumSide || height > kMaximumSide) {
        return fail(PngImageTooLarge, "image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels is too large");
    }
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
        return fail(PngImageDamaged, image.message);
    }
    image.format = PNG_FORMAT_RGBA;
    // Written whole by the decoder: not cleared first (up to 64 MB).
    auto pixels = std::make_unique_for_overwrite<uint8_t[]>(PNG_IMAGE_SIZE(image));
    pixelsDecoded += uint64_t(image.width) * image.height;
    if (!png_image_finish_read(&image, nullptr, pixels.get(), 0, nullptr)) {
        std::string why = image.message;
        png_image_free(&image);
        return fail(PngImageDamaged, why);
    }
    largestSide = std::max<uint32_t>(largestSide, 1);
    if (image.width > largestSide || image.height > largestSide) {
        const double scale = double(largestSide) / double(std::max(image.width, image.height));
        const uint32_t toWidth = std::clamp<uint32_t>(uint32_t(std::lround(image.width * scale)), 1, largestSide);
        const uint32_t toHeight = std::clamp<uint32_t>(uint32_t(std::lround(image.height * scale)), 1, largestSide);
        auto fitted = fromRgba(toWidth, toHeight, shrink(pixels.get(), image.width, image.height, toWidth, toHeight));
        if (!fitted) return fail(PngImageNotEncoded, "the image could not be encoded again");
        return std::move(*fitted);
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
