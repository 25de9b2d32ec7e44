#include "store/store_catalogue.h"

#include <algorithm>
#include <unordered_set>

#include <fmt/format.h>

#include "json/json_decoder.h"
#include "library/pack_file.h"
#include "logging/log.h"
#include "platform/byte_count.h"

namespace strombel::store {
namespace {

/// Reads an optional string member; false when it is there with another type.
bool optionalString(const json::Value& object, std::string_view key, std::string& out) {
    const json::Value* value = object.find(key);
    if (!value || value->isNull()) return true;
    if (!value->isString()) return false;
    out = value->asString();
    return true;
}

/// The item of one catalogue entry, or why it is skipped.
platform::Result<library::StoreItem> readItem(const json::Value& entry, const CatalogueContext& context) {
    auto skip = [](const std::string& why) { return storeError(StoreErrorBadFile, why); };
    if (!entry.isObject()) return skip("an entry is not an object");
    library::StoreItem item;
    const json::Value* id = entry.find("id");
    if (!id || !id->isString() || !library::isPlainFileName(id->asStringView())) {
        return skip("an entry has no usable \"id\"");
    }
    item.identifier = id->asString();
    std::string icon;
    if (!optionalString(entry, "title", item.title) || !optionalString(entry, "description", item.descriptionText) ||
        !optionalString(entry, "contents", item.contents) || !optionalString(entry, "icon", icon)) {
        return skip(fmt::format("item {}: a text member is not a string", item.identifier));
    }
    if (!icon.empty()) {
        if (!library::isPlainFileName(icon)) return skip(fmt::format("item {}: its icon is not a plain file name", item.identifier));
        item.iconURL = joinURL(context.settings.iconBaseURL, icon);
    }
    const json::Value* files = entry.find("files");
    if (!files || !files->isArray()) return skip(fmt::format("item {}: \"files\" is not a list", item.identifier));
    size_t packs = 0;
    for (const json::Value& file : files->items()) {
        if (!file.isString() || !library::isPlainFileName(file.asStringView())) {
            return skip(fmt::format("item {}: a file is not a plain file name", item.identifier));
        }
        std::string name = file.asString();
        if (std::find(item.contentFiles.begin(), item.contentFiles.end(), name) != item.contentFiles.end()) continue;
        if (name.ends_with(".pack") && !isPackFileName(name)) {
            return skip(fmt::format("item {}: \".pack\" alone is not the name of a pack", item.identifier));
        }
        if (isPackFileName(name)) ++packs;
        item.contentURLs.push_back(joinURL(context.settings.baseURL, name));
        item.contentFiles.push_back(std::move(name));
    }
    if (packs != 1) return skip(fmt::format("item {}: its files hold {} \".pack\" files, not one", item.identifier, packs));
    const auto& stock = context.stockSoundPackIds;
    item.stockPack = std::find(stock.begin(), stock.end(), item.identifier) != stock.end();
    if (context.packInstalled && context.packInstalled(item.identifier)) item.state = library::StoreItem::kStateInstalled;
    return item;
}

}  // namespace

bool isPackFileName(std::string_view name) { return name.size() > 5 && name.ends_with(".pack"); }

platform::Error storeError(StoreErrorCode code, std::string_view message) {
    return platform::Error::make(kStoreErrorDomain, code, message);
}

platform::Result<std::vector<library::StoreItem>> decodeStoreItems(std::string_view text, const CatalogueContext& context) {
    if (text.size() > kMaximumCatalogueSize) {
        return storeError(StoreErrorTooLarge, fmt::format("The store's catalogue is larger than {}", platform::byteCountText(kMaximumCatalogueSize)));
    }
    auto decoded = json::objectFromJSONString(text);
    if (!decoded.ok()) {
        return platform::Error::make(kStoreErrorDomain, StoreErrorNotJson, "The store's catalogue is not JSON", {},
                                     std::make_shared<const platform::Error>(decoded.error()));
    }
    if (!decoded.value().isArray()) return storeError(StoreErrorNotAList, "The store's catalogue is not a list");
    std::vector<library::StoreItem> items;
    std::unordered_set<std::string> seen;
    for (const json::Value& entry : decoded.value().items()) {
        auto item = readItem(entry, context);
        if (!item.ok()) {
            STROMBEL_LOG_WARN("store catalogue: skipping an item: {}", item.error().message());
            continue;
        }
        if (!seen.insert(item.value().identifier).second) {
            STROMBEL_LOG_WARN("store catalogue: skipping a second item {}", item.value().identifier);
            continue;
        }
        items.push_back(std::move(item).value());
    }
    return items;
}

}  // namespace strombel::store
