#include "json/json_serializer.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <new>
#include <optional>
#include <vector>

#include "json/json_decoder.h"
#include "json/output_buffer.h"
#include "json/string_scan.h"
#include "json/utf8.h"
#include "json/value_storage.h"

namespace strombel::json {

namespace {

using detail::OutputBuffer;

constexpr char kHexCharacters[] = "0123456789abcdef";

// The letter after the backslash of the two-byte escapes; zero for the other bytes
// below 0x80 that are escaped (control bytes, written as \u escapes).
constexpr std::array<char, 128> kShortEscapes = [] {
    std::array<char, 128> letters{};
    letters['"'] = '"';
    letters['\\'] = '\\';
    letters['/'] = '/';
    letters['\b'] = 'b';
    letters['\t'] = 't';
    letters['\n'] = 'n';
    letters['\f'] = 'f';
    letters['\r'] = 'r';
    return letters;
}();

class Encoder {
public:
    Encoder(JsonSerializeOptionFlags options, JsonEncodeOptionType encodeOption)
        : pretty_(options & JsonSerializePretty),
          escapeNonAscii_(options & JsonSerializeEscapeNonASCII),
          escapeSlash_(options & JsonSerializeEscapeSlash),
          omitQuotes_(encodeOption & JsonEncodeOmitQuotes) {}

    bool encode(const Value& value);
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    std::string take() && { return std::move(out_).take(); }

    bool fail(std::string message) {
        if (error_.empty()) error_ = std::move(message);
        return false;
    }

private:
    [[gnu::noinline]] bool encodeString(std::string_view text, bool checked = false);
    [[gnu::always_inline]] inline size_t writeSmallText(const Value& value, char* out) const;
    [[gnu::always_inline]] inline bool encodeText(const Value& value);
    bool encodeArray(const Value& array);
    bool encodeObject(const Value& object);
    void writeEscapedUnit(char* out, uint32_t unit) {
        out[0] = '\\';
        out[1] = 'u';
        out[2] = kHexCharacters[(unit >> 12) & 0xF];
        out[3] = kHexCharacters[(unit >> 8) & 0xF];
        out[4] = kHexCharacters[(unit >> 4) & 0xF];
        out[5] = kHexCharacters[unit & 0xF];
    }
    static void prefetch(const Value& value) {
        if (const detail::Node* node = detail::ValueAccess::node(value)) __builtin_prefetch(node);
    }
    void newline() {
        char* out = out_.reserve(1 + 2 * depth_);
        out[0] = '\n';
        std::memset(out + 1, ' ', 2 * depth_);
        out_.commit(1 + 2 * depth_);
    }
    void open(char c) {
        out_.append(c);
        ++depth_;
        if (pretty_) newline();
    }
    void close(char c) {
        --depth_;
        if (pretty_) newline();
        out_.append(c);
    }
    void comma() {
        out_.append(',');
        if (pretty_) newline();
    }

