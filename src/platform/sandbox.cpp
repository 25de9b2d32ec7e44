#include "platform/sandbox.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/posix_error.h"
#include "platform/trash.h"

#ifndef STROMBEL_BUNDLE_DIR
#define STROMBEL_BUNDLE_DIR "Tumblecraft.app"
#endif

namespace strombel::platform {
namespace {

std::mutex sharedMutex;
std::unique_ptr<Sandbox>& sharedSlot() {
    static std::unique_ptr<Sandbox> sandbox;
    return sandbox;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

}  // namespace

Sandbox::Sandbox(std::filesystem::path root, std::filesystem::path bundle, std::filesystem::path trash)
    : root_(std::move(root)), bundle_(std::move(bundle)),
      trash_(trash.empty() ? Trash::defaultFolder() : std::move(trash)) {}

Sandbox& Sandbox::shared() {
    std::lock_guard lock(sharedMutex);
    auto& slot = sharedSlot();
    if (!slot) slot = std::make_unique<Sandbox>(defaultRoot(), defaultBundle());
    return *slot;
}

void Sandbox::setShared(std::unique_ptr<Sandbox> sandbox) {
    std::lock_guard lock(sharedMutex);
    sharedSlot() = std::move(sandbox);
}

std::filesystem::path Sandbox::defaultRoot() {
    if (std::string root = environment("STROMBEL_ROOT"); !root.empty()) return root;
    if (std::string data = environment("XDG_DATA_HOME"); !data.empty()) {
        return std::filesystem::path(data) / "strombel";
    }
    if (std::string home = environment("HOME"); !home.empty()) {
        return std::filesystem::path(home) / ".local" / "share" / "strombel";
    }
    return std::filesystem::temp_directory_path() / "strombel";
}

std::filesystem::path Sandbox::defaultBundle() {
    if (std::string bundle = environment("STROMBEL_BUNDLE"); !bundle.empty()) return bundle;
    return STROMBEL_BUNDLE_DIR;
}

std::string Sandbox::bundleProblem(const std::filesystem::path& bundle) {
    std::error_code error;
    std::string what;
    if (!std::filesystem::is_directory(bundle, error)) {
        what = "does not exist";
    } else if (!std::filesystem::is_regular_file(bundle / "Info.plist", error)) {
        what = "holds no Info.plist, so it is not the folder the build makes";
    } else {
        return {};
    }
    const bool fromEnvironment = !environment("STROMBEL_BUNDLE").empty();
    return "the bundle folder " + bundle.string() + (fromEnvironment ? " (STROMBEL_BUNDLE) " : " ") + what +
           ": Strombel starts without its stock sounds, metronome and pictures. " +
           (fromEnvironment ? "Set STROMBEL_BUNDLE to the build's Tumblecraft.app folder, or unset it."
                            : "Build it with scripts/build --target stock_content_bundle (scripts/run does).");
}

std::optional<std::filesystem::path> Sandbox::rootFromArguments(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) return std::filesystem::path(argv[i + 1]);
        if (std::strncmp(argv[i], "--root=", 7) == 0) return std::filesystem::path(argv[i] + 7);
    }
    return std::nullopt;
}

Result<void> Sandbox::createFolders() const {
    std::error_code error;
    for (const auto& folder : {documents(), caches(), preferences()}) {
        std::filesystem::create_directories(folder, error);
        if (error) {
            return Error::causedBy(kSandboxErrorDomain, 1,
                                   "the folder " + folder.string() + " cannot be made: " + error.message(),
                                   posixError(error.value(), error.message()));
        }
    }
    return {};
}

std::filesystem::path Sandbox::absolutePath(const std::string& relativePath) const {
    std::filesystem::path relative(relativePath);
    auto first = relative.begin();
    if (first != relative.end() && first->string().ends_with(".app")) {
        return bundle_ / relative.filename();
    }
    return root_ / relative;
}

}  // namespace strombel::platform
