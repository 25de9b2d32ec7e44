#include "json/error.h"

#include <vector>

namespace strombel::json {

namespace {

platform::ErrorValue errorValue(const Value& value) {
    switch (value.kind()) {
        case Kind::Null: return {};
        case Kind::Bool: return value.asBool();
        case Kind::Int: return value.asInt64();
        case Kind::UInt: return value.asUInt64();
        case Kind::Double: return value.asDouble();
        case Kind::Decimal:
        case Kind::String: return value.asString();
        case Kind::Array: {
            std::vector<platform::ErrorValue> items;
            items.reserve(value.size());
            for (const Value& item : value.items()) items.push_back(errorValue(item));
            return platform::ErrorValue::array(std::move(items));
        }
        case Kind::Object: return platform::ErrorValue::object(errorInfo(value));
    }
    return {};
}

Value jsonValue(const platform::ErrorValue& value) {
    using ErrorKind = platform::ErrorValue::Kind;
    switch (value.kind()) {
        case ErrorKind::Null: return {};
        case ErrorKind::Bool: return value.asBool();
        case ErrorKind::Int: return static_cast<long long>(value.asInt64());
        case ErrorKind::UInt: return static_cast<unsigned long long>(value.asUInt64());
        case ErrorKind::Double: return value.asDouble();
        case ErrorKind::String: return value.asStringView();
        case ErrorKind::Array: {
            ArrayBuilder items;
            for (const platform::ErrorValue& item : value.items()) items.append(jsonValue(item));
            return std::move(items).build();
        }
        case ErrorKind::Object: return errorDetails(value.members());
    }
    return {};
}

}  // namespace

platform::ErrorInfo errorInfo(const Value& object) {
    platform::ErrorInfo info;
    for (const auto& [key, value] : object.members()) info.set(key.asStringView(), errorValue(value));
    return info;
}

Value errorDetails(const platform::ErrorInfo& info) {
    ObjectBuilder details;
    for (const auto& [key, value] : info) details.set(key, jsonValue(value));
    return std::move(details).build();
}

}  // namespace strombel::json
