#pragma once

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace strombel::platform {

/// The application's bundle: its folder, the resources in it, and the information
/// dictionary read once from its "Info.plist" (an XML or binary property list).
/// Read-only after construction, so any thread may ask it.
class MainBundle {
public:
    /// The information file's name inside the bundle folder.
    static constexpr const char* kInfoFileName = "Info.plist";

    /// Reads `folder`/"Info.plist". A missing or unreadable file leaves the
    /// dictionary empty (every key absent) and says why in `loadError()`.
    explicit MainBundle(std::filesystem::path folder);
    ~MainBundle();
    MainBundle(const MainBundle&) = delete;
    MainBundle& operator=(const MainBundle&) = delete;

    /// The program's bundle, read from `Sandbox::shared().bundle()` on first use.
    static MainBundle& shared();
    /// For tests and the program's start: replaces the shared bundle.
    static void setShared(std::unique_ptr<MainBundle> bundle);

    const std::filesystem::path& bundlePath() const { return folder_; }
    /// Empty when the information file was read; otherwise what went wrong.
    const std::string& loadError() const { return loadError_; }

    /// "CFBundleIdentifier".
    std::optional<std::string> identifier() const { return string({"CFBundleIdentifier"}); }
    /// "CFBundleVersion".
    std::optional<std::string> version() const { return string({"CFBundleVersion"}); }
    /// "CFBundleName".
    std::optional<std::string> name() const { return string({"CFBundleName"}); }
    /// "CFBundleDisplayName".
    std::optional<std::string> displayName() const { return string({"CFBundleDisplayName"}); }
    /// "CFBundleExecutable".
    std::optional<std::string> executable() const { return string({"CFBundleExecutable"}); }

    /// The string at a path of dictionary keys (for example {"CFBundleIcons",
    /// "CFBundlePrimaryIcon", "CFBundleIconFile"}); absent when any step is missing
    /// or the value is not a string.
    std::optional<std::string> string(std::initializer_list<std::string_view> keyPath) const;
    /// The strings of the array at a path of keys, in order; entries that are not
    /// strings are skipped; empty when the value is missing or not an array.
    std::vector<std::string> strings(std::initializer_list<std::string_view> keyPath) const;
    /// Every URL scheme the bundle registers ("CFBundleURLTypes", each dictionary's
    /// "CFBundleURLSchemes"), in order; entries of the wrong type are skipped.
    std::vector<std::string> urlSchemes() const;

    /// The file "name.type" at the top of the bundle folder (`type` empty: "name"),
    /// absent when there is no such regular file or the name would leave the folder.
    std::optional<std::filesystem::path> pathForResource(std::string_view name, std::string_view type) const;
    /// The names (without extension) of top-level resources of `type` whose name
    /// begins with `prefix`, sorted.
    std::vector<std::string> resourceNames(std::string_view prefix, std::string_view type) const;

private:
    struct Dictionary;
    const void* find(std::initializer_list<std::string_view> keyPath) const;

    std::filesystem::path folder_;
    std::string loadError_;
    std::unique_ptr<Dictionary> info_;
};

}  // namespace strombel::platform
