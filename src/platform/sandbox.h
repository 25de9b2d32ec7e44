#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace strombel::platform {

/// The domain of a folder of the sandbox that could not be made (code 1).
inline constexpr std::string_view kSandboxErrorDomain = "SandboxErrorDomain";

/// The program's folders: a root holding "Documents", "Library/Caches" and
/// "Library/Preferences", and the bundle folder with the resources that ship.
/// Sample paths are stored relative to the root; a path whose first component
/// ends in ".app" names a file of the bundle.
class Sandbox {
public:
    /// The bundle's folder name as it appears in stored relative paths.
    static constexpr const char* kBundleFolderName = "Tumblecraft.app";

    /// A sandbox whose user files, when removed, go to the trash at `trash`
    /// (the desktop's own unless given).
    Sandbox(std::filesystem::path root, std::filesystem::path bundle, std::filesystem::path trash = {});

    /// The program's sandbox; until `setShared` is called, one made from
    /// `defaultRoot()` and `defaultBundle()`.
    static Sandbox& shared();
    static void setShared(std::unique_ptr<Sandbox> sandbox);

    /// $STROMBEL_ROOT, else $XDG_DATA_HOME/strombel, else ~/.local/share/strombel.
    static std::filesystem::path defaultRoot();
    /// $STROMBEL_BUNDLE, else the bundle folder the build wrote.
    static std::filesystem::path defaultBundle();
    /// Why `bundle` is not a bundle folder (missing, or without the "Info.plist"
    /// the build writes into it), in words that say where it was looked for and
    /// how to mend it; empty when it is one.
    static std::string bundleProblem(const std::filesystem::path& bundle);
    /// The value of "--root DIR" or "--root=DIR" among the arguments, if any.
    static std::optional<std::filesystem::path> rootFromArguments(int argc, const char* const* argv);

    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& bundle() const { return bundle_; }
    std::filesystem::path documents() const { return root_ / "Documents"; }
    std::filesystem::path library() const { return root_ / "Library"; }
    std::filesystem::path caches() const { return root_ / "Library" / "Caches"; }
    std::filesystem::path preferences() const { return root_ / "Library" / "Preferences"; }
    /// The desktop's trash folder, where the user's own files go when removed.
    const std::filesystem::path& trash() const { return trash_; }

    /// Creates the root's folders; when it cannot (nothing thrown), an Error of
    /// kSandboxErrorDomain whose message says which folder and why, with the
    /// system's error under it.
    Result<void> createFolders() const;

    /// The absolute path of a stored relative path: bundle files resolve to the
    /// bundle's resource with the same last component, everything else to the root.
    std::filesystem::path absolutePath(const std::string& relativePath) const;

private:
    std::filesystem::path root_;
    std::filesystem::path bundle_;
    std::filesystem::path trash_;
};

}  // namespace strombel::platform
