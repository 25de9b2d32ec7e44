#pragma once

// Header fields of requests and answers: names compare without regard to case,
// as HTTP wants; a name that comes twice keeps both values joined by ", ".

#include <map>
#include <string>
#include <string_view>

namespace strombel::http {

/// Orders header names without regard to ASCII case.
struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

/// Header fields by name; lookups ignore case, the names keep the case they came with.
using HttpHeaders = std::map<std::string, std::string, CaseInsensitiveLess>;

/// True when the two names are equal without regard to ASCII case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

/// The same fields with every name in lower case.
std::map<std::string, std::string> lowercasedHeaders(const HttpHeaders& headers);

/// Adds `value` under `name`, joining it to an earlier value with ", ". Returns
/// the field.
HttpHeaders::iterator appendHeaderValue(HttpHeaders& headers, std::string_view name, std::string_view value);

/// The value of `name`, or "" when the field is absent. Valid while the field is.
const std::string& headerValue(const HttpHeaders& headers, std::string_view name);

/// `line` without blanks at either end and without its line end.
std::string_view trimmedLine(std::string_view line);

/// One line of an answer's header block: a field, the continuation of the field
/// before it (a line that starts with a blank), the blank line that ends the
/// block, or nothing usable.
struct HeaderLine {
    enum class Kind { Field, Continuation, End, Other };
    Kind kind = Kind::Other;
    std::string_view name;   // a field's name
    std::string_view value;  // a field's value, or a continuation's text
};
HeaderLine readHeaderLine(std::string_view line);

/// The fields of a header block: the lines after the status line, each ending in a
/// line feed. A repeated field joins its values with ", ", a continuation joins its
/// field's value with " ", any other line is left out.
HttpHeaders parseHeaderBlock(std::string_view block);

/// True when the comma-separated list in `value` holds `token` (case ignored),
/// as "no-store" in "private, no-store".
bool headerListContains(std::string_view value, std::string_view token);

}  // namespace strombel::http
