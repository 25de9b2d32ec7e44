#include "platform/property_list.h"

#include <plist/plist.h>

#include <cstring>
#include <memory>

#include "platform/plist_guard.h"

namespace strombel::platform {

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

plist_t toNode(const PropertyValue& value) {
    struct Visitor {
        plist_t operator()(std::monostate) const { return plist_new_string(""); }
        plist_t operator()(bool v) const { return plist_new_bool(v); }
        // libplist keeps integers as 64-bit patterns; negative ones come back whole.
        plist_t operator()(int64_t v) const { return plist_new_uint(static_cast<uint64_t>(v)); }
        plist_t operator()(double v) const { return plist_new_real(v); }
        plist_t operator()(const std::string& v) const { return plist_new_string(v.c_str()); }
        plist_t operator()(const PropertyValue::Data& v) const {
            return plist_new_data(reinterpret_cast<const char*>(v.data()), v.size());
        }
        plist_t operator()(const PropertyValue::Array& v) const {
            plist_t array = plist_new_array();
            for (const auto& item : v) plist_array_append_item(array, toNode(item));
            return array;
        }
        plist_t operator()(const PropertyValue::Dictionary& v) const {
            plist_t dict = plist_new_dict();
            for (const auto& [key, item] : v) plist_dict_set_item(dict, key.c_str(), toNode(item));
            return dict;
        }
    };
    return std::visit(Visitor{}, value.storage());
}

PropertyValue fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return PropertyValue(v != 0);
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return PropertyValue(static_cast<int64_t>(v));
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        return PropertyValue(v);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return PropertyValue(std::string(text ? text : "", text ? length : 0));
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        return PropertyValue(PropertyValue::Data(bytes, bytes + (bytes ? length : 0)));
    }
    case PLIST_ARRAY: {
        PropertyValue::Array array;
        uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) array.push_back(fromNode(plist_array_get_item(node, i)));
        return PropertyValue(std::move(array));
    }
    case PLIST_DICT: {
        PropertyValue::Dictionary dict;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter, &key, &item);
            if (!item) {
                free(key);
                break;
            }
            dict.emplace(key ? key : "", fromNode(item));
            free(key);
        }
        free(iter);
        return PropertyValue(std::move(dict));
    }
    case PLIST_DATE: {
        int32_t seconds = 0, micros = 0;
        plist_get_date_val(node, &seconds, &micros);
        return PropertyValue(static_cast<double>(seconds) + micros / 1e6);
    }
    default:
        return PropertyValue();
    }
}

uint64_t bigEndian(const uint8_t* bytes, size_t size) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
    return value;
}

// Walks the object graph of a binary property list without recursion: every
// offset and reference must stay inside the list, and containers may nest at most
// `maximumDepth` deep. Shared objects are walked once per path, within a budget.
bool binaryGraphIsSound(const uint8_t* bytes, size_t length, int maximumDepth, std::string& error) {
    if (length < 8 + 32) return (error = "too short for a binary property list", false);
    const uint8_t* trailer = bytes + length - 32;
    size_t offsetSize = trailer[6], refSize = trailer[7];
    uint64_t count = bigEndian(trailer + 8, 8), top = bigEndian(trailer + 16, 8), table = bigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 || top >= count ||
        table >= length - 32 || count > (length - 32 - table) / offsetSize) {
        return (error = "binary property list has a damaged trailer", false);
    }
    auto objectOffset = [&](uint64_t index, size_t& offset) {
        offset = static_cast<size_t>(bigEndian(bytes + table + index * offsetSize, offsetSize));
        return offset >= 8 && offset < table;
    };
    struct Pending {
        uint64_t index;
        int depth;
    };
    std::vector<Pending> stack{{top, 0}};
    uint64_t budget = 4 * count + 100000;
    while (!stack.empty()) {
        if (budget-- == 0) return (error = "binary property list refers to its objects too often", false);
        Pending item = stack.back();
        stack.pop_back();
        size_t offset;
        if (!objectOffset(item.index, offset)) return (error = "binary property list has an object outside it", false);
        uint8_t marker = bytes[offset];
        uint8_t kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD) continue;
        if (item.depth >= maximumDepth) return (error = "property list nests too deeply", false);
        uint64_t entries = marker & 0x0F;
        size_t cursor = offset + 1;
        if (entries == 0x0F) {
            if (cursor >= table || (bytes[cursor] >> 4) != 0x1) return (error = "binary property list has a bad count", false);
            size_t intSize = size_t(1) << (bytes[cursor] & 0x0F);
            if (intSize > 8 || cursor + 1 + intSize > table) return (error = "binary property list has a bad count", false);
            entries = bigEndian(bytes + cursor + 1, intSize);
            cursor += 1 + intSize;
        }
        uint64_t refs = kind == 0xD ? entries * 2 : entries;
        if (entries > count * 2 || refs > (table - cursor) / refSize) {
            return (error = "binary property list has a container past its end", false);
        }
        for (uint64_t i = 0; i < refs; ++i) {
            uint64_t child = bigEndian(bytes + cursor + i * refSize, refSize);
            if (child >= count) return (error = "binary property list refers to a missing object", false);
            stack.push_back({child, item.depth + 1});
        }
    }
    return true;
}