    const bool pretty_;
    const bool escapeNonAscii_;
    const bool escapeSlash_;
    const bool omitQuotes_;
    size_t depth_ = 0;
    OutputBuffer out_;
    std::string error_;
};

bool Encoder::encode(const Value& value) {
    switch (value.kind()) {
        case Kind::Null: out_.append("null"); return true;
        case Kind::Bool:
            out_.append(detail::ValueAccess::bits(value) ? std::string_view("true") : std::string_view("false"));
            return true;
        case Kind::Int: {
            char* out = out_.reserve(24);
            const auto number = static_cast<int64_t>(detail::ValueAccess::bits(value));
            out_.commit(static_cast<size_t>(std::to_chars(out, out + 24, number).ptr - out));
            return true;
        }
        case Kind::UInt: {
            char* out = out_.reserve(24);
            out_.commit(static_cast<size_t>(std::to_chars(out, out + 24, detail::ValueAccess::bits(value)).ptr - out));
            return true;
        }
        case Kind::Double: {
            const double number = std::bit_cast<double>(detail::ValueAccess::bits(value));
            if (!std::isfinite(number)) {
                return fail("Floating point values must be finite.  JSON does not support NaN or Infinity.");
            }
            out_.commit(detail::formatDouble(out_.reserve(32), number, true));
            return true;
        }
        case Kind::Decimal:
            // Decimals come from text already read as numbers; one built by hand is checked.
            if (!detail::isJsonNumberText(detail::ValueAccess::text(value))) {
                return fail("Unable to get scalar value from number object.");
            }
            out_.append(detail::ValueAccess::text(value));
            return true;
        case Kind::String: return encodeText(value);
        case Kind::Array: return encodeArray(value);
        case Kind::Object: return encodeObject(value);
    }
    return fail("Unknown value kind.");
}

// Whether `text` is well-formed UTF-8. Noncharacters (U+FFFE, U+FDD0, U+10FFFF
// and their kin) are text like any other and are written as they are.
bool isWellFormedUtf8(const unsigned char* p, const unsigned char* end) {
    while (p < end) {
#if defined(__SSE2__)
        while (end - p >= 16) {
            const int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
            if (high == 0) {
                p += 16;
                continue;
            }
            p += __builtin_ctz(static_cast<unsigned>(high));
            break;
        }
        if (p >= end) break;
#endif
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const unsigned char* next;
        uint32_t codePoint;
        if (utf8::readScalarFast(p, end, &next, &codePoint, true) != utf8::Valid) return false;
        p = next;
    }
    return true;
}

// A small string, kept inside its Value, written with its quotes in one sixteen-byte
// step when nothing in it needs escaping: answers the bytes written at `out` (which
// has room for 18), or 0 when the string is to take the general path.
size_t Encoder::writeSmallText(const Value& value, char* out) const {
#if defined(__SSE2__)
    if (!detail::ValueAccess::node(value) && !omitQuotes_) {
        const size_t size = detail::ValueAccess::text(value).size();
        const __m128i bytes =
            _mm_srli_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&value)), 2);  // the characters
        const __m128i controlMax = _mm_set1_epi8(0x1F);
        const __m128i special = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(escapeSlash_ ? '/' : '"')),
                         _mm_cmpeq_epi8(_mm_max_epu8(bytes, controlMax), controlMax)));
        const unsigned used = (1u << size) - 1;
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(bytes)) & used;
        if ((static_cast<unsigned>(_mm_movemask_epi8(special)) & used) == 0 && high == 0) {
            out[0] = '"';
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1), bytes);
            out[1 + size] = '"';
            return 2 + size;
        }
    }
#else
    (void)value;
    (void)out;
#endif
    return 0;
}

bool Encoder::encodeText(const Value& value) {
    if (const size_t written = writeSmallText(value, out_.reserve(2 + 16))) {
        out_.commit(written);
        return true;
    }
    return encodeString(detail::ValueAccess::text(value), detail::ValueAccess::isCheckedText(value));
}

bool Encoder::encodeString(std::string_view text, bool checked) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    // Worst case: every byte becomes a six-byte escape (or four bytes become twelve);
    // 16 more for the blind copies below.
    char* out = out_.reserve(6 * text.size() + 18);
    char* const start = out;
    // Bytes of 0x80 or more are copied as they come and the text checked as UTF-8
    // once at the end, unless they are to be escaped.
    const bool copyNonAscii = !escapeNonAscii_;
    unsigned highBits = 0;
    if (!omitQuotes_) *out++ = '"';
    for (;;) {
#if defined(__SSE2__)
        // Sixteen bytes are copied blindly; only the plain ones before the first
        // special byte count.
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i slash = _mm_set1_epi8(escapeSlash_ ? '/' : '"');
        const __m128i controlMax = _mm_set1_epi8(0x1F);
        const __m128i highAsSpecial = _mm_set1_epi8(copyNonAscii ? 0 : static_cast<char>(0x80));
        while (end - p >= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
            const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, controlMax), controlMax);
            const __m128i special = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, slash), control), _mm_and_si128(bytes, highAsSpecial)));
            const int mask = _mm_movemask_epi8(special);
            if (_mm_movemask_epi8(bytes) != 0) highBits |= 0x80;
            if (mask == 0) {
                p += 16;
                out += 16;
                continue;
            }
            const int plain = __builtin_ctz(static_cast<unsigned>(mask));
            p += plain;
            out += plain;
            goto special;
        }
        // Fewer than sixteen bytes left of a string of sixteen or more: its last sixteen
        // bytes are checked in one step and only those from `p` on count. All that is
        // left is copied; what follows the plain bytes is written over afterwards.
        if (p < end && text.size() >= 16) {
            const int overlap = 16 - static_cast<int>(end - p);
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
            const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, controlMax), controlMax);
            const __m128i special = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, slash), control), _mm_and_si128(bytes, highAsSpecial)));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special)) >> overlap;
            if ((static_cast<unsigned>(_mm_movemask_epi8(bytes)) >> overlap) != 0) highBits |= 0x80;
            const size_t left = static_cast<size_t>(end - p);
            if (out - start - (omitQuotes_ ? 0 : 1) == p - reinterpret_cast<const unsigned char*>(text.data())) {
                // Nothing escaped so far: the bytes before `out` are those before `p`.
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out - overlap), bytes);
            } else if (left >= 8) {
                std::memcpy(out, p, 8);
                std::memcpy(out + left - 8, end - 8, 8);
            } else if (left >= 4) {
                std::memcpy(out, p, 4);
                std::memcpy(out + left - 4, end - 4, 4);
            } else {
                for (size_t i = 0; i < left; ++i) out[i] = static_cast<char>(p[i]);
            }
            const int plain = mask == 0 ? static_cast<int>(end - p) : __builtin_ctz(mask);
            p += plain;
            out += plain;
            if (p >= end) break;
            goto special;
        }
