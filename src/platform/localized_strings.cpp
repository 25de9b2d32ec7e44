#include "platform/localized_strings.h"

#include <plist/plist.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>

#include "platform/main_bundle.h"
#include "platform/plist_guard.h"

namespace strombel::platform {

namespace {

// A strings table is a few kilobytes; anything far larger is not one.
constexpr std::uintmax_t kMaximumTableSize = 4 * 1024 * 1024;

using Table = std::map<std::string, std::string, std::less<>>;

Table readTable(const std::filesystem::path& file) {
    Table table;
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error || size == 0 || size > kMaximumTableSize) return table;
    std::ifstream stream(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (detail::propertyListMayHoldNul(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) return table;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return table;
    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(root, &iterator);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(root, iterator, &key, &item);
            if (!item) {
                free(key);
                break;
            }
            uint64_t length = 0;
            const char* text = plist_get_node_type(item) == PLIST_STRING ? plist_get_string_ptr(item, &length) : nullptr;
            if (key && text) table.emplace(key, std::string(text, static_cast<size_t>(length)));
            free(key);
        }
        free(iterator);
    }
    plist_free(root);
    return table;
}

const Table& tableFor(const std::filesystem::path& file) {
    static std::mutex mutex;
    static std::map<std::filesystem::path, std::unique_ptr<const Table>> tables;
    std::lock_guard lock(mutex);
    auto found = tables.find(file);
    if (found == tables.end()) found = tables.emplace(file, std::make_unique<const Table>(readTable(file))).first;
    return *found->second;
}

}  // namespace

std::string localizedString(const std::filesystem::path& bundle, std::string_view key, std::string_view value,
                            std::string_view table) {
    std::string name = table.empty() ? std::string("Localizable") : std::string(table);
    if (name.find('/') == std::string::npos && name != "." && name != "..") {
        const Table& texts = tableFor(bundle / (name + ".strings"));
        if (auto found = texts.find(key); found != texts.end()) return found->second;
    }
    return std::string(value.empty() ? key : value);
}

std::string localizedString(const MainBundle& bundle, std::string_view key, std::string_view value,
                            std::string_view table) {
    return localizedString(bundle.bundlePath(), key, value, table);
}

}  // namespace strombel::platform
