// Hostile bytes as a compressed body. The first byte picks the encoding and the
// size of the pieces the body arrives in; the sink refuses past 1 MiB. The
// decoder must answer, never run past the limit, and give the same bytes
// whatever the pieces.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "http/content_decoder.h"

using namespace strombel::http;

namespace {

constexpr size_t kLimit = 1 << 20;

struct Outcome {
    ContentDecoder::Status status = ContentDecoder::Status::Ok;
    std::string bytes;
};

Outcome decode(const char* encoding, std::span<const uint8_t> body, size_t piece) {
    auto decoder = ContentDecoder::forEncoding(encoding);
    if (!decoder) std::abort();
    Outcome outcome;
    auto sink = [&](std::span<const uint8_t> out) {
        if (outcome.bytes.size() + out.size() > kLimit) return false;
        outcome.bytes.append(out.begin(), out.end());
        return true;
    };
    for (size_t at = 0; at < body.size() && outcome.status == ContentDecoder::Status::Ok; at += piece) {
        outcome.status = decoder->feed(body.subspan(at, std::min(piece, body.size() - at)), sink);
    }
    if (outcome.status == ContentDecoder::Status::Ok) outcome.status = decoder->finish();
    if (outcome.bytes.size() > kLimit) std::abort();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const char* encoding = (data[0] & 1) ? "gzip" : "deflate";
    const size_t piece = 1 + (data[0] >> 1);
    std::span<const uint8_t> body(data + 1, size - 1);
    Outcome whole = decode(encoding, body, body.size() + 1);
    Outcome pieces = decode(encoding, body, piece);
    // Inflating is the same in any pieces, up to where a refusal stops it.
    if (whole.status == ContentDecoder::Status::Ok || pieces.status == ContentDecoder::Status::Ok) {
        if (whole.status != pieces.status || whole.bytes != pieces.bytes) std::abort();
    }
    return 0;
}