#endif
        // Eight bytes at a time: flags the bytes below 0x20, the quote, the backslash,
        // the slash when it is escaped and, when escaping, those of 0x80 or more.
        while (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            std::memcpy(out, &word, 8);
            constexpr uint64_t kOnes = 0x0101010101010101ull;
            constexpr uint64_t kHighs = 0x8080808080808080ull;
            auto zeroByte = [](uint64_t x) { return (x - kOnes) & ~x & kHighs; };
            uint64_t flags = ((word - kOnes * 0x20) & ~word & kHighs) | zeroByte(word ^ (kOnes * '"')) |
                             zeroByte(word ^ (kOnes * '\\'));
            if (escapeSlash_) flags |= zeroByte(word ^ (kOnes * '/'));
            if (!copyNonAscii) flags |= word & kHighs;
            highBits |= static_cast<unsigned>((word & kHighs) != 0) << 7;
            if (flags == 0) {
                p += 8;
                out += 8;
                continue;
            }
            const int plain = std::countr_zero(flags) / 8;
            p += plain;
            out += plain;
            goto special;
        }
        while (p < end) {
            const unsigned char c = *p;
            if (c < 0x20 || c == '"' || c == '\\' || (c == '/' && escapeSlash_) || (c >= 0x80 && !copyNonAscii)) break;
            highBits |= c;
            *out++ = static_cast<char>(c);
            ++p;
        }
        if (p >= end) break;
    special:
        const unsigned char c = *p;
        if (c >= 0x80) {
            const unsigned char* next;
            uint32_t codePoint;
            if (utf8::readScalarFast(p, end, &next, &codePoint, true) != utf8::Valid) return fail("Error converting UTF8.");
            if (codePoint <= 0xFFFF) {
                writeEscapedUnit(out, codePoint);
                out += 6;
            } else {
                writeEscapedUnit(out, 0xD7C0 + (codePoint >> 10));
                writeEscapedUnit(out + 6, 0xDC00 + (codePoint & 0x3FF));
                out += 12;
            }
            p = next;
            continue;
        }
        if (const char letter = kShortEscapes[c]) {
            out[0] = '\\';
            out[1] = letter;
            out += 2;
        } else {
            writeEscapedUnit(out, c);
            out += 6;
        }
        ++p;
    }
    if ((highBits & 0x80) && copyNonAscii && !checked &&
        !isWellFormedUtf8(reinterpret_cast<const unsigned char*>(text.data()), end)) {
        return fail("An error occurred converting the contents of a NSString to UTF8.");
    }
    if (!omitQuotes_) *out++ = '"';
    out_.commit(static_cast<size_t>(out - start));
    return true;
}

bool Encoder::encodeArray(const Value& array) {
    if (depth_ >= kJsonMaxNestingDepth) {
        return fail(fmt::format("Maximum nesting depth of {} arrays and objects exceeded.", kJsonMaxNestingDepth));
    }
    // An empty array is written by the same rule as any other: pretty, its
    // brackets stand on lines of their own around an indented empty line.
    const auto items = detail::ValueAccess::items(array);
    open('[');
    bool first = true;
    for (size_t i = 0; i < items.size(); ++i) {
        // The next item's shared block is fetched while this one is written.
        if (i + 1 < items.size()) prefetch(items[i + 1]);
        if (!first) comma();
        first = false;
        if (!encode(items[i])) return false;
    }
    close(']');
    return true;
}

