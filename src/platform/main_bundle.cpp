#include "platform/main_bundle.h"

#include <plist/plist.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>

#include "platform/sandbox.h"

namespace strombel::platform {

struct MainBundle::Dictionary {
    plist_t root = nullptr;
    ~Dictionary() {
        if (root) plist_free(root);
    }
};

namespace {

std::mutex bundleMutex;
std::unique_ptr<MainBundle>& bundleSlot() {
    static std::unique_ptr<MainBundle> bundle;
    return bundle;
}

// Information files are small; anything larger is not one.
constexpr std::uintmax_t kMaximumInfoFileSize = 4 * 1024 * 1024;

std::optional<std::string> stringOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text) return std::nullopt;
    return std::string(text, static_cast<size_t>(length));
}

std::vector<std::string> stringsOf(plist_t node) {
    std::vector<std::string> result;
    if (!node || plist_get_node_type(node) != PLIST_ARRAY) return result;
    uint32_t count = plist_array_get_size(node);
    for (uint32_t i = 0; i < count; ++i) {
        if (auto text = stringOf(plist_array_get_item(node, i))) result.push_back(std::move(*text));
    }
    return result;
}

// A resource name is one path component: no separators, not "." or "..".
bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

}  // namespace

MainBundle::MainBundle(std::filesystem::path folder) : folder_(std::move(folder)), info_(std::make_unique<Dictionary>()) {
    std::filesystem::path file = folder_ / kInfoFileName;
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error) {
        loadError_ = "cannot read " + file.string() + ": " + error.message();
        return;
    }
    if (size > kMaximumInfoFileSize) {
        loadError_ = file.string() + " is too large to be an information file";
        return;
    }
    std::ifstream stream(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (!stream.good() && !stream.eof()) {
        loadError_ = "cannot read " + file.string();
        return;
    }
    plist_t root = nullptr;
    if (!bytes.empty()) plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        if (root) plist_free(root);
        loadError_ = file.string() + " is not a property list holding a dictionary";
        return;
    }
    info_->root = root;
}

MainBundle::~MainBundle() = default;

MainBundle& MainBundle::shared() {
    std::lock_guard lock(bundleMutex);
    auto& slot = bundleSlot();
    if (!slot) slot = std::make_unique<MainBundle>(Sandbox::shared().bundle());
    return *slot;
}

void MainBundle::setShared(std::unique_ptr<MainBundle> bundle) {
    std::lock_guard lock(bundleMutex);
    bundleSlot() = std::move(bundle);
}

const void* MainBundle::find(std::initializer_list<std::string_view> keyPath) const {
    plist_t node = info_->root;
    for (std::string_view key : keyPath) {
        if (!node || plist_get_node_type(node) != PLIST_DICT) return nullptr;
        node = plist_dict_get_item(node, std::string(key).c_str());
    }
    return node;
}

std::optional<std::string> MainBundle::string(std::initializer_list<std::string_view> keyPath) const {
    return stringOf(const_cast<void*>(find(keyPath)));
}

std::vector<std::string> MainBundle::strings(std::initializer_list<std::string_view> keyPath) const {
    return stringsOf(const_cast<void*>(find(keyPath)));
}

std::vector<std::string> MainBundle::urlSchemes() const {
    std::vector<std::string> schemes;
    plist_t types = const_cast<void*>(find({"CFBundleURLTypes"}));
    if (!types || plist_get_node_type(types) != PLIST_ARRAY) return schemes;
    uint32_t count = plist_array_get_size(types);
    for (uint32_t i = 0; i < count; ++i) {
        plist_t type = plist_array_get_item(types, i);
        if (!type || plist_get_node_type(type) != PLIST_DICT) continue;
        for (std::string& scheme : stringsOf(plist_dict_get_item(type, "CFBundleURLSchemes"))) {
            schemes.push_back(std::move(scheme));
        }
    }
    return schemes;
}

std::optional<std::filesystem::path> MainBundle::pathForResource(std::string_view name, std::string_view type) const {
    std::string file(name);
    if (!type.empty()) file += "." + std::string(type);
    if (!isPlainName(name) || !isPlainName(file)) return std::nullopt;
    std::filesystem::path path = folder_ / file;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    return path;
}

std::vector<std::string> MainBundle::resourceNames(std::string_view prefix, std::string_view type) const {
    std::vector<std::string> names;
    std::error_code error;
    std::string suffix = type.empty() ? std::string() : "." + std::string(type);
    for (std::filesystem::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_regular_file(error)) continue;
        std::string file = it->path().filename().string();
        if (file.size() < suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
        std::string stem = file.substr(0, file.size() - suffix.size());
        if (stem.empty() || stem.compare(0, prefix.size(), prefix) != 0) continue;
        names.push_back(std::move(stem));
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace strombel::platform
