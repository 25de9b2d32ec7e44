// Removing samples and packs (their files only inside the library's own
// folders: the user's own go to the trash, downloaded ones are deleted), and making the sample paths of an old library relative.

#include "library/sound_data_manager.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "logging/log.h"
#include "platform/trash.h"

namespace strombel::library {
namespace {

/// True when the first component of a relative path names the bundle folder.
bool isBundlePath(const std::string& filepath) {
    std::filesystem::path path(filepath);
    auto first = path.begin();
    return first != path.end() && path.is_relative() && first->string().size() > 4 &&
           first->string().ends_with(".app");
}

}  // namespace

// ---- Samples and packs ----

bool SoundDataManager::removeSampleWithFilePath(const std::string& filepath) {
    auto sample = sampleWithFilepath(filepath);
    if (!sample) return false;
    return removeSample(sample, true);
}

bool SoundDataManager::mayDeleteFileOf(const std::string& filepath) const {
    std::filesystem::path path(filepath);
    if (path.empty() || !path.is_relative()) return false;
    for (const auto& component : path) {
        if (component == ".." || component == ".") return false;
    }
    std::string generic = path.generic_string();
    std::filesystem::path folder;
    if (generic.starts_with("Documents/") && generic.size() > 10) {
        folder = sandbox_.documents();
    } else if (generic.starts_with(std::string(kDownloadsRelative) + "/") && generic.size() > 25) {
        folder = sandbox_.caches() / "downloads";
    } else {
        return false;
    }
    // The folder the file really lies in (through any symbolic links) must be the
    // library's folder or one inside it.
    std::error_code error;
    std::filesystem::path realFolder = std::filesystem::canonical(folder, error);
    if (error) return false;
    std::filesystem::path realParent = std::filesystem::weakly_canonical((sandbox_.root() / path).parent_path(), error);
    if (error) return false;
    auto [end, _] = std::mismatch(realFolder.begin(), realFolder.end(), realParent.begin(), realParent.end());
    return end == realFolder.end();
}

bool SoundDataManager::isUsersOwnFile(const std::string& filepath) {
    return std::filesystem::path(filepath).generic_string().starts_with("Documents/");
}

bool SoundDataManager::removeSample(const std::shared_ptr<Sample>& sample, bool persist) {
    removalProblem_.clear();
    if (!sample || sample->isDeleted()) return false;
    const std::string filepath = sample->filepath();
    if (!isBundlePath(filepath)) {
        if (mayDeleteFileOf(filepath) && isUsersOwnFile(filepath)) {
            // The user's own recording, paste or file cannot be downloaded again.
            const std::filesystem::path absolute = sandbox_.root() / filepath;
            std::error_code error;
            if (std::filesystem::exists(std::filesystem::symlink_status(absolute, error))) {
                const platform::Result<void> trashed =
                    platform::Trash(sandbox_.trash()).moveToTrash(absolute, std::chrono::system_clock::now());
                if (!trashed) {
                    const std::string why = trashed.error().message();
                    STROMBEL_LOG_WARN("could not move {} to the trash: {}", absolute.string(), why);
                    removalProblem_ = fmt::format("'{}' could not be moved to the trash: {}. The file is kept.",
                                                  sample->name(), why);
                    return false;
                }
                STROMBEL_LOG_INFO("sample file moved to the trash: {}", absolute.string());
            }
        } else if (mayDeleteFileOf(filepath)) {
            std::filesystem::path absolute = sandbox_.root() / filepath;
            std::error_code error;
            bool removed = std::filesystem::remove(absolute, error);
            if (error) {
                STROMBEL_LOG_WARN("WARN: could not remove sample file: {}", absolute.string());
                return false;
            }
            if (removed) {
                STROMBEL_LOG_DEBUG("sample file removed: {}", absolute.string());
            } else {
                STROMBEL_LOG_DEBUG("sample file was already gone: {}", absolute.string());
            }
        } else {
            STROMBEL_LOG_WARN("not removing a file outside the library's folders: {}", filepath);
        }
    }

    informDelegates([&filepath](SoundDataManagerDelegate& delegate) { delegate.sampleRemoved(filepath); });

    const bool wasOnPads = !sample->soundbanks().empty();
    auto pack = sample->soundpack();
    context_->deleteObject(*sample);
    if (pack && pack->sampleCount() == 0 && pack->packId() != kUserSamplesPackId) context_->deleteObject(*pack);
    if (persist) {
        saveSamples();
        if (wasOnPads) informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
    }
    return true;
}

bool SoundDataManager::removeSoundpackAtIndex(uint64_t packIdx) {
    auto packs = soundpacks();
    if (packIdx >= packs.size()) return false;
    auto pack = packs[packIdx];
    auto samplesOfPack = pack->samplesInPack();
    std::sort(samplesOfPack.begin(), samplesOfPack.end(), [](const auto& a, const auto& b) {
        return a->packOrderId() != b->packOrderId() ? a->packOrderId() < b->packOrderId() : a->rowId() < b->rowId();
    });
    bool padsChanged = false;
    bool allRemoved = true;
    for (const auto& sample : samplesOfPack) {
        bool onPads = !sample->soundbanks().empty();
        if (removeSample(sample, false)) padsChanged |= onPads;
        else allRemoved = false;
    }
    // A sample whose file could not be deleted keeps its pack, so that it can be
    // removed again later; the caller hears that the pack stayed.
    if (!pack->isDeleted() && pack->packId() != kUserSamplesPackId && pack->sampleCount() == 0) {
        context_->deleteObject(*pack);
    }
    saveSamples();
    if (padsChanged) informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
    return allRemoved;
}

// ---- Migration ----

bool SoundDataManager::makeSamplePathsRelative() {
    STROMBEL_LOG_DEBUG("Making sample paths relative...");
    for (const auto& sample : samples()) {
        const std::string& path = sample->filepath();
        if (!path.starts_with("/var/mobile/Applications/")) continue;
        STROMBEL_LOG_DEBUG("converting sample to relative path from: {}", path);
        std::vector<std::string> components;
        for (size_t at = 0; at <= path.size();) {
            size_t slash = path.find('/', at);
            if (slash == std::string::npos) slash = path.size();
            if (slash > at) components.push_back(path.substr(at, slash - at));
            at = slash + 1;
        }
        // Whole components only: "MyDocuments" is not the documents folder.
        auto findComponent = [&](const std::string& name) {
            return std::find(components.begin(), components.end(), name);
        };
        auto start = findComponent("Documents");
        const char* which = "DOCUMENTS path";
        if (start == components.end()) {
            start = findComponent(platform::Sandbox::kBundleFolderName);
            which = nullptr;
        }
        if (start == components.end()) {
            which = "CACHES path";
            for (auto it = components.begin(); it + 2 < components.end(); ++it) {
                if (*it == "Library" && *(it + 1) == "Caches" && *(it + 2) == "downloads") {
                    start = it;
                    break;
                }
            }
        }
        if (start == components.end()) continue;
        std::string relative;
        for (auto it = start; it != components.end(); ++it) relative += (relative.empty() ? "" : "/") + *it;
        sample->setFilepath(relative);
        STROMBEL_LOG_DEBUG("changed path to: {}", relative);
        if (which) STROMBEL_LOG_DEBUG("{}", which);
    }
    return saveSamples();
}

}  // namespace strombel::library