bool Encoder::encodeObject(const Value& object) {
    if (depth_ >= kJsonMaxNestingDepth) {
        return fail(fmt::format("Maximum nesting depth of {} arrays and objects exceeded.", kJsonMaxNestingDepth));
    }
    const auto members = detail::ValueAccess::members(object);
    open('{');
    const Member* const* order = nullptr;
    std::vector<const Member*> sorted;
    if (pretty_) {
        sorted.reserve(members.size());
        for (const Member& member : members) sorted.push_back(&member);
        std::sort(sorted.begin(), sorted.end(), [](const Member* a, const Member* b) {
            return detail::ValueAccess::text(a->key) < detail::ValueAccess::text(b->key);
        });
        order = sorted.data();
    }
    for (size_t i = 0; i < members.size(); ++i) {
        const Member& member = order ? *order[i] : members[i];
        if (i + 1 < members.size()) prefetch(order ? order[i + 1]->value : members[i + 1].value);
        if (!pretty_) {
            // Compact: the comma, a small key and the colon in one reserved step.
            char* out = out_.reserve(1 + 18 + 1);
            const size_t comma = i ? 1 : 0;
            out[0] = ',';
            if (const size_t written = writeSmallText(member.key, out + comma)) {
                out[comma + written] = ':';
                out_.commit(comma + written + 1);
            } else {
                out_.commit(comma);
                if (!encodeText(member.key)) return false;
                out_.append(':');
            }
        } else {
            if (i) comma();
            if (!encodeText(member.key)) return false;
            out_.append(": ");
        }
        if (!encode(member.value)) return false;
    }
    close('}');
    return true;
}

Error encodeError(std::string_view message) { return Error::make(kJsonErrorDomain, -1, message); }

}  // namespace

Result<std::string> JsonSerializer::serializeObject(const Value& object, JsonSerializeOptionFlags options,
                                                    JsonEncodeOptionType encodeOption) {
    if ((encodeOption & JsonEncodeRequireCollection) && !object.isArray() && !object.isObject()) {
        return encodeError(
            fmt::format("Unable to serialize object class {}, expected a NSArray or NSDictionary.", kindName(object.kind())));
    }
    if ((encodeOption & JsonEncodeRequireString) && !object.isString()) {
        return encodeError(fmt::format("Unable to serialize object class {}, expected a NSString.", kindName(object.kind())));
    }
    // Memory that runs out is an error of the call, not an exception: the output
    // buffer that could not grow, or the result that could not be made.
    std::optional<Encoder> encoder;
    try {
        encoder.emplace(options, encodeOption);
        if (!encoder->encode(object)) return encodeError(encoder->error());
    } catch (const std::bad_alloc&) {
        return encodeError("Unable to resize temporary buffer.");
    }
    // The result kind is judged once the object is written: a write error comes first.
    const JsonEncodeOptionType resultKind = encodeOption & 7;
    if (resultKind != JsonEncodeAsData && resultKind != JsonEncodeAsString) return encodeError("Unknown encode as type.");
    try {
        return std::move(*encoder).take();
    } catch (const std::bad_alloc&) {
        return encodeError(resultKind == JsonEncodeAsString ? "Unable to create NSString object" : "Unable to create NSData object");
    }
}

Result<std::string> JSONString(const Value& collection, JsonSerializeOptionFlags options) {
    return JsonSerializer::serializeObject(collection, options, JsonEncodeAsString | JsonEncodeRequireCollection);
}

Result<std::string> JSONStringWithString(std::string_view text, JsonSerializeOptionFlags options, bool includeQuotes) {
    // The text is copied into a value first: memory that runs out there fails
    // the write as it does inside it.
    std::optional<Value> value;
    try {
        value.emplace(text);
    } catch (const std::bad_alloc&) {
        return encodeError("Unable to create NSString object");
    }
    return JsonSerializer::serializeObject(
        *value, options, JsonEncodeAsString | JsonEncodeRequireString | (includeQuotes ? 0 : JsonEncodeOmitQuotes));
}

}  // namespace strombel::json
