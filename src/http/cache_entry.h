#pragma once

// The header file of one download cache entry: what is needed to answer a
// request from the stored body, as lines of text:
//
//   strombel-http-cache 1
//   url http://127.0.0.1:8080/ItemsList.json
//   status 200
//   length 1234            size of the body file in bytes
//   crc32 89abcdef         CRC-32 of the body file
//   header ETag: "v1"      one line per answer header, as the server sent it
//
// The body file holds the body as it came over the wire, still compressed when
// the server compressed it. The reader takes bytes from disk and trusts none of
// them: anything it does not expect makes the entry damaged.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/http_headers.h"

namespace strombel::http {

struct CacheEntryHeader {
    std::string url;
    int status = 0;
    uint64_t length = 0;
    uint32_t crc32 = 0;
    HttpHeaders headers;

    friend bool operator==(const CacheEntryHeader&, const CacheEntryHeader&) = default;
};

/// Header files larger than this are damaged.
inline constexpr size_t kMaximumCacheHeaderSize = 256 * 1024;

/// The text of a header file. Header lines whose name or value could not be read
/// back (line breaks, control characters) are left out.
std::string writeCacheEntryHeader(const CacheEntryHeader& header);

/// The header read from a header file's text, or nothing when it is damaged.
std::optional<CacheEntryHeader> readCacheEntryHeader(std::string_view text);

}  // namespace strombel::http
