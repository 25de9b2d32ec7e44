#include "json/json_text.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "json/output_buffer.h"
#include "json/utf8.h"
#include "json/value_storage.h"
#include "logging/log.h"

namespace strombel::json {

namespace {

using detail::ValueAccess;

bool isWhiteSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isAsciiDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Bytes that end a run of plain string bytes: the quote, the backslash and controls.
bool stopsRun(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

std::string traceText(const std::vector<Error>& trace) {
    std::string text = "(";
    for (size_t i = 0; i < trace.size(); ++i) {
        if (i) text += ", ";
        text += fmt::format("{} {}: {}", trace[i].domain, trace[i].code, trace[i].message());
    }
    return text + ")";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Base

void JsonTextBase::addErrorWithCode(JsonTextErrorCode code, std::string description) {
    std::shared_ptr<const Error> previous;
    if (!errorTrace_.empty()) previous = std::make_shared<const Error>(errorTrace_.back());
    errorTrace_.push_back(Error::make(kJsonTextErrorDomain, code, description, {}, std::move(previous)));
}

bool JsonTextBase::enterCollection() {
    ++depth_;
    const size_t limit = maxDepth_ == 0 ? kJsonTextDepthCeiling : std::min(maxDepth_, kJsonTextDepthCeiling);
    if (depth_ > limit) {
        addErrorWithCode(JsonTextErrorDepth, "Nested too deep");
        return false;
    }
    return true;
}

Error JsonTextBase::lastError() const {
    if (errorTrace_.empty()) return Error::make(kJsonTextErrorDomain, 0, "");
    return errorTrace_.back();
}

// ---------------------------------------------------------------------------------------------
// Parser

Result<Value> JsonTextParser::fragmentWithString(std::string_view text) {
    clearErrorTrace();
    // A view of nothing at all (not even an empty text) is no input.
    if (text.data() == nullptr) {
        addErrorWithCode(JsonTextErrorNoInput, "Input was 'nil'");
        return lastError();
    }
    stack_.clear();
    depth_ = 0;
    c_ = reinterpret_cast<const unsigned char*>(text.data());
    end_ = c_ + text.size();
    Value value;
    if (!scanValue(&value)) return lastError();
    skipWhiteSpace();
    if (!scanIsAtEnd()) {
        addErrorWithCode(JsonTextErrorTrailingGarbage, "Garbage after JSON");
        return lastError();
    }
    return value;
}

Result<Value> JsonTextParser::objectWithString(std::string_view text) {
    Result<Value> value = fragmentWithString(text);
    if (!value.ok()) return value;
    if (!value.value().isArray() && !value.value().isObject()) {
        addErrorWithCode(JsonTextErrorFragment, "Valid fragment, but not JSON");
        return lastError();
    }
    return value;
}

void JsonTextParser::skipWhiteSpace() {
    while (c_ < end_ && isWhiteSpace(*c_)) ++c_;
}

bool JsonTextParser::scanValue(Value* value) {
    skipWhiteSpace();
    if (scanIsAtEnd()) {
        addErrorWithCode(JsonTextErrorEndOfInput, "Unexpected end of string");
        return false;
    }
    switch (*c_++) {
        case '"': return scanRestOfString(value);
        case '{': return scanRestOfDictionary(value);
        case '[': return scanRestOfArray(value);
        case 't': return scanRestOfTrue(value);
        case 'f': return scanRestOfFalse(value);
        case 'n': return scanRestOfNull(value);
        case '+':
            addErrorWithCode(JsonTextErrorNumber, "Leading + disallowed in number");
            return false;
        default:
            --c_;
            if (*c_ == '-' || isAsciiDigit(*c_)) return scanNumber(value);
            addErrorWithCode(JsonTextErrorParse, "Unrecognised leading character");
            return false;
    }
}

bool JsonTextParser::scanLiteral(std::string_view rest, Value literal, const char* error, Value* value) {
    if (static_cast<size_t>(end_ - c_) < rest.size() || std::memcmp(c_, rest.data(), rest.size()) != 0) {
        addErrorWithCode(JsonTextErrorParse, error);
        return false;
    }
    c_ += rest.size();
    *value = std::move(literal);
    return true;
}

bool JsonTextParser::scanRestOfArray(Value* value) {
    if (!enterCollection()) return false;
    // Items gather on the parser's stack above those of the enclosing collections.
    const size_t start = stack_.size();
    while (!scanIsAtEnd()) {
        skipWhiteSpace();
        if (!scanIsAtEnd() && *c_ == ']') {
            ++c_;
            leaveCollection();
            *value = ValueAccess::adoptArray(stack_.data() + start, stack_.size() - start);
            stack_.resize(start);
            return true;
        }
        Value item;
        if (!scanValue(&item)) {
            stack_.resize(start);
            addErrorWithCode(JsonTextErrorParse, "Expected value while parsing array");
            return false;
        }
        stack_.push_back(std::move(item));
        skipWhiteSpace();
        if (!scanIsAtEnd() && *c_ == ',') {
            ++c_;
            skipWhiteSpace();
            if (!scanIsAtEnd() && *c_ == ']') {
                stack_.resize(start);
                addErrorWithCode(JsonTextErrorTrailingComma, "Trailing comma disallowed in array");
                return false;
            }
        }
    }
    stack_.resize(start);
    addErrorWithCode(JsonTextErrorEndOfInput, "End of input while parsing array");
    return false;
}

bool JsonTextParser::scanRestOfDictionary(Value* value) {
    if (!enterCollection()) return false;
    // Keys and values in turn on the parser's stack; a later equal key replaces an
    // earlier value.
    const size_t start = stack_.size();
    auto failWith = [this, start](JsonTextErrorCode code, std::string description) {
        stack_.resize(start);
        addErrorWithCode(code, std::move(description));
        return false;
    };
    // The end of the input fails here, and after each pair; past white space a
    // key must follow, so "{ " fails for want of one.
    while (!scanIsAtEnd()) {
        skipWhiteSpace();
        if (!scanIsAtEnd() && *c_ == '}') {
            ++c_;
            leaveCollection();
            *value = ValueAccess::adoptObject(stack_.data() + start, (stack_.size() - start) / 2);
            stack_.resize(start);
            return true;
        }
        Value key;
        if (scanIsAtEnd() || *c_ != '"' || (++c_, !scanRestOfString(&key))) {
            return failWith(JsonTextErrorParse, "Object key string expected");
        }
        skipWhiteSpace();
        if (scanIsAtEnd() || *c_ != ':') return failWith(JsonTextErrorParse, "Expected ':' separating key and value");
        ++c_;
        Value member;
        if (!scanValue(&member)) {
            return failWith(JsonTextErrorParse, fmt::format("Object value expected for key: {}", key.asStringView()));
        }
        stack_.push_back(std::move(key));
        stack_.push_back(std::move(member));
        skipWhiteSpace();
        if (!scanIsAtEnd() && *c_ == ',') {
            ++c_;
            skipWhiteSpace();
            if (!scanIsAtEnd() && *c_ == '}') return failWith(JsonTextErrorTrailingComma, "Trailing comma disallowed in object");
        }
    }
    return failWith(JsonTextErrorEndOfInput, "End of input while parsing object");
}

bool JsonTextParser::scanRestOfString(Value* value) {
    buffer_.clear();
    for (;;) {
        // A run of plain bytes, checked as UTF-8 and taken whole.
        const unsigned char* run = c_;
        while (c_ < end_ && !stopsRun(*c_)) {
            if (*c_ < 0x80) {
                ++c_;
                continue;
            }
            const unsigned char* next;
            uint32_t codePoint;
            if (utf8::readScalar(c_, end_, &next, &codePoint, true) != utf8::Valid) {
                addErrorWithCode(JsonTextErrorControlCharacter,
                         fmt::format("Unescaped control character '0x{:x}'",
                                     static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*c_)))));
                return false;
            }
            c_ = next;
        }
        buffer_.append(reinterpret_cast<const char*>(run), static_cast<size_t>(c_ - run));
        const unsigned char stop = scanIsAtEnd() ? 0 : *c_;
        if (stop == '"') {
            ++c_;
            *value = ValueAccess::makeText(Kind::String, buffer_.data(), buffer_.size());
            return true;
        }
        if (stop != '\\') {
            addErrorWithCode(JsonTextErrorControlCharacter, fmt::format("Unescaped control character '0x{:x}'", stop));
            return false;
        }
        ++c_;
        const unsigned char selector = scanIsAtEnd() ? 0 : *c_++;
        switch (selector) {
            case '"':
            case '\\':
            case '/': buffer_.push_back(static_cast<char>(selector)); break;
            case 'b': buffer_.push_back('\b'); break;
            case 'f': buffer_.push_back('\f'); break;
            case 'n': buffer_.push_back('\n'); break;
            case 'r': buffer_.push_back('\r'); break;
            case 't': buffer_.push_back('\t'); break;
            case 'u': {
                uint32_t codePoint;
                if (!scanUnicodeChar(&codePoint)) {
                    addErrorWithCode(JsonTextErrorUnicode, "Broken unicode character");
                    return false;
                }
                utf8::append(buffer_, codePoint);
                break;
            }
            default:
                if (selector == 0 && scanIsAtEnd()) --c_;
                addErrorWithCode(JsonTextErrorEscape,
                         fmt::format("Illegal escape sequence '0x{:x}'",
                                     static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(selector)))));
                return false;
        }
        if (scanIsAtEnd()) {
            addErrorWithCode(JsonTextErrorEndOfInput, "Unexpected EOF while parsing string");
            return false;
        }
    }
}

