#include "json/error.h"

#include <fmt/format.h>

#include <vector>

namespace strombel::json {

namespace {

std::string detailText(const Value& value) {
    switch (value.kind()) {
        case Kind::Null: return "null";
        case Kind::Bool: return value.asBool() ? "true" : "false";
        case Kind::Int: return fmt::format("{}", value.asInt64());
        case Kind::UInt: return fmt::format("{}", value.asUInt64());
        case Kind::Double: return fmt::format("{}", value.asDouble());
        case Kind::Decimal:
        case Kind::String: return value.asString();
        case Kind::Array:
        case Kind::Object: return fmt::format("({} of {})", kindName(value.kind()), value.size());
    }
    return {};
}

}  // namespace

Error Error::make(std::string_view domain, int64_t code, std::string_view message,
                  std::initializer_list<std::pair<std::string_view, Value>> extra,
                  std::shared_ptr<const Error> underlying) {
    ObjectBuilder details;
    details.set(kLocalizedDescriptionKey, Value(message));
    for (const auto& [key, value] : extra) details.set(key, value);
    return Error{std::string(domain), code, std::move(details).build(), std::move(underlying)};
}

std::string Error::message() const { return userInfo[kLocalizedDescriptionKey].asString(); }

std::string Error::description() const {
    std::string text;
    for (const Error* error = this; error; error = error->underlying.get()) {
        if (error != this) text += " caused by ";
        text += fmt::format("{} {}: {}", error->domain, error->code, error->message());
        std::vector<std::string> details;
        for (const auto& [key, value] : error->userInfo.members()) {
            if (key.asStringView() == kLocalizedDescriptionKey) continue;
            details.push_back(fmt::format("{}={}", key.asStringView(), detailText(value)));
        }
        if (!details.empty()) text += fmt::format(" {{{}}}", fmt::join(details, ", "));
    }
    return text;
}

bool operator==(const Error& a, const Error& b) {
    if (a.domain != b.domain || a.code != b.code || !(a.userInfo == b.userInfo)) return false;
    if (!a.underlying || !b.underlying) return a.underlying == b.underlying;
    return *a.underlying == *b.underlying;
}

}  // namespace strombel::json
