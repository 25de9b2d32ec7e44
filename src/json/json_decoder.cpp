#include "json/json_decoder.h"

#include <fmt/format.h>

#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "json/string_scan.h"
#include "json/utf8.h"
#include "json/value_storage.h"

namespace strombel::json {

namespace {

using detail::ValueAccess;

enum class Token : uint8_t {
    None,
    Number,
    String,
    ObjectBegin,
    ObjectEnd,
    ArrayBegin,
    ArrayEnd,
    Colon,
    Comma,
    True,
    False,
    Null,
};

// What a collection accepts next.
enum Expect : uint8_t { ExpectValue = 1, ExpectComma = 2, ExpectEnd = 4 };

constexpr std::string_view kUnexpectedToken =
    "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', 'NUMBER'.";

bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

bool startsValue(Token token) {
    switch (token) {
        case Token::Number:
        case Token::String:
        case Token::ObjectBegin:
        case Token::ArrayBegin:
        case Token::True:
        case Token::False:
        case Token::Null: return true;
        default: return false;
    }
}

int hexDigit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One parse of one text. Positions are pointers into the input; the reported index
// is their offset from its start.
class Parser {
public:
    Parser(JsonParseOptionFlags options, std::string_view text, std::vector<Value>& stack, std::string& buffer)
        : options_(options),
          begin_(reinterpret_cast<const unsigned char*>(text.data())),
          end_(begin_ + text.size()),
          at_(begin_),
          lineStart_(begin_),
          stack_(stack),
          buffer_(buffer) {}

    Result<Value> parseDocument();

private:
    struct Frame {
        bool isObject;
        uint8_t expect;
        size_t start;
    };

    template <typename... Args>
    bool fail(fmt::format_string<Args...> format, Args&&... args) {
        if (!failed_) {
            failed_ = true;
            errorIndex_ = static_cast<uint64_t>(at_ - begin_);
            errorLine_ = line_;
            errorMessage_ = fmt::format(format, std::forward<Args>(args)...);
        }
        return false;
    }
    bool failText(std::string_view message) { return fail("{}", message); }

    size_t lineBreakAt(const unsigned char* p) const;
    void skipWhiteSpace();
    bool scanToken();
    bool scanString();
    bool scanStringSlow(const unsigned char* s);
    bool scanUnicodeEscape(const unsigned char*& s);
    bool readHexQuad(const unsigned char* s, uint32_t* value);
    bool scanNumber();
    bool convertNumber(const unsigned char* start, const unsigned char* stop, bool isFloat, bool negative);
    bool buildCollection(Value* result);
    bool expectError(const Frame& frame, uint8_t expect, std::string_view valuePhrase, std::string_view endPhrase);
    Value scalarForToken();
    Error makeError() const;

    const JsonParseOptionFlags options_;
    const unsigned char* const begin_;
    const unsigned char* const end_;
    const unsigned char* at_;
    uint64_t line_ = 1;
    const unsigned char* lineStart_;

    Token token_ = Token::None;
    const unsigned char* tokenStart_ = nullptr;
    size_t tokenLength_ = 0;
    Value tokenValue_;

    std::vector<Value>& stack_;
    std::string& buffer_;
    std::vector<Frame> frames_;