bool JsonTextParser::scanHexQuad(uint32_t* value) {
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = scanIsAtEnd() ? 0 : *c_;
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            addErrorWithCode(JsonTextErrorUnicode, "Missing hex digit in quad");
            return false;
        }
        ++c_;
        result = (result << 4) | digit;
    }
    *value = result;
    return true;
}

bool JsonTextParser::scanUnicodeChar(uint32_t* codePoint) {
    uint32_t high;
    if (!scanHexQuad(&high)) {
        addErrorWithCode(JsonTextErrorUnicode, "Missing hex quad");
        return false;
    }
    if (high >= 0xDC00 && high <= 0xDFFF) {
        addErrorWithCode(JsonTextErrorUnicode, "Invalid high character in surrogate pair");
        return false;
    }
    if (high < 0xD800 || high >= 0xE000) {
        *codePoint = high;
        return true;
    }
    if (end_ - c_ < 2 || c_[0] != '\\' || c_[1] != 'u') {
        addErrorWithCode(JsonTextErrorUnicode, "Missing low character in surrogate pair");
        return false;
    }
    c_ += 2;
    uint32_t low;
    if (!scanHexQuad(&low)) {
        addErrorWithCode(JsonTextErrorUnicode, "Missing low character in surrogate pair");
        return false;
    }
    if (low < 0xDC00 || low > 0xDFFF) {
        addErrorWithCode(JsonTextErrorUnicode, "Invalid low surrogate char");
        return false;
    }
    *codePoint = ((high - 0xD800) << 10) + (low - 0xDC00) + 0x10000;
    return true;
}

