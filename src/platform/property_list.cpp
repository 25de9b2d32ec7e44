#include "platform/property_list.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "json/utf8.h"
#include "platform/plist_guard.h"

namespace strombel::platform {

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPointer = std::unique_ptr<void, PlistFree>;

json::Error plistError(int64_t code, std::string_view message) {
    return json::Error::make(kPropertyListErrorDomain, code, message);
}

bool isUtf8(std::string_view text) { return json::utf8::repaired(text) == text; }

json::Result<json::Value> toValue(plist_t node, int depth) {
    if (depth > kMaximumPropertyListDepth) return plistError(2, "The property list is nested too deeply");
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return json::Value(value != 0);
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            // The stored integers are signed; libplist hands them out as their bits.
            return json::Value(static_cast<long long>(value));
        }
        case PLIST_UID: {
            uint64_t value = 0;
            plist_get_uid_val(node, &value);
            return json::Value(static_cast<unsigned long long>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return json::Value(value);
        }
        case PLIST_DATE: {
            int32_t seconds = 0;
            int32_t micros = 0;
            plist_get_date_val(node, &seconds, &micros);
            return json::Value(static_cast<double>(seconds) + micros / 1e6);
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return json::Value(json::utf8::repaired(std::string_view(text ? text : "", text ? static_cast<size_t>(length) : 0)));
        }
        case PLIST_DATA: {
            uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            return json::Value(std::string_view(bytes ? bytes : "", bytes ? static_cast<size_t>(length) : 0));
        }
        case PLIST_ARRAY: {
            uint32_t count = plist_array_get_size(node);
            std::vector<json::Value> items;
            items.reserve(count);
            for (uint32_t i = 0; i < count; ++i) {
                plist_t item = plist_array_get_item(node, i);
                if (!item) return plistError(2, "The property list's array has a hole");
                json::Result<json::Value> converted = toValue(item, depth + 1);
                if (!converted.ok()) return converted;
                items.push_back(std::move(converted).value());
            }
            return json::Value::array(std::move(items));
        }
        case PLIST_DICT: {
            std::vector<std::pair<std::string, json::Value>> members;
            members.reserve(plist_dict_get_size(node));
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iterator, &key, &item);
                if (!item) {
                    std::free(key);
                    break;
                }
                std::string name = json::utf8::repaired(key ? key : "");
                std::free(key);
                json::Result<json::Value> converted = toValue(item, depth + 1);
                if (!converted.ok()) {
                    std::free(iterator);
                    return converted;
                }
                members.emplace_back(std::move(name), std::move(converted).value());
            }
            std::free(iterator);
            return json::Value::object(std::move(members));
        }
        default:
            return plistError(2, "The property list holds a value of an unknown type");
    }
}

json::Result<PlistPointer> toNode(const json::Value& value, int depth) {
    if (depth > kMaximumPropertyListDepth) return plistError(3, "The value is nested too deeply for a property list");
    switch (value.kind()) {
        case json::Kind::Null:
            return plistError(3, "A property list has no form for null");
        case json::Kind::Bool:
            return PlistPointer(plist_new_bool(value.asBool() ? 1 : 0));
        case json::Kind::Int:
            return PlistPointer(plist_new_uint(static_cast<uint64_t>(value.asInt64())));
        case json::Kind::UInt:
            return PlistPointer(plist_new_uint(value.asUInt64()));
        case json::Kind::Double:
        case json::Kind::Decimal:
            return PlistPointer(plist_new_real(value.asDouble()));
        case json::Kind::String: {
            std::string_view text = value.asStringView();
            if (text.find('\0') != std::string_view::npos) return plistError(3, "A property list string cannot hold NUL");
            if (!isUtf8(text)) return plistError(3, "A property list string must be UTF-8");
            return PlistPointer(plist_new_string(std::string(text).c_str()));
        }
        case json::Kind::Array: {
            PlistPointer array(plist_new_array());
            for (const json::Value& item : value.items()) {
                json::Result<PlistPointer> node = toNode(item, depth + 1);
                if (!node.ok()) return node;
                plist_array_append_item(array.get(), std::move(node).value().release());
            }
            return array;
        }
        case json::Kind::Object: {
            PlistPointer dictionary(plist_new_dict());
            for (const json::Member& member : value.members()) {
                std::string key = member.key.asString();
                if (key.find('\0') != std::string::npos || !isUtf8(key)) {
                    return plistError(3, "A property list key must be UTF-8 without NUL");
                }
                json::Result<PlistPointer> node = toNode(member.value, depth + 1);
                if (!node.ok()) return node;
                plist_dict_set_item(dictionary.get(), key.c_str(), std::move(node).value().release());
            }
            return dictionary;
        }
    }
    return plistError(3, "The value has no form in a property list");
}

}  // namespace

json::Result<json::Value> propertyListFromData(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return plistError(1, "The property list is empty");
    if (bytes.size() > kMaximumPropertyListSize) return plistError(1, "The property list is too large");
    if (detail::propertyListMayHoldNul(bytes.data(), bytes.size())) {
        return plistError(2, "The property list holds text with a NUL character");
    }
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return plistError(2, "The data is not a property list");
    PlistPointer owner(root);
    return toValue(root, 0);
}

json::Result<std::vector<uint8_t>> propertyListFromValue(const json::Value& value, PropertyListFormat format) {
    json::Result<PlistPointer> root = toNode(value, 0);
    if (!root.ok()) return root.error();
    char* out = nullptr;
    uint32_t length = 0;
    if (format == PropertyListFormat::Binary) {
        plist_to_bin(root.value().get(), &out, &length);
    } else {
        plist_to_xml(root.value().get(), &out, &length);
    }
    if (!out) return plistError(3, "The property list could not be written");
    std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(out), reinterpret_cast<uint8_t*>(out) + length);
    if (format == PropertyListFormat::Binary) {
        plist_to_bin_free(out);
    } else {
        plist_to_xml_free(out);
    }
    return bytes;
}

}  // namespace strombel::platform