    bool failed_ = false;
    uint64_t errorIndex_ = 0;
    uint64_t errorLine_ = 0;
    std::string errorMessage_;
};

size_t Parser::lineBreakAt(const unsigned char* p) const {
    if (*p == '\n') return 1;
    if (*p == '\r') return (p + 1 < end_ && p[1] == '\n') ? 2 : 1;
    if (options_ & JsonParseUnicodeLineBreaks) {
        if (*p == 0xC2 && p + 1 < end_ && p[1] == 0x85) return 2;
        if (*p == 0xE2 && p + 2 < end_ && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) return 3;
    }
    return 0;
}

void Parser::skipWhiteSpace() {
    while (at_ < end_) {
        const unsigned char c = *at_;
        if (c == ' ' || c == '\t') {
            ++at_;
            continue;
        }
        if (const size_t length = lineBreakAt(at_)) {
            at_ += length;
            ++line_;
            lineStart_ = at_;
            continue;
        }
        if (c == '/' && (options_ & JsonParseAllowComments) && at_ + 1 < end_) {
            if (at_[1] == '/') {
                at_ += 2;
                while (at_ < end_) {
                    if (const size_t length = lineBreakAt(at_)) {
                        at_ += length;
                        ++line_;
                        lineStart_ = at_;
                        break;
                    }
                    ++at_;
                }
                continue;
            }
            if (at_[1] == '*') {
                at_ += 2;
                while (at_ < end_) {
                    if (*at_ == '*' && at_ + 1 < end_ && at_[1] == '/') {
                        at_ += 2;
                        break;
                    }
                    if (const size_t length = lineBreakAt(at_)) {
                        at_ += length;
                        ++line_;
                        lineStart_ = at_;
                    } else {
                        ++at_;
                    }
                }
                continue;
            }
        }
        return;
    }
}

bool Parser::scanToken() {
    if (at_ < end_ && (*at_ <= ' ' || *at_ == '/' || *at_ >= 0x80)) skipWhiteSpace();
    if (at_ >= end_) return failText(kUnexpectedToken);
    tokenStart_ = at_;
    const size_t remaining = static_cast<size_t>(end_ - at_);
    switch (*at_) {
        case '"':
            token_ = Token::String;
            if (!scanString()) {
                failText("Invalid string.");
                return failText(kUnexpectedToken);
            }
            break;
        case '{': token_ = Token::ObjectBegin; ++at_; break;
        case '}': token_ = Token::ObjectEnd; ++at_; break;
        case '[': token_ = Token::ArrayBegin; ++at_; break;
        case ']': token_ = Token::ArrayEnd; ++at_; break;
        case ':': token_ = Token::Colon; ++at_; break;
        case ',': token_ = Token::Comma; ++at_; break;
        case 't':
            if (remaining <= 4 || std::memcmp(at_, "true", 4) != 0) return failText(kUnexpectedToken);
            token_ = Token::True;
            at_ += 4;
            break;
        case 'f':
            if (remaining <= 5 || std::memcmp(at_, "false", 5) != 0) return failText(kUnexpectedToken);
            token_ = Token::False;
            at_ += 5;
            break;
        case 'n':
            if (remaining <= 4 || std::memcmp(at_, "null", 4) != 0) return failText(kUnexpectedToken);
            token_ = Token::Null;
            at_ += 4;
            break;
        default:
            if (*at_ == '-' || isDigit(*at_)) {
                token_ = Token::Number;
                if (!scanNumber()) {
                    failText("Invalid number.");
                    return failText(kUnexpectedToken);
                }
                break;
            }
            return failText(kUnexpectedToken);
    }
    tokenLength_ = static_cast<size_t>(at_ - tokenStart_);
    return true;
}

bool Parser::scanString() {
    const unsigned char* s = at_ + 1;
    for (;;) {
        s = detail::skipPlainStringBytes(s, end_);
        if (s >= end_) return false;
        const unsigned char c = *s;
        if (c == '"') {
            tokenValue_ = ValueAccess::makeText(Kind::String, reinterpret_cast<const char*>(at_ + 1),
                                                static_cast<size_t>(s - at_ - 1));
            at_ = s + 1;
            return true;
        }
        if (c < 0x20) return fail("Invalid character < 0x20 found in string: 0x{:02x}.", c);
        if (c == '\\') return scanStringSlow(s);
        const unsigned char* next;
        uint32_t codePoint;
        if (utf8::readScalar(s, end_, &next, &codePoint) != utf8::Valid) return scanStringSlow(s);
        s = next;
    }
}

bool Parser::readHexQuad(const unsigned char* s, uint32_t* value) {
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        if (s + i >= end_) return false;
        const int digit = hexDigit(s[i]);
        if (digit < 0) {
            return fail("Unexpected character found in \\u Unicode escape sequence.  Found '{}', expected [0-9a-fA-F].",
                        static_cast<char>(s[i]));
        }
        result = (result << 4) | static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

// `s` is at the `u` of a \u escape; on success it lies after the escape (or pair).
bool Parser::scanUnicodeEscape(const unsigned char*& s) {
    const bool replace = options_ & JsonParseReplaceBadUnicode;
    constexpr std::string_view kIllegal = "Illegal \\u Unicode escape sequence.";
    uint32_t codePoint;
    if (!readHexQuad(s + 1, &codePoint)) return false;
    s += 5;
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
        if (s + 1 >= end_ || s[0] != '\\' || s[1] != 'u') {
            if (!replace) {
                return failText(
                    "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape sequence.");
            }
            codePoint = utf8::kReplacementCharacter;
        } else {
            uint32_t low;
            if (!readHexQuad(s + 2, &low)) return false;
            s += 6;
            if (low < 0xDC00 || low > 0xDFFF) {
                if (!replace) return failText(kIllegal);
                codePoint = utf8::kReplacementCharacter;
            } else {
                codePoint = ((codePoint - 0xD800) << 10) + (low - 0xDC00) + 0x10000;
            }
        }
    } else if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
        if (!replace) return failText(kIllegal);
        codePoint = utf8::kReplacementCharacter;
    }
    if (codePoint == 0 || !utf8::isLegalScalar(codePoint)) {
        if (!replace) return failText(kIllegal);
        codePoint = utf8::kReplacementCharacter;
    }
    utf8::append(buffer_, codePoint);
    return true;
}

// The string needs decoding from `s` on: escapes or bad UTF-8 go through the buffer.
bool Parser::scanStringSlow(const unsigned char* s) {
    buffer_.assign(reinterpret_cast<const char*>(at_ + 1), static_cast<size_t>(s - at_ - 1));
    while (s < end_) {
        const unsigned char* plainEnd = detail::skipPlainStringBytes(s, end_);
        if (plainEnd != s) {
            buffer_.append(reinterpret_cast<const char*>(s), static_cast<size_t>(plainEnd - s));
            s = plainEnd;
            if (s >= end_) break;
        }
        const unsigned char c = *s;
        if (c == '"') {
            tokenValue_ = ValueAccess::makeText(Kind::String, buffer_.data(), buffer_.size());
            at_ = s + 1;
            return true;
        }
        if (c < 0x20) return fail("Invalid character < 0x20 found in string: 0x{:02x}.", c);
        if (c >= 0x80) {
            const unsigned char* next;
            uint32_t codePoint;
            switch (utf8::readScalar(s, end_, &next, &codePoint)) {
                case utf8::Valid: buffer_.append(reinterpret_cast<const char*>(s), static_cast<size_t>(next - s)); break;
                case utf8::Exhausted: return failText("End of buffer reached while parsing UTF8 in \"\" string.");
                case utf8::Illegal:
                    if (!(options_ & JsonParseReplaceBadUnicode)) {
                        return failText("Illegal UTF8 sequence found in \"\" string.");
                    }
                    utf8::append(buffer_, utf8::kReplacementCharacter);
                    break;
            }
            s = next;
            continue;
        }
        // A backslash.
        if (++s >= end_) return false;
        switch (*s) {
            case 'b': buffer_.push_back('\b'); break;
            case 'f': buffer_.push_back('\f'); break;
            case 'n': buffer_.push_back('\n'); break;
            case 'r': buffer_.push_back('\r'); break;
            case 't': buffer_.push_back('\t'); break;
            case '\\': buffer_.push_back('\\'); break;
            case '/': buffer_.push_back('/'); break;
            case '"': buffer_.push_back('"'); break;
            case 'u':
                if (!scanUnicodeEscape(s)) return false;
                continue;
            default: return failText("Invalid escape sequence found in \"\" string.");
        }
        ++s;
    }
    return false;
}

bool Parser::scanNumber() {
    const unsigned char* s = at_;
    bool negative = false;
    bool isFloat = false;
    if (*s == '-') {
        negative = true;
        if (++s >= end_ || !isDigit(*s)) return false;
    }
    if (*s == '0') {
        if (++s >= end_) return false;
    } else {
        while (s < end_ && isDigit(*s)) ++s;
        if (s >= end_) return false;
    }
    if (*s == '.') {
        isFloat = true;
        if (++s >= end_ || !isDigit(*s)) return false;
        while (s < end_ && isDigit(*s)) ++s;
        if (s >= end_) return false;
    }
    if (*s == 'e' || *s == 'E') {
        isFloat = true;
        if (++s >= end_) return false;
        if (*s == '+' || *s == '-') {
            if (++s >= end_) return false;
        }
        if (!isDigit(*s)) return false;
        while (s < end_ && isDigit(*s)) ++s;
        if (s >= end_) return false;
    }
    const unsigned char* start = at_;
    at_ = s;
    return convertNumber(start, s, isFloat, negative);
}

// Where the first significant digit of a decimal number stands (its power of ten).
int64_t decimalMagnitude(std::string_view text) {
    size_t i = text[0] == '-' ? 1 : 0;
    const size_t exponentAt = text.find_first_of("eE");
    const std::string_view mantissa = text.substr(i, exponentAt == std::string_view::npos ? std::string_view::npos : exponentAt - i);
    int64_t exponent = 0;
    if (exponentAt != std::string_view::npos) {
        std::string_view digits = text.substr(exponentAt + 1);
        const bool negativeExponent = !digits.empty() && digits[0] == '-';
        if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
        for (char c : digits) {
            exponent = exponent * 10 + (c - '0');
            if (exponent > 1'000'000'000) break;
        }
        if (negativeExponent) exponent = -exponent;
    }
    const size_t point = mantissa.find('.');
    const size_t integerDigits = point == std::string_view::npos ? mantissa.size() : point;
    for (size_t k = 0; k < mantissa.size(); ++k) {
        if (mantissa[k] == '.' || mantissa[k] == '0') continue;
        const int64_t position = k < integerDigits ? static_cast<int64_t>(integerDigits - k - 1)
                                                   : -static_cast<int64_t>(k - integerDigits);
        return position + exponent;
    }
    return 0;
}

bool Parser::convertNumber(const unsigned char* start, const unsigned char* stop, bool isFloat, bool negative) {
    const char* first = reinterpret_cast<const char*>(start);
    const char* last = reinterpret_cast<const char*>(stop);
    const std::string_view text(first, static_cast<size_t>(last - first));
    if (isFloat || text == "-0") {
        double value = 0.0;
        const auto [end, error] = std::from_chars(first, last, value);
        if (error == std::errc::result_out_of_range) {
            return fail("The value '{}' could not be represented as a 'double' due to {}.", text,
                        decimalMagnitude(text) < 0 ? "underflow" : "overflow");
        }
        if (error != std::errc() || end != last) {
            return failText("The conversion function did not consume all of the number tokens characters.");
        }
        tokenValue_ = Value(value);
        return true;
    }
    // Whole numbers: at most 20 digits fit; the accumulation checks for overflow.
    const char* digit = negative ? first + 1 : first;
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; digit < last; ++digit) {
        if (__builtin_mul_overflow(magnitude, uint64_t{10}, &magnitude) ||
            __builtin_add_overflow(magnitude, static_cast<uint64_t>(*digit - '0'), &magnitude)) {
            overflow = true;
            break;
        }
    }
    if (negative) {
        if (overflow || magnitude > uint64_t{1} << 63) {
            return fail("The value '{}' exceeded the minimum value that could be represented: {}.", text,
                        std::numeric_limits<int64_t>::min());
        }
        tokenValue_ = Value(static_cast<long long>(0 - magnitude));
        return true;
    }
    if (overflow) {
        return fail("The value '{}' exceeded the maximum value that could be represented: {}.", text,
                    std::numeric_limits<uint64_t>::max());
    }
    tokenValue_ = Value(static_cast<unsigned long long>(magnitude));
    return true;
}

Value Parser::scalarForToken() {
    switch (token_) {
        case Token::True: return Value(true);
        case Token::False: return Value(false);
        case Token::Null: return Value();
        default: return std::move(tokenValue_);
    }
}

bool Parser::expectError(const Frame& frame, uint8_t expect, std::string_view valuePhrase, std::string_view endPhrase) {
    (void)frame;
    std::string_view phrases[3];
    int count = 0;
    if (expect & ExpectValue) phrases[count++] = valuePhrase;
    if (expect & ExpectComma) phrases[count++] = "a comma";
    if (expect & ExpectEnd) phrases[count++] = endPhrase;
    const std::string_view token(reinterpret_cast<const char*>(tokenStart_), tokenLength_);
    switch (count) {
        case 1: return fail("Expected {}, not '{}'", phrases[0], token);
        case 2: return fail("Expected {} or {}, not '{}'", phrases[0], phrases[1], token);
        case 3: return fail("Expected {}, {}, or {}, not '{}", phrases[0], phrases[1], phrases[2], token);
        default: return fail("Expected nothing, not '{}'", token);
    }
}

// Builds the array or object whose opening token was just scanned. Nested
// collections are built on the frame stack, not by recursion.
bool Parser::buildCollection(Value* result) {
    frames_.clear();
    frames_.push_back(Frame{token_ == Token::ObjectBegin, ExpectValue | ExpectEnd, stack_.size()});
    for (;;) {
        Frame& frame = frames_.back();
        if (at_ >= end_) return false;
        if (!scanToken()) return false;
        Token token = token_;
        if (frame.isObject) {
            if (token == Token::String) {
                if (!(frame.expect & ExpectValue)) return failText("Unexpected string.");
                const uint8_t expectBeforeKey = frame.expect;
                stack_.push_back(std::move(tokenValue_));
                if (!scanToken()) return false;
                if (token_ != Token::Colon) return failText("Expected ':'.");
                if (!scanToken()) return false;
                if (!startsValue(token_)) return expectError(frame, expectBeforeKey, "a value", "a '}'");
                token = token_;
                frame.expect = ExpectComma | ExpectEnd;
                // Falls through to the value below.
            } else if (token == Token::Comma) {
                if (!(frame.expect & ExpectComma)) return failText("Unexpected ','.");
                frame.expect = ExpectValue;
                continue;
            } else if (token == Token::ObjectEnd) {
                if (!(frame.expect & ExpectEnd)) return failText("Unexpected '}'.");
                const size_t start = frame.start;
                Value object = ValueAccess::adoptObject(stack_.data() + start, (stack_.size() - start) / 2);
                stack_.resize(start);
                frames_.pop_back();
                if (frames_.empty()) {
                    *result = std::move(object);
                    return true;
                }
                stack_.push_back(std::move(object));
                continue;
            } else {
                return expectError(frame, frame.expect, "a \"STRING\"", "a '}'");
            }
        } else {
            if (startsValue(token)) {
                if (!(frame.expect & ExpectValue)) return failText("Unexpected value.");
                frame.expect = ExpectComma | ExpectEnd;
            } else if (token == Token::Comma) {
                if (!(frame.expect & ExpectComma)) return failText("Unexpected ','.");
                frame.expect = ExpectValue;
                continue;
            } else if (token == Token::ArrayEnd) {
                if (!(frame.expect & ExpectEnd)) return failText("Unexpected ']'.");
                const size_t start = frame.start;
                Value array = ValueAccess::adoptArray(stack_.data() + start, stack_.size() - start);
                stack_.resize(start);
                frames_.pop_back();
                if (frames_.empty()) {
                    *result = std::move(array);
                    return true;
                }
                stack_.push_back(std::move(array));
                continue;
            } else {
                return expectError(frame, frame.expect, "a value", "a ']'");
            }
        }
        // A value of the current frame.
        if (token == Token::ArrayBegin || token == Token::ObjectBegin) {
            if (frames_.size() >= kJsonMaxNestingDepth) {
                return fail("Maximum nesting depth of {} arrays and objects exceeded.", kJsonMaxNestingDepth);
            }
            frames_.push_back(Frame{token == Token::ObjectBegin, ExpectValue | ExpectEnd, stack_.size()});
        } else {
            stack_.push_back(scalarForToken());
        }
    }
}

Error Parser::makeError() const {
    return Error::make(kJsonErrorDomain, -1, errorMessage_,
                       {{kJsonAtIndexKey, Value(static_cast<unsigned long long>(errorIndex_))},
                        {kJsonLineNumberKey, Value(static_cast<unsigned long long>(errorLine_))}});
}

Result<Value> Parser::parseDocument() {
    Value result;
    bool built = false;
    if (begin_ < end_ && scanToken()) {
        if (token_ != Token::ArrayBegin && token_ != Token::ObjectBegin) {
            failText("Expected either '[' or '{'.");
        } else {
            built = buildCollection(&result);
        }
    }
    if (built) {
        skipWhiteSpace();
        if (at_ < end_ && !(options_ & JsonParseAllowTrailingText)) {
            failText("A valid JSON object was parsed but there were additional non-white-space characters remaining.");
            return makeError();
        }
        return result;
    }
    if (at_ >= end_) failText("Reached the end of the buffer.");
    failText("Unable to parse JSON.");
    return makeError();
}

}  // namespace

JSONDecoder::JSONDecoder(JsonParseOptionFlags parseOptions) : options_(parseOptions) {
    if (parseOptions > JsonParseOptionsValid) throw std::invalid_argument("Invalid parse options.");
}

Result<Value> JSONDecoder::objectWithUTF8String(std::string_view bytes) {
    Parser parser(options_, bytes, stack_, tokenBuffer_);
    Result<Value> result = parser.parseDocument();
    stack_.clear();
    return result;
}

Result<Value> JSONDecoder::decode(std::string_view text, JsonParseOptionFlags parseOptions) {
    JSONDecoder decoder(parseOptions);
    return decoder.objectWithUTF8String(text);
}

}  // namespace strombel::json
