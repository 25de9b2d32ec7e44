#include "http/content_decoder.h"

#include "http/http_headers.h"

namespace strombel::http {

namespace {

constexpr int kGzipWindowBits = 15 + 16;  // gzip wrapper only
constexpr int kZlibWindowBits = 15;
constexpr int kRawWindowBits = -15;

bool isZlibHeader(uint8_t first, uint8_t second) {
    return (first & 0x0f) == Z_DEFLATED && ((first << 8) | second) % 31 == 0;
}

}  // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::forEncoding(std::string_view contentEncoding) {
    if (equalsIgnoringCase(contentEncoding, "gzip") || equalsIgnoringCase(contentEncoding, "x-gzip")) {
        return std::unique_ptr<ContentDecoder>(new ContentDecoder(Format::Gzip));
    }
    if (equalsIgnoringCase(contentEncoding, "deflate")) {
        return std::unique_ptr<ContentDecoder>(new ContentDecoder(Format::Deflate));
    }
    return nullptr;
}

ContentDecoder::ContentDecoder(Format format) : format_(format) {}

ContentDecoder::~ContentDecoder() {
    if (initialised_) inflateEnd(&stream_);
}

bool ContentDecoder::start(int windowBits) {
    if (initialised_) {
        if (inflateReset2(&stream_, windowBits) != Z_OK) return false;
    } else {
        if (inflateInit2(&stream_, windowBits) != Z_OK) return false;
        initialised_ = true;
    }
    ended_ = false;
    return true;
}

ContentDecoder::Status ContentDecoder::feed(std::span<const uint8_t> input, const Sink& sink) {
    if (failed_) return Status::BadData;
    if (input.empty()) return Status::Ok;
    sawInput_ = true;
    if (!initialised_) {
        if (format_ == Format::Gzip) {
            if (!start(kGzipWindowBits)) return failed_ = true, Status::BadData;
        } else {
            // Wait for two bytes to tell a zlib stream from a raw one.
            while (headSize_ < head_.size() && !input.empty()) {
                head_[headSize_++] = input.front();
                input = input.subspan(1);
            }
            if (headSize_ < head_.size()) return Status::Ok;
            int bits = isZlibHeader(head_[0], head_[1]) ? kZlibWindowBits : kRawWindowBits;
            if (!start(bits)) return failed_ = true, Status::BadData;
            Status status = inflateSome(head_, sink);
            if (status != Status::Ok) return status;
        }
    }
    return inflateSome(input, sink);
}

ContentDecoder::Status ContentDecoder::inflateSome(std::span<const uint8_t> input, const Sink& sink) {
    while (!input.empty()) {
        if (ended_) {
            // Only gzip may go on, with another member.
            if (format_ != Format::Gzip || input.front() != 0x1f || !start(kGzipWindowBits)) {
                failed_ = true;
                return Status::BadData;
            }
        }
        stream_.next_in = const_cast<Bytef*>(input.data());
        stream_.avail_in = static_cast<uInt>(std::min<size_t>(input.size(), 1u << 30));
        const uInt offered = stream_.avail_in;
        int result = Z_OK;
        do {
            stream_.next_out = out_.data();
            stream_.avail_out = static_cast<uInt>(out_.size());
            result = inflate(&stream_, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
                failed_ = true;
                return Status::BadData;
            }
            size_t produced = out_.size() - stream_.avail_out;
            if (produced > 0) {
                bytesOut_ += produced;
                if (!sink(std::span<const uint8_t>(out_.data(), produced))) {
                    failed_ = true;
                    return Status::Refused;
                }
            }
            if (result == Z_BUF_ERROR && produced == 0 && stream_.avail_in > 0) {
                // No progress with input left: the stream is damaged.
                failed_ = true;
                return Status::BadData;
            }
        } while (result != Z_STREAM_END && (stream_.avail_in > 0 || stream_.avail_out == 0));
        if (result == Z_STREAM_END) ended_ = true;
        input = input.subspan(offered - stream_.avail_in);
    }
    return Status::Ok;
}

ContentDecoder::Status ContentDecoder::finish() {
    if (failed_) return Status::BadData;
    if (!sawInput_) return Status::Ok;
    if (!initialised_ || !ended_) {
        failed_ = true;
        return Status::BadData;
    }
    return Status::Ok;
}

}  // namespace strombel::http
