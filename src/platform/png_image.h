#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace strombel::platform {

/// The domain of an image that was refused; the codes are PngImageError.
inline constexpr std::string_view kPngImageErrorDomain = "PngImageErrorDomain";
enum PngImageError : int64_t {
    PngImageNotPng = 1,
    PngImageTooLarge = 2,
    PngImageDamaged = 3,
    PngImageNotEncoded = 4,
};

/// A PNG image as bytes that have been checked to decode, with its size. The core
/// keeps images as their PNG bytes; the screens decode them their own way.
class PngImage {
public:
    /// Images larger than this on either side are refused before decoding.
    static constexpr uint32_t kMaximumSide = 4096;

    /// Checks the bytes: a PNG signature, a header of at most 4096 × 4096 pixels,
    /// and image data that decodes whole. An error of kPngImageErrorDomain otherwise.
    static Result<PngImage> fromData(std::vector<uint8_t> bytes);
    /// As `fromData`, and an image larger than `largestSide` on either side is
    /// drawn anew, each pixel the mean of those it covers, to fit within that
    /// square with its proportions (at least a pixel a side), and encoded again.
    /// Decodes the whole image: not for a thread that must answer quickly.
    static Result<PngImage> fromDataFitting(std::vector<uint8_t> bytes, uint32_t largestSide);
    /// The pixels this thread has decoded so far, for tests and benchmarks
    /// that hold a thread to the images it may decode.
    static uint64_t pixelsDecodedOnThisThread();
    /// The size a PNG's header gives, without decoding: absent when the bytes
    /// do not begin as a PNG.
    static std::optional<std::pair<uint32_t, uint32_t>> headerSize(const std::vector<uint8_t>& bytes);
    /// Encodes 8-bit RGBA pixels (width × height × 4 bytes) as PNG.
    static std::optional<PngImage> fromRgba(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgba);

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    const std::vector<uint8_t>& data() const { return data_; }

private:
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    std::vector<uint8_t> data_;
};

}  // namespace strombel::platform