bool JsonTextParser::scanNumber(Value* value) {
    const unsigned char* start = c_;
    if (*c_ == '-') ++c_;
    if (!scanIsAtEnd() && *c_ == '0') {
        ++c_;
        if (!scanIsAtEnd() && isAsciiDigit(*c_)) {
            addErrorWithCode(JsonTextErrorNumber, "Leading 0 disallowed in number");
            return false;
        }
    } else if (scanIsAtEnd() || !isAsciiDigit(*c_)) {
        addErrorWithCode(JsonTextErrorNumber, "No digits after initial minus");
        return false;
    } else {
        while (!scanIsAtEnd() && isAsciiDigit(*c_)) ++c_;
    }
    if (!scanIsAtEnd() && *c_ == '.') {
        ++c_;
        if (scanIsAtEnd() || !isAsciiDigit(*c_)) {
            addErrorWithCode(JsonTextErrorNumber, "No digits after decimal point");
            return false;
        }
        while (!scanIsAtEnd() && isAsciiDigit(*c_)) ++c_;
    }
    if (!scanIsAtEnd() && (*c_ == 'e' || *c_ == 'E')) {
        ++c_;
        if (!scanIsAtEnd() && (*c_ == '+' || *c_ == '-')) ++c_;
        if (scanIsAtEnd() || !isAsciiDigit(*c_)) {
            addErrorWithCode(JsonTextErrorNumber, "No digits after exponent");
            return false;
        }
        while (!scanIsAtEnd() && isAsciiDigit(*c_)) ++c_;
    }
    *value = Value::decimal(std::string_view(reinterpret_cast<const char*>(start), static_cast<size_t>(c_ - start)));
    return true;
}

// ---------------------------------------------------------------------------------------------
// Writer

Result<std::string> JsonTextWriter::stringWithFragment(const Value& value) {
    clearErrorTrace();
    depth_ = 0;
    std::string out;
    out.reserve(128);
    if (!appendValue(value, out)) return lastError();
    return out;
}

Result<std::string> JsonTextWriter::stringWithObject(const Value& value) {
    if (!value.isArray() && !value.isObject()) {
        clearErrorTrace();
        addErrorWithCode(JsonTextErrorFragment, "Not valid type for JSON");
        return lastError();
    }
    return stringWithFragment(value);
}

void JsonTextWriter::indent(std::string& out) const {
    out.push_back('\n');
    out.append(2 * depth_, ' ');
}