// XML lists: counts open containers as the tags go by.
bool xmlDepthIsSound(const uint8_t* bytes, size_t length, int maximumDepth, std::string& error) {
    int depth = 0;
    std::string_view text(reinterpret_cast<const char*>(bytes), length);
    for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
        std::string_view rest = text.substr(at + 1);
        bool closing = rest.starts_with("/");
        if (closing) rest.remove_prefix(1);
        if (!rest.starts_with("array") && !rest.starts_with("dict")) continue;
        size_t close = rest.find('>');
        if (close != std::string_view::npos && close > 0 && rest[close - 1] == '/') continue;  // <array/>
        depth += closing ? -1 : 1;
        if (depth > maximumDepth) return (error = "property list nests too deeply", false);
    }
    return true;
}

}  // namespace

std::optional<std::vector<uint8_t>> PropertyList::toBinary(const PropertyValue& value) {
    PlistPtr node(toNode(value));
    char* out = nullptr;
    uint32_t length = 0;
    plist_to_bin(node.get(), &out, &length);
    if (!out) return std::nullopt;
    std::vector<uint8_t> bytes(out, out + length);
    plist_to_bin_free(out);
    return bytes;
}

std::optional<std::string> PropertyList::toXml(const PropertyValue& value) {
    PlistPtr node(toNode(value));
    char* out = nullptr;
    uint32_t length = 0;
    plist_to_xml(node.get(), &out, &length);
    if (!out) return std::nullopt;
    std::string text(out, length);
    plist_to_xml_free(out);
    return text;
}

Result<PropertyValue> PropertyList::read(const uint8_t* bytes, size_t length) {
    std::string why;
    auto fail = [](std::string_view reason) { return Error::make(kPropertyListErrorDomain, PropertyListNotRead, reason); };
    if (!bytes || length == 0) return fail("empty property list");
    if (length > UINT32_MAX) return fail("property list too large");
    // libplist 2.2 stops the process (a failed assertion) on a dictionary key
    // that holds a NUL character: such lists never reach it.
    if (detail::propertyListMayHoldNul(bytes, length)) return fail("property list holds text with a NUL character");
    bool binary = length >= 8 && std::memcmp(bytes, "bplist00", 8) == 0;
    if (binary ? !binaryGraphIsSound(bytes, length, kMaximumDepth, why)
               : !xmlDepthIsSound(bytes, length, kMaximumDepth, why)) {
        return fail(why);
    }
    plist_t root = nullptr;
    if (binary) {
        plist_from_bin(reinterpret_cast<const char*>(bytes), static_cast<uint32_t>(length), &root);
    } else {
        plist_from_xml(reinterpret_cast<const char*>(bytes), static_cast<uint32_t>(length), &root);
    }
    if (!root) return fail("not a property list");
    PlistPtr owner(root);
    return fromNode(root);
}

}  // namespace strombel::platform
