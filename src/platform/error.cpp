#include "platform/error.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace strombel::platform {

namespace {

int64_t clampToInt64(double value) {
    if (std::isnan(value)) return 0;
    if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(value);
}

uint64_t clampToUInt64(double value) {
    if (std::isnan(value) || value <= 0) return 0;
    if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(value);
}

template <typename Number>
std::string numberText(Number number) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
    return error == std::errc() ? std::string(buffer, end) : std::string();
}

// How description() shows a detail.
std::string detailText(const ErrorValue& value) {
    switch (value.kind()) {
        case ErrorValue::Kind::Null: return "null";
        case ErrorValue::Kind::Bool: return value.asBool() ? "true" : "false";
        case ErrorValue::Kind::Int: return numberText(value.asInt64());
        case ErrorValue::Kind::UInt: return numberText(value.asUInt64());
        case ErrorValue::Kind::Double: return numberText(value.asDouble());
        case ErrorValue::Kind::String: return value.asString();
        case ErrorValue::Kind::Array: return "(array of " + std::to_string(value.items().size()) + ")";
        case ErrorValue::Kind::Object: return "(object of " + std::to_string(value.members().size()) + ")";
    }
    return {};
}

}  // namespace

ErrorValue ErrorValue::array(std::vector<ErrorValue> items) {
    ErrorValue value;
    value.storage_ = std::make_shared<const std::vector<ErrorValue>>(std::move(items));
    return value;
}

ErrorValue ErrorValue::object(ErrorInfo members) {
    ErrorValue value;
    value.storage_ = std::make_shared<const ErrorInfo>(std::move(members));
    return value;
}

bool ErrorValue::asBool(bool fallback) const noexcept {
    switch (kind()) {
        case Kind::Bool: return std::get<bool>(storage_);
        case Kind::Int: return std::get<int64_t>(storage_) != 0;
        case Kind::UInt: return std::get<uint64_t>(storage_) != 0;
        case Kind::Double: return std::get<double>(storage_) != 0.0;
        default: return fallback;
    }
}

int64_t ErrorValue::asInt64(int64_t fallback) const noexcept {
    switch (kind()) {
        case Kind::Bool: return std::get<bool>(storage_) ? 1 : 0;
        case Kind::Int: return std::get<int64_t>(storage_);
        case Kind::UInt:
            return static_cast<int64_t>(
                std::min<uint64_t>(std::get<uint64_t>(storage_), std::numeric_limits<int64_t>::max()));
        case Kind::Double: return clampToInt64(std::get<double>(storage_));
        default: return fallback;
    }
}

uint64_t ErrorValue::asUInt64(uint64_t fallback) const noexcept {
    switch (kind()) {
        case Kind::Bool: return std::get<bool>(storage_) ? 1 : 0;
        case Kind::Int: return std::get<int64_t>(storage_) < 0 ? 0 : static_cast<uint64_t>(std::get<int64_t>(storage_));
        case Kind::UInt: return std::get<uint64_t>(storage_);
        case Kind::Double: return clampToUInt64(std::get<double>(storage_));
        default: return fallback;
    }
}

double ErrorValue::asDouble(double fallback) const noexcept {
    switch (kind()) {
        case Kind::Bool: return std::get<bool>(storage_) ? 1.0 : 0.0;
        case Kind::Int: return static_cast<double>(std::get<int64_t>(storage_));
        case Kind::UInt: return static_cast<double>(std::get<uint64_t>(storage_));
        case Kind::Double: return std::get<double>(storage_);
        default: return fallback;
    }
}

std::string ErrorValue::asString(std::string_view fallback) const { return std::string(asStringView(fallback)); }

std::string_view ErrorValue::asStringView(std::string_view fallback) const noexcept {
    const std::string* text = std::get_if<std::string>(&storage_);
    return text ? std::string_view(*text) : fallback;
}

std::span<const ErrorValue> ErrorValue::items() const noexcept {
    const Items* items = std::get_if<Items>(&storage_);
    return items && *items ? std::span<const ErrorValue>(**items) : std::span<const ErrorValue>();
}

const ErrorInfo& ErrorValue::members() const noexcept {
    static const ErrorInfo none;
    const Members* members = std::get_if<Members>(&storage_);
    return members && *members ? **members : none;
}

bool operator==(const ErrorValue& a, const ErrorValue& b) noexcept {
    using Kind = ErrorValue::Kind;
    const bool aInteger = a.kind() == Kind::Int || a.kind() == Kind::UInt;
    const bool bInteger = b.kind() == Kind::Int || b.kind() == Kind::UInt;
    if (aInteger && bInteger) {
        const bool aNegative = a.kind() == Kind::Int && a.asInt64() < 0;
        const bool bNegative = b.kind() == Kind::Int && b.asInt64() < 0;
        if (aNegative || bNegative) return aNegative == bNegative && a.asInt64() == b.asInt64();
        return a.asUInt64() == b.asUInt64();
    }
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Kind::Array: {
            const auto x = a.items(), y = b.items();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i) {
                if (!(x[i] == y[i])) return false;
            }
            return true;
        }
        case Kind::Object: return a.members() == b.members();
        default: return a.storage_ == b.storage_;
    }
}

ErrorInfo::ErrorInfo(std::initializer_list<std::pair<std::string_view, ErrorValue>> members) {
    for (const auto& [key, value] : members) set(key, value);
}

ErrorInfo& ErrorInfo::set(std::string_view key, ErrorValue value) {
    for (auto& member : members_) {
        if (member.first == key) {
            member.second = std::move(value);
            return *this;
        }
    }
    members_.emplace_back(std::string(key), std::move(value));
    return *this;
}

const ErrorValue* ErrorInfo::find(std::string_view key) const noexcept {
    for (const auto& member : members_) {
        if (member.first == key) return &member.second;
    }
    return nullptr;
}

const ErrorValue& ErrorInfo::operator[](std::string_view key) const noexcept {
    static const ErrorValue none;
    const ErrorValue* value = find(key);
    return value ? *value : none;
}

bool operator==(const ErrorInfo& a, const ErrorInfo& b) noexcept {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a) {
        const ErrorValue* other = b.find(key);
        if (!other || !(*other == value)) return false;
    }
    return true;
}

Error Error::make(std::string_view domain, int64_t code, std::string_view message,
                  std::initializer_list<std::pair<std::string_view, ErrorValue>> extra,
                  std::shared_ptr<const Error> underlying) {
    ErrorInfo details;
    details.set(kLocalizedDescriptionKey, ErrorValue(message));
    for (const auto& [key, value] : extra) details.set(key, value);
    return Error{std::string(domain), code, std::move(details), std::move(underlying)};
}

std::string Error::message() const { return userInfo[kLocalizedDescriptionKey].asString(); }

std::string Error::description() const {
    std::string text;
    for (const Error* error = this; error; error = error->underlying.get()) {
        if (error != this) text += " caused by ";
        text += error->domain + " " + numberText(error->code) + ": " + error->message();
        std::string details;
        for (const auto& [key, value] : error->userInfo) {
            if (key == kLocalizedDescriptionKey) continue;
            if (!details.empty()) details += ", ";
            details += key + "=" + detailText(value);
        }
        if (!details.empty()) text += " {" + details + "}";
    }
    return text;
}

bool operator==(const Error& a, const Error& b) {
    if (a.domain != b.domain || a.code != b.code || !(a.userInfo == b.userInfo)) return false;
    if (!a.underlying || !b.underlying) return a.underlying == b.underlying;
    return *a.underlying == *b.underlying;
}

}  // namespace strombel::platform
