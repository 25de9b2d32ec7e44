#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace strombel::info {

/// Resolves %XX escapes to their bytes; a malformed escape stays as written.
std::string percentDecode(std::string_view text);

/// Escapes every byte but letters, digits and "-._~", so that the characters
/// "!*'();:@&=+$,/?%#[]" and spaces come out as %XX as well.
std::string percentEncode(std::string_view text);

/// The leading integer of `text` as the platform reads one: spaces, a sign,
/// then digits up to the first other character; 0 without digits. Values out
/// of range saturate to the nearest end.
int64_t integerValue(std::string_view text);

/// The value after `needle` in `url`, up to the next "&" or the end, with its
/// escapes resolved; absent when `needle` does not occur.
std::optional<std::string> getStringFromUrl(std::string_view url, std::string_view needle);

/// The host of an address "scheme://[user@]host[:port]/...", in lower case and
/// without the brackets of an IPv6 address; empty when it names none.
std::string hostOf(std::string_view url);

}  // namespace strombel::info
