#include "json/json_decoder.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "json/exact_double.h"
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

// How many of the eight bytes in `chunk` (first byte lowest) are ASCII digits before
// the first one that is not. A byte after that may be misjudged (a carry out of the
// byte before it); it does not matter, it is never read as a digit.
[[gnu::always_inline]] inline int leadingDigitCount(uint64_t chunk) {
    const uint64_t classes =
        ((chunk & 0xF0F0F0F0F0F0F0F0ull) | (((chunk + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) >> 4)) ^
        0x3333333333333333ull;
    return classes == 0 ? 8 : std::countr_zero(classes) / 8;
}

// The value of the first `count` (1 to 8) bytes of `chunk`, all digits.
[[gnu::always_inline]] inline uint64_t leadingDigitsValue(uint64_t chunk, int count) {
    // Subtracting '0' borrows only out of bytes that are not digits, into the bytes
    // after them; the shift then drops those and puts zeros (leading zero digits) first.
    chunk = (chunk - 0x3030303030303030ull) << (64 - 8 * count);
    chunk = (chunk * 10) + (chunk >> 8);
    chunk = (((chunk & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
             (((chunk >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
            32;
    return chunk;
}

// Reads the run of digits at `s` into `magnitude` (which wraps beyond 19 digits; the
// caller counts them) and answers where the run ends.
[[gnu::always_inline]] inline const unsigned char* gatherDigits(const unsigned char* s, const unsigned char* end, uint64_t* magnitude) {
    uint64_t value = *magnitude;
    while (end - s >= 8) {
        uint64_t chunk;
        std::memcpy(&chunk, s, 8);
        const int count = leadingDigitCount(chunk);
        if (count == 0) break;
        value = value * detail::kIntegerPowersOfTen[count] + leadingDigitsValue(chunk, count);
        s += count;
        if (count < 8) {
            *magnitude = value;
            return s;
        }
    }
    while (s < end && isDigit(*s)) value = value * 10 + static_cast<uint64_t>(*s++ - '0');
    *magnitude = value;
    return s;
}

constexpr std::array<int8_t, 256> kHexDigits = [] {
    std::array<int8_t, 256> table{};
    for (auto& entry : table) entry = -1;
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<int8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<int8_t>(c - 'A' + 10);
    return table;
}();

int hexDigit(unsigned char c) { return kHexDigits[c]; }

// The pending values of the collections being built, kept in the decoder's storage
// between parses. Its Values point into the parse's arena without counted
// references, so they move in and out as bytes.
class ValueStack {
public:
    explicit ValueStack(std::vector<Value>& storage) : storage_(storage) {
        if (storage_.size() < 64) storage_.resize(64);
        data_ = storage_.data();
        capacity_ = storage_.size();
    }
    ~ValueStack() { ValueAccess::forget(data_, size_ < capacity_ ? size_ + 1 : size_); }
    ValueStack(const ValueStack&) = delete;
    ValueStack& operator=(const ValueStack&) = delete;

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    /// Whether the stack could not grow (memory ran out).
    bool growthFailed() const { return growthFailed_; }
    Value* at(size_t index) { return data_ + index; }
    void push(Value& value) {
        ValueAccess::moveInto(next(), value);
        ++size_;
    }
    /// The free slot above the top, where the scanner writes the value of a token.
    Value* next() {
        if (size_ == capacity_) grow();
        return data_ + size_;
    }
    /// Makes what was written at next() the top entry.
    void commit() { ++size_; }
    /// Drops the top entries, whose contents were moved out already.
    void truncate(size_t size) { size_ = size; }

private:
    void grow() {
        try {
            storage_.resize(capacity_ * 2);
        } catch (const std::bad_alloc&) {
            growthFailed_ = true;
            throw;
        }
        data_ = storage_.data();
        capacity_ = storage_.size();
    }

    std::vector<Value>& storage_;
    Value* data_;
    size_t capacity_;
    size_t size_ = 0;
    bool growthFailed_ = false;
};

// One parse of one text: the parse state. Positions are pointers into the input;
// the reported index is their offset from its start. Values are built straight onto
// one stack and gathered into arrays and objects when their collection closes; there
// is no cache of decoded strings and numbers to share between parses, since short
// ones live inside their Value and longer ones in the document's arena.
class Parser {
public:
    Parser(JsonParseOptionFlags options, std::string_view text, std::vector<Value>& stack, std::string& buffer)
        : options_(options),
          begin_(reinterpret_cast<const unsigned char*>(text.data())),
          end_(begin_ + text.size()),
          at_(begin_),
          stack_(stack),
          buffer_(buffer),
          arena_(detail::Arena::make(text.size() + text.size() / 2)) {}
    ~Parser() {
        // Values made during the parse point into the arena without counted references.
        arena_->release();
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    Result<Value> parseDocument();

private:
    Result<Value> parseDocumentUnguarded();

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
    [[gnu::noinline]] bool scanValueToken();
    bool scanString();
    bool scanStringSlow(const unsigned char* s);
    [[gnu::noinline]] char* growBuffer(char* out, char** limit, size_t count);
    void resizeBuffer(size_t size);
    bool scanUnicodeEscape(const unsigned char*& s, uint32_t* codePoint);
    bool readHexQuad(const unsigned char* s, uint32_t* value);
    bool scanNumber();
    bool convertDouble(const unsigned char* start, const unsigned char* stop);
    bool buildCollection(Value* result);
    bool expectError(uint8_t expect, std::string_view valuePhrase, std::string_view endPhrase);
    Error makeError() const;

    const JsonParseOptionFlags options_;
    const unsigned char* const begin_;
    const unsigned char* const end_;
    const unsigned char* at_;
    uint64_t line_ = 1;

    Token token_ = Token::None;
    const unsigned char* tokenStart_ = nullptr;
    size_t tokenLength_ = 0;

    ValueStack stack_;
    std::string& buffer_;
    std::array<Frame, kJsonMaxNestingDepth> frames_;
    size_t frameCount_ = 0;
    detail::Arena* arena_;

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
        if (c == '\n') {
            ++at_;
            ++line_;
            continue;
        }
        if (c > ' ' && c != '/' && c < 0x80) return;
        if (const size_t length = lineBreakAt(at_)) {
            at_ += length;
            ++line_;
            continue;
        }
        if (c == '/' && (options_ & JsonParseAllowComments) && at_ + 1 < end_) {
            if (at_[1] == '/') {
                at_ += 2;
                while (at_ < end_) {
                    if (const size_t length = lineBreakAt(at_)) {
                        at_ += length;
                        ++line_;
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

// The one-byte tokens are taken here, inline; the rest in scanValueToken.
inline bool Parser::scanToken() {
    if (at_ < end_ && (*at_ <= ' ' || *at_ == '/' || *at_ >= 0x80)) skipWhiteSpace();
    if (at_ >= end_) [[unlikely]] return failText(kUnexpectedToken);
    tokenStart_ = at_;
    switch (*at_) {
        case '{': token_ = Token::ObjectBegin; break;
        case '}': token_ = Token::ObjectEnd; break;
        case '[': token_ = Token::ArrayBegin; break;
        case ']': token_ = Token::ArrayEnd; break;
        case ':': token_ = Token::Colon; break;
        case ',': token_ = Token::Comma; break;
        default: return scanValueToken();
    }
    ++at_;
    tokenLength_ = 1;
    return true;
}

bool Parser::scanValueToken() {
    const size_t remaining = static_cast<size_t>(end_ - at_);
    switch (*at_) {
        case '"':
            token_ = Token::String;
            if (!scanString()) {
                failText("Invalid string.");
                return failText(kUnexpectedToken);
            }
            break;
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
            const size_t size = static_cast<size_t>(s - at_ - 1);
            const char* text = reinterpret_cast<const char*>(at_ + 1);
            if (size <= 14 && end_ - (at_ + 1) >= 16) {
                ValueAccess::setSmallText(stack_.next(), Kind::String, text, size);
            } else {
                ValueAccess::setText(stack_.next(), Kind::String, text, size, arena_, true);
            }
            at_ = s + 1;
            return true;
        }
        if (c < 0x20) return fail("Invalid character < 0x20 found in string: 0x{:02x}.", c);
        if (c == '\\') return scanStringSlow(s);
        const unsigned char* next;
        uint32_t codePoint;
        if (utf8::readScalarFast(s, end_, &next, &codePoint) != utf8::Valid) return scanStringSlow(s);
        s = next;
    }
}

inline bool Parser::readHexQuad(const unsigned char* s, uint32_t* value) {
    if (end_ - s >= 4) {
        const int a = hexDigit(s[0]), b = hexDigit(s[1]), c = hexDigit(s[2]), d = hexDigit(s[3]);
        if ((a | b | c | d) >= 0) {
            *value = static_cast<uint32_t>((a << 12) | (b << 8) | (c << 4) | d);
            return true;
        }
    }
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        if (s + i >= end_) return false;
        const int digit = hexDigit(s[i]);
        if (digit < 0) [[unlikely]] {
            return fail("Unexpected character found in \\u Unicode escape sequence.  Found '{}', expected [0-9a-fA-F].",
                        static_cast<char>(s[i]));
        }
        result = (result << 4) | static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

// `s` is at the `u` of a \u escape; on success it lies after the escape (or pair)
// and `codePoint` is what to append.
bool Parser::scanUnicodeEscape(const unsigned char*& s, uint32_t* codePointOut) {
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
    *codePointOut = codePoint;
    return true;
}

char* writeUtf8(char* out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        *out++ = static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        *out++ = static_cast<char>(0xC0 | (codePoint >> 6));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (codePoint >> 12));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (codePoint >> 18));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    }
    return out;
}

// The string needs decoding from `s` on: escapes or bad UTF-8 go through the buffer.
bool Parser::scanStringSlow(const unsigned char* s) {
    const size_t prefix = static_cast<size_t>(s - at_ - 1);
    if (buffer_.size() < prefix + 64) resizeBuffer(std::max(2 * buffer_.size(), prefix + 64));
    char* out = buffer_.data();
    char* limit = out + buffer_.size();
    std::memcpy(out, at_ + 1, prefix);
    out += prefix;
#define STROMBEL_JSON_ROOM(count) \
    if (static_cast<size_t>(limit - out) < (count)) out = growBuffer(out, &limit, (count))
    for (;;) {
#if defined(__SSE2__)
        // Sixteen bytes are copied blindly; only the plain ones before the first
        // special byte are kept.
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i space = _mm_set1_epi8(0x20);
        while (end_ - s >= 16) {
            STROMBEL_JSON_ROOM(16);
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
            const __m128i special = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)), _mm_cmplt_epi8(bytes, space));
            const int mask = _mm_movemask_epi8(special);
            if (mask == 0) {
                s += 16;
                out += 16;
                continue;
            }
            const int plain = __builtin_ctz(static_cast<unsigned>(mask));
            s += plain;
            out += plain;
            goto special;
        }
#endif
        while (s < end_ && detail::isPlainStringByte(*s)) {
            STROMBEL_JSON_ROOM(1);
            *out++ = static_cast<char>(*s++);
        }
        if (s >= end_) return false;
    special:
        STROMBEL_JSON_ROOM(16);
        const unsigned char c = *s;
        if (c == '"') {
            ValueAccess::setText(stack_.next(), Kind::String, buffer_.data(), static_cast<size_t>(out - buffer_.data()),
                                 arena_, true);
            at_ = s + 1;
            return true;
        }
        if (c < 0x20) return fail("Invalid character < 0x20 found in string: 0x{:02x}.", c);
        if (c >= 0x80) {
            const unsigned char* next;
            uint32_t codePoint;
            switch (utf8::readScalarFast(s, end_, &next, &codePoint)) {
                case utf8::Valid:
                    std::memcpy(out, s, static_cast<size_t>(next - s));
                    out += next - s;
                    break;
                case utf8::Exhausted: return failText("End of buffer reached while parsing UTF8 in \"\" string.");
                case utf8::Illegal:
                    if (!(options_ & JsonParseReplaceBadUnicode)) {
                        return failText("Illegal UTF8 sequence found in \"\" string.");
                    }
                    out = writeUtf8(out, utf8::kReplacementCharacter);
                    break;
            }
            s = next;
            continue;
        }
        // A backslash.
        if (++s >= end_) return false;
        switch (*s) {
            case 'b': *out++ = '\b'; break;
            case 'f': *out++ = '\f'; break;
            case 'n': *out++ = '\n'; break;
            case 'r': *out++ = '\r'; break;
            case 't': *out++ = '\t'; break;
            case '\\': *out++ = '\\'; break;
            case '/': *out++ = '/'; break;
            case '"': *out++ = '"'; break;
            case 'u': {
                uint32_t codePoint = 0;
                if (!scanUnicodeEscape(s, &codePoint)) return false;
                out = writeUtf8(out, codePoint);
                continue;
            }
            default: return failText("Invalid escape sequence found in \"\" string.");
        }
        ++s;
    }
#undef STROMBEL_JSON_ROOM
}

void Parser::resizeBuffer(size_t size) {
    try {
        buffer_.resize(size);
    } catch (const std::bad_alloc&) {
        fail("Internal error: Unable to resize temporary buffer. {} line #{}", __FILE__, __LINE__);
        throw;
    }
}

char* Parser::growBuffer(char* out, char** limit, size_t count) {
    const size_t used = static_cast<size_t>(out - buffer_.data());
    resizeBuffer(std::max(2 * buffer_.size(), used + count));
    *limit = buffer_.data() + buffer_.size();
    return buffer_.data() + used;
}

bool Parser::scanNumber() {
    // One pass checks the grammar and gathers the digits into `magnitude`, exact
    // while there are at most 19 of them; `fractionDigits` counts those after the point.
    const unsigned char* s = at_;
    bool negative = false;
    bool isFloat = false;
    uint64_t magnitude = 0;
    size_t digitCount = 0;
    int64_t fractionDigits = 0;
    int64_t exponent = 0;
    if (*s == '-') {
        negative = true;
        if (++s >= end_ || !isDigit(*s)) return false;
    }
    if (*s == '0') {
        if (++s >= end_) return false;
    } else {
        const unsigned char* first = s;
        s = gatherDigits(s, end_, &magnitude);
        digitCount = static_cast<size_t>(s - first);
        if (s >= end_) return false;
    }
    if (*s == '.') {
        isFloat = true;
        if (++s >= end_ || !isDigit(*s)) return false;
        const unsigned char* first = s;
        s = gatherDigits(s, end_, &magnitude);
        fractionDigits = s - first;
        digitCount += static_cast<size_t>(fractionDigits);
        if (s >= end_) return false;
    }
    if (*s == 'e' || *s == 'E') {
        isFloat = true;
        if (++s >= end_) return false;
        bool negativeExponent = false;
        if (*s == '+' || *s == '-') {
            negativeExponent = *s == '-';
            if (++s >= end_) return false;
        }
        if (!isDigit(*s)) return false;
        while (s < end_ && isDigit(*s)) {
            if (exponent < 100000) exponent = exponent * 10 + (*s - '0');
            ++s;
        }
        if (s >= end_) return false;
        if (negativeExponent) exponent = -exponent;
    }
    bool overflow = false;
    if (digitCount > 19) {
        // Twenty digits may still fit 64 bits; more never do.
        magnitude = 0;
        for (const unsigned char* digit = at_ + (negative ? 1 : 0); digit < s && isDigit(*digit) && !overflow; ++digit) {
            overflow = __builtin_mul_overflow(magnitude, uint64_t{10}, &magnitude) ||
                       __builtin_add_overflow(magnitude, static_cast<uint64_t>(*digit - '0'), &magnitude);
        }
        overflow = overflow || isFloat;
    }
    const unsigned char* start = at_;
    at_ = s;
    const size_t length = static_cast<size_t>(s - start);
    // "-0" alone is a double (negative zero survives); a magnitude that wrapped to
    // 0 past 64 bits is an integer out of range.
    if (!isFloat && !(negative && magnitude == 0 && !overflow)) {
        if (negative) {
            if (overflow || magnitude > uint64_t{1} << 63) {
                return fail("The value '{}' exceeded the minimum value that could be represented: {}.",
                            std::string_view(reinterpret_cast<const char*>(start), length),
                            std::numeric_limits<int64_t>::min());
            }
            ValueAccess::setScalar(stack_.next(), Kind::Int, 0 - magnitude);
            return true;
        }
        if (overflow) {
            return fail("The value '{}' exceeded the maximum value that could be represented: {}.",
                        std::string_view(reinterpret_cast<const char*>(start), length),
                        std::numeric_limits<uint64_t>::max());
        }
        ValueAccess::setScalar(stack_.next(), Kind::UInt, magnitude);
        return true;
    }
    // Doubles: exact when the digits fit in 53 bits and the power of ten is exact too
    // (one correctly rounded multiplication or division of two exact doubles); then
    // exact integer arithmetic for up to 19 digits and powers of ten up to 10^19 either
    // way; otherwise the full conversion.
    static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                              1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const int64_t scale = exponent - fractionDigits;
    if (!overflow && magnitude <= (uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
        double value = static_cast<double>(magnitude);
        value = scale < 0 ? value / kPowersOfTen[-scale] : value * kPowersOfTen[scale];
        ValueAccess::setScalar(stack_.next(), Kind::Double, std::bit_cast<uint64_t>(negative ? -value : value));
        return true;
    }
    double value;
    if (!overflow && detail::exactDouble(magnitude, scale, &value)) {
        ValueAccess::setScalar(stack_.next(), Kind::Double, std::bit_cast<uint64_t>(negative ? -value : value));
        return true;
    }
    return convertDouble(start, s);
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

bool Parser::convertDouble(const unsigned char* start, const unsigned char* stop) {
    const char* first = reinterpret_cast<const char*>(start);
    const char* last = reinterpret_cast<const char*>(stop);
    const std::string_view text(first, static_cast<size_t>(last - first));
    double value = 0.0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error == std::errc::result_out_of_range) {
        return fail("The value '{}' could not be represented as a 'double' due to {}.", text,
                    decimalMagnitude(text) < 0 ? "underflow" : "overflow");
    }
    if (error != std::errc() || end != last) {
        return failText("The conversion function did not consume all of the number tokens characters.");
    }
    ValueAccess::setScalar(stack_.next(), Kind::Double, std::bit_cast<uint64_t>(value));
    return true;
}

bool Parser::expectError(uint8_t expect, std::string_view valuePhrase, std::string_view endPhrase) {
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
    frameCount_ = 0;
    frames_[frameCount_++] = Frame{token_ == Token::ObjectBegin, ExpectValue | ExpectEnd, stack_.size()};
    for (;;) {
        Frame& frame = frames_[frameCount_ - 1];
        if (at_ >= end_) return false;
        if (!scanToken()) return false;
        Token token = token_;
        if (frame.isObject) {
            if (token == Token::String) {
                if (!(frame.expect & ExpectValue)) return failText("Unexpected string.");
                const uint8_t expectBeforeKey = frame.expect;
                stack_.commit();
                if (!scanToken()) return false;
                if (token_ != Token::Colon) return failText("Expected ':'.");
                if (!scanToken()) return false;
                if (!startsValue(token_)) return expectError(expectBeforeKey, "a value", "a '}'");
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
                Value object = ValueAccess::adoptObject(stack_.at(start), (stack_.size() - start) / 2, arena_);
                stack_.truncate(start);
                if (--frameCount_ == 0) {
                    *result = std::move(object);
                    return true;
                }
                stack_.push(object);
                continue;
            } else {
                return expectError(frame.expect, "a \"STRING\"", "a '}'");
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
                Value array = ValueAccess::adoptArray(stack_.at(start), stack_.size() - start, arena_);
                stack_.truncate(start);
                if (--frameCount_ == 0) {
                    *result = std::move(array);
                    return true;
                }
                stack_.push(array);
                continue;
            } else {
                return expectError(frame.expect, "a value", "a ']'");
            }
        }
        // A value of the current frame.
        if (token == Token::ArrayBegin || token == Token::ObjectBegin) {
            if (frameCount_ >= kJsonMaxNestingDepth) {
                return fail("Maximum nesting depth of {} arrays and objects exceeded.", kJsonMaxNestingDepth);
            }
            frames_[frameCount_++] = Frame{token == Token::ObjectBegin, ExpectValue | ExpectEnd, stack_.size()};
        } else if (token == Token::String || token == Token::Number) {
            stack_.commit();
        } else {
            ValueAccess::setScalar(stack_.next(), token == Token::Null ? Kind::Null : Kind::Bool, token == Token::True);
            stack_.commit();
        }
    }
}

Error Parser::makeError() const {
    return Error::make(kJsonErrorDomain, -1, errorMessage_,
                       {{kJsonAtIndexKey, static_cast<unsigned long long>(errorIndex_)},
                        {kJsonLineNumberKey, static_cast<unsigned long long>(errorLine_)}});
}

// Memory that runs out fails the parse with an error that says what could not
// grow: the stack of pending values, the scratch buffer of a string (recorded
// where it grows), or the document's arena, where values are made. What was
// decoded so far goes with the arena.
Result<Value> Parser::parseDocument() {
    try {
        return parseDocumentUnguarded();
    } catch (const std::bad_alloc&) {
        if (stack_.growthFailed()) {
            const bool inObject = frameCount_ > 0 && frames_[frameCount_ - 1].isObject;
            fail("Internal error: [{}] objectsIndex > {}, resize failed? {} line #{}", inObject ? "dictionary" : "array",
                 stack_.capacity() - 4, __FILE__, __LINE__);
        } else {
            failText("Internal error: Object == NULL.");
        }
        return makeError();
    }
}

Result<Value> Parser::parseDocumentUnguarded() {
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
            ValueAccess::forget(&result, 1);
            return makeError();
        }
        // The result holds the parser's reference to the arena from here on.
        if (ValueAccess::node(result)) arena_->retain();
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
    return parser.parseDocument();
}

void JSONDecoder::clearCache() {
    std::vector<Value>().swap(stack_);
    std::string().swap(tokenBuffer_);
}

Result<Value> JSONDecoder::decode(std::string_view text, JsonParseOptionFlags parseOptions) {
    JSONDecoder decoder(parseOptions);
    return decoder.objectWithUTF8String(text);
}

}  // namespace strombel::json
