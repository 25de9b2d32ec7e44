#include "json/json_serializer.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "json/json_decoder.h"
#include "json/output_buffer.h"
#include "json/string_scan.h"
#include "json/utf8.h"
#include "json/value_storage.h"

namespace strombel::json {

namespace {

using detail::OutputBuffer;

constexpr char kHexDigits[] = "0123456789abcdef";

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
    bool encodeString(std::string_view text);
    bool encodeArray(const Value& array);
    bool encodeObject(const Value& object);
    void writeEscapedUnit(char* out, uint32_t unit) {
        out[0] = '\\';
        out[1] = 'u';
        out[2] = kHexDigits[(unit >> 12) & 0xF];
        out[3] = kHexDigits[(unit >> 8) & 0xF];
        out[4] = kHexDigits[(unit >> 4) & 0xF];
        out[5] = kHexDigits[unit & 0xF];
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
        case Kind::Bool: out_.append(value.asBool() ? std::string_view("true") : std::string_view("false")); return true;
        case Kind::Int: {
            char* out = out_.reserve(24);
            out_.commit(static_cast<size_t>(std::to_chars(out, out + 24, value.asInt64()).ptr - out));
            return true;
        }
        case Kind::UInt: {
            char* out = out_.reserve(24);
            out_.commit(static_cast<size_t>(std::to_chars(out, out + 24, value.asUInt64()).ptr - out));
            return true;
        }
        case Kind::Double: {
            const double number = value.asDouble();
            if (!std::isfinite(number)) {
                return fail("Floating point values must be finite.  JSON does not support NaN or Infinity.");
            }
            out_.commit(detail::formatDouble(out_.reserve(32), number, true));
            return true;
        }
        case Kind::Decimal: out_.append(value.asStringView()); return true;
        case Kind::String: return encodeString(value.asStringView());
        case Kind::Array: return encodeArray(value);
        case Kind::Object: return encodeObject(value);
    }
    return fail("Unknown value kind.");
}

bool Encoder::encodeString(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    // Worst case: every byte becomes a six-byte escape (or four bytes become twelve).
    char* out = out_.reserve(6 * text.size() + 2);
    char* const start = out;
    if (!omitQuotes_) *out++ = '"';
    while (p < end) {
        const unsigned char* plainEnd = detail::skipPlainStringBytes(p, end);
        if (escapeSlash_) {
            const void* slash = std::memchr(p, '/', static_cast<size_t>(plainEnd - p));
            if (slash) plainEnd = static_cast<const unsigned char*>(slash);
        }
        std::memcpy(out, p, static_cast<size_t>(plainEnd - p));
        out += plainEnd - p;
        p = plainEnd;
        if (p >= end) break;
        const unsigned char c = *p;
        if (c >= 0x80) {
            const unsigned char* next;
            uint32_t codePoint;
            if (utf8::readScalarFast(p, end, &next, &codePoint) != utf8::Valid) {
                return fail(escapeNonAscii_ ? "Error converting UTF8."
                                            : "An error occurred converting the contents of a NSString to UTF8.");
            }
            if (!escapeNonAscii_) {
                std::memcpy(out, p, static_cast<size_t>(next - p));
                out += next - p;
            } else if (codePoint <= 0xFFFF) {
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
        *out++ = '\\';
        switch (c) {
            case '"': *out++ = '"'; break;
            case '\\': *out++ = '\\'; break;
            case '/': *out++ = '/'; break;
            case '\b': *out++ = 'b'; break;
            case '\t': *out++ = 't'; break;
            case '\n': *out++ = 'n'; break;
            case '\f': *out++ = 'f'; break;
            case '\r': *out++ = 'r'; break;
            default:
                writeEscapedUnit(out - 1, c);
                out += 5;
                break;
        }
        ++p;
    }
    if (!omitQuotes_) *out++ = '"';
    out_.commit(static_cast<size_t>(out - start));
    return true;
}

bool Encoder::encodeArray(const Value& array) {
    if (depth_ >= kJsonMaxNestingDepth) {
        return fail(fmt::format("Maximum nesting depth of {} arrays and objects exceeded.", kJsonMaxNestingDepth));
    }
    if (array.size() == 0) {
        out_.append("[]");
        return true;
    }
    open('[');
    bool first = true;
    for (const Value& item : array.items()) {
        if (!first) comma();
        first = false;
        if (!encode(item)) return false;
    }
    close(']');
    return true;
}

bool Encoder::encodeObject(const Value& object) {
    if (depth_ >= kJsonMaxNestingDepth) {
        return fail(fmt::format("Maximum nesting depth of {} arrays and objects exceeded.", kJsonMaxNestingDepth));
    }
    if (object.size() == 0) {
        out_.append("{}");
        return true;
    }
    open('{');
    const auto members = object.members();
    auto writeMember = [this](const Member& member) {
        if (!encodeString(member.key.asStringView())) return false;
        if (pretty_) {
            out_.append(": ");
        } else {
            out_.append(':');
        }
        return encode(member.value);
    };
    if (pretty_) {
        std::vector<const Member*> sorted;
        sorted.reserve(members.size());
        for (const Member& member : members) sorted.push_back(&member);
        std::sort(sorted.begin(), sorted.end(), [](const Member* a, const Member* b) {
            return a->key.asStringView() < b->key.asStringView();
        });
        for (size_t i = 0; i < sorted.size(); ++i) {
            if (i) comma();
            if (!writeMember(*sorted[i])) return false;
        }
    } else {
        for (size_t i = 0; i < members.size(); ++i) {
            if (i) comma();
            if (!writeMember(members[i])) return false;
        }
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
    const JsonEncodeOptionType resultKind = encodeOption & 7;
    if (resultKind != JsonEncodeAsData && resultKind != JsonEncodeAsString) return encodeError("Unknown encode as type.");
    Encoder encoder(options, encodeOption);
    if (!encoder.encode(object)) return encodeError(encoder.error());
    return std::move(encoder).take();
}

Result<std::string> JSONString(const Value& collection, JsonSerializeOptionFlags options) {
    return JsonSerializer::serializeObject(collection, options, JsonEncodeAsString | JsonEncodeRequireCollection);
}

Result<std::string> JSONStringWithString(std::string_view text, JsonSerializeOptionFlags options, bool includeQuotes) {
    return JsonSerializer::serializeObject(
        Value(text), options, JsonEncodeAsString | JsonEncodeRequireString | (includeQuotes ? 0 : JsonEncodeOmitQuotes));
}

}  // namespace strombel::json
