#pragma once

// Inflates gzip and deflate bodies as their bytes arrive, for answers with
// "Content-Encoding: gzip" or "deflate" and for compressed cache files. The
// caller's sink receives the inflated bytes and may refuse them (a size limit),
// which stops the decoder before it inflates more.

#include <zlib.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

namespace strombel::http {

class ContentDecoder {
public:
    enum class Status {
        Ok,
        /// The bytes are not a valid stream, or something follows its end.
        BadData,
        /// The sink refused inflated bytes.
        Refused,
    };

    /// Receives each run of inflated bytes; answers false to stop the decoder.
    using Sink = std::function<bool(std::span<const uint8_t>)>;

    /// A decoder for a Content-Encoding value ("gzip", "x-gzip", "deflate", case
    /// ignored), or null for "identity", no encoding and encodings we do not know,
    /// whose bytes are passed on as they are.
    static std::unique_ptr<ContentDecoder> forEncoding(std::string_view contentEncoding);

    ~ContentDecoder();
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    /// Inflates the next bytes of the body into `sink`. After a status other than
    /// Ok the decoder stays failed.
    Status feed(std::span<const uint8_t> input, const Sink& sink);

    /// Called after the last byte: BadData when the stream stopped before its end.
    /// A body without any byte is fine.
    Status finish();

    /// How many inflated bytes have gone to the sink.
    uint64_t bytesOut() const { return bytesOut_; }

private:
    enum class Format { Gzip, Deflate };
    explicit ContentDecoder(Format format);
    bool start(int windowBits);
    Status inflateSome(std::span<const uint8_t> input, const Sink& sink);

    Format format_;
    z_stream stream_{};
    bool initialised_ = false;
    bool ended_ = false;      // the current stream reached its end
    bool failed_ = false;
    bool sawInput_ = false;
    // A deflate body may be zlib-wrapped or raw: the first two bytes decide.
    std::array<uint8_t, 2> head_{};
    size_t headSize_ = 0;
    uint64_t bytesOut_ = 0;
    std::array<uint8_t, 16384> out_{};
};

}  // namespace strombel::http