bool JsonTextWriter::appendValue(const Value& value, std::string& out) {
    switch (value.kind()) {
        case Kind::Object: return appendDictionary(value, out);
        case Kind::Array: return appendArray(value, out);
        case Kind::String: appendString(value.asStringView(), out); return true;
        case Kind::Bool: out += value.asBool() ? "true" : "false"; return true;
        case Kind::Null: out += "null"; return true;
        case Kind::Int: out += fmt::format("{}", value.asInt64()); return true;
        case Kind::UInt: out += fmt::format("{}", value.asUInt64()); return true;
        case Kind::Decimal:
            if (!detail::isJsonNumberText(value.asStringView())) break;
            out += value.asStringView();
            return true;
        case Kind::Double: {
            const double number = value.asDouble();
            if (!std::isfinite(number)) {
                addErrorWithCode(JsonTextErrorUnsupported, "JSON serialisation not supported for non-finite double");
                return false;
            }
            char text[32];
            out.append(text, detail::formatDouble(text, number, false));
            return true;
        }
    }
    addErrorWithCode(JsonTextErrorUnsupported, fmt::format("JSON serialisation not supported for {}", kindName(value.kind())));
    return false;
}

bool JsonTextWriter::appendArray(const Value& value, std::string& out) {
    if (!enterCollection()) return false;
    out.push_back('[');
    bool first = true;
    for (const Value& item : value.items()) {
        if (!first) out.push_back(',');
        first = false;
        if (humanReadable_) indent(out);
        if (!appendValue(item, out)) return false;
    }
    leaveCollection();
    if (humanReadable_ && value.size() > 0) indent(out);
    out.push_back(']');
    return true;
}

bool JsonTextWriter::appendDictionary(const Value& value, std::string& out) {
    if (!enterCollection()) return false;
    out.push_back('{');
    std::vector<const Member*> members;
    members.reserve(value.size());
    for (const Member& member : value.members()) members.push_back(&member);
    if (sortKeys_) {
        std::sort(members.begin(), members.end(),
                  [](const Member* a, const Member* b) { return a->key.asStringView() < b->key.asStringView(); });
    }
    bool first = true;
    for (const Member* member : members) {
        if (!first) out.push_back(',');
        first = false;
        if (humanReadable_) indent(out);
        appendString(member->key.asStringView(), out);
        out += humanReadable_ ? " : " : ":";
        if (!appendValue(member->value, out)) {
            addErrorWithCode(JsonTextErrorUnsupported,
                     fmt::format("Unsupported value for key {} in object", member->key.asStringView()));
            return false;
        }
    }
    leaveCollection();
    if (humanReadable_ && value.size() > 0) indent(out);
    out.push_back('}');
    return true;
}

void JsonTextWriter::appendString(std::string_view text, std::string& out) {
    out.push_back('"');
    size_t runStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + runStart, i - runStart);
        runStart = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default: out += fmt::format("\\u{:04x}", c); break;
        }
    }
    out.append(text.data() + runStart, text.size() - runStart);
    out.push_back('"');
}

// ---------------------------------------------------------------------------------------------
// Both in one

Result<Value> JsonText::objectWithString(std::string_view text, bool allowScalar) {
    Result<Value> value = allowScalar ? parser_.fragmentWithString(text) : parser_.objectWithString(text);
    if (!value.ok()) errorTrace_ = parser_.errorTrace();
    return value;
}

Result<std::string> JsonText::stringWithObject(const Value& value, bool allowScalar) {
    Result<std::string> text = allowScalar ? writer_.stringWithFragment(value) : writer_.stringWithObject(value);
    if (!text.ok()) errorTrace_ = writer_.errorTrace();
    return text;
}

Result<Value> JSONValue(std::string_view text) {
    JsonTextParser parser;
    Result<Value> value = parser.objectWithString(text);
    if (!value.ok()) STROMBEL_LOG_ERROR("-JSONValue failed. Error trace is: {}", traceText(parser.errorTrace()));
    return value;
}

Result<Value> JSONFragmentValue(std::string_view text) {
    JsonTextParser parser;
    Result<Value> value = parser.fragmentWithString(text);
    if (!value.ok()) STROMBEL_LOG_ERROR("-JSONFragmentValue failed. Error trace is: {}", traceText(parser.errorTrace()));
    return value;
}

Result<std::string> JSONRepresentation(const Value& value) {
    JsonTextWriter writer;
    Result<std::string> text = writer.stringWithObject(value);
    if (!text.ok()) STROMBEL_LOG_ERROR("-JSONRepresentation failed. Error trace is: {}", traceText(writer.errorTrace()));
    return text;
}

Result<std::string> JSONFragment(const Value& value) {
    JsonTextWriter writer;
    Result<std::string> text = writer.stringWithFragment(value);
    if (!text.ok()) STROMBEL_LOG_ERROR("-JSONFragment failed. Error trace is: {}", traceText(writer.errorTrace()));
    return text;
}

}  // namespace strombel::json
