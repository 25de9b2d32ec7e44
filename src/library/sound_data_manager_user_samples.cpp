// The user samples: the audio files of the documents folder, scanned for changes
// every few seconds, added, renamed and kept in alphabetical order.

#include "library/sound_data_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <locale.h>
#include <stdio.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cwctype>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "json/utf8.h"
#include "logging/log.h"
#include "platform/audio_file.h"
#include "platform/file_move.h"

namespace strombel::library {
namespace {

/// Decodes one UTF-8 sequence at `at`; 0 bytes when it is not valid.
size_t decodeUtf8(const std::string& text, size_t at, char32_t& codePoint) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    codePoint = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

/// A name as the screens show it: in capitals, every letter of every script
/// (the pads and the library's rows print names so), the sharp s and the Latin
/// ligatures as the two or three capitals they become there ("Straße" shows as
/// "STRASSE"). Bytes that are no UTF-8 stay as they are.
std::string shownName(const std::string& name) {
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    std::string shown;
    shown.reserve(name.size());
    for (size_t at = 0; at < name.size();) {
        const char c = name[at];
        if (static_cast<unsigned char>(c) < 0x80) {
            shown.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
            ++at;
            continue;
        }
        char32_t codePoint = 0;
        const size_t length = decodeUtf8(name, at, codePoint);
        if (length == 0) {
            shown.push_back(c);
            ++at;
            continue;
        }
        at += length;
        switch (codePoint) {
            case 0xDF: shown += "SS"; continue;            // ß
            case 0x149: shown += "\u02BCN"; continue;      // ŉ
            case 0x1F0: shown += "J\u030C"; continue;      // ǰ
            case 0x1E96: shown += "H\u0331"; continue;     // ẖ
            case 0x1E97: shown += "T\u0308"; continue;     // ẗ
            case 0x1E98: shown += "W\u030A"; continue;     // ẘ
            case 0x1E99: shown += "Y\u030A"; continue;     // ẙ
            case 0x1E9A: shown += "A\u02BE"; continue;     // ẚ
            case 0xFB00: shown += "FF"; continue;
            case 0xFB01: shown += "FI"; continue;
            case 0xFB02: shown += "FL"; continue;
            case 0xFB03: shown += "FFI"; continue;
            case 0xFB04: shown += "FFL"; continue;
            case 0xFB05:
            case 0xFB06: shown += "ST"; continue;
            default: break;
        }
        json::utf8::append(shown, unicode ? uint32_t(towupper_l(wint_t(codePoint), unicode)) : uint32_t(codePoint));
    }
    return shown;
}

/// The letters and digits of a name: ASCII letters and digits, and the letters
/// of other scripts; punctuation, symbols and spaces go.
std::string lettersAndDigits(const std::string& name) {
    std::string clean;
    for (size_t at = 0; at < name.size();) {
        unsigned char c = static_cast<unsigned char>(name[at]);
        if (c < 0x80) {
            if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) clean.push_back(name[at]);
            ++at;
            continue;
        }
        char32_t codePoint = 0;
        size_t length = decodeUtf8(name, at, codePoint);
        if (length == 0) {
            ++at;
            continue;
        }
        bool punctuation = codePoint < 0xC0 || codePoint == 0xD7 || codePoint == 0xF7 ||
                           (codePoint >= 0x2000 && codePoint <= 0x2BFF) || (codePoint >= 0x3000 && codePoint <= 0x303F) ||
                           (codePoint >= 0xE000 && codePoint <= 0xF8FF) || (codePoint >= 0xFE00 && codePoint <= 0xFE6F) ||
                           (codePoint >= 0xFF00 && codePoint <= 0xFF0F) || (codePoint >= 0xFF1A && codePoint <= 0xFF20) ||
                           (codePoint >= 0xFF3B && codePoint <= 0xFF40) || (codePoint >= 0xFF5B && codePoint <= 0xFF65) ||
                           codePoint >= 0xFFF0;
        if (!punctuation) clean.append(name, at, length);
        at += length;
    }
    return clean;
}

/// The file name a sample's name gives: the name as typed, less the control
/// characters a name field may let through (a pasted line break).
std::string fileNameOfSampleName(const std::string& name) {
    std::string fileName;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) fileName.push_back(c);
    }
    return fileName;
}

/// A visible file whose extension (the text after the last dot) is an audio type.
bool isAudioFileName(std::string_view name) {
    if (name.empty() || name.front() == '.') return false;
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view extension = name.substr(dot + 1);
    auto is = [extension](std::string_view type) {
        return std::equal(extension.begin(), extension.end(), type.begin(), type.end(),
                          [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    };
    return is("wav") || is("caf") || is("aif") || is("aiff") || is("mp3");
}

/// A file name as the user sees it: control characters (a newline in a name)
/// become spaces.
std::string printableName(std::string name) {
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) c = ' ';
    }
    return name;
}

/// A file's size and change time, to notice that it changed.
std::pair<int64_t, int64_t> fileStamp(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {-1, -1};
    return {int64_t(info.st_size), int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

}  // namespace

void SoundDataManager::makeSureUserSamplesSoundpackExists() {
    auto pack = userSamplesSoundpack();
    if (!pack) {
        STROMBEL_LOG_DEBUG("user samples sound pack does not exist! creating...");
        pack = context_->insertSoundpack();
    }
    const std::string imagePath = (sandbox_.bundle() / "icon152.png").string();
    if (pack->packId() != kUserSamplesPackId) pack->setPackId(kUserSamplesPackId);
    if (pack->name() != "User") pack->setName("User");
    if (pack->imagePath() != imagePath) pack->setImagePath(imagePath);
    saveSamples();
}

std::vector<std::string> SoundDataManager::userSampleFileNames() const {
    // Read with readdir: the entry's own type answers for all but links (and file
    // systems that do not tell), so a folder of thousands of files costs no stat
    // and no path object per entry.
    std::vector<std::string> names;
    const std::string folder = sandbox_.documents().string();
    DIR* directory = ::opendir(folder.c_str());
    if (!directory) return names;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name(entry->d_name);
        if (name.empty() || name.front() == '.') continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            regular = ::fstatat(::dirfd(directory), entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode);
        }
        if (regular && isAudioFileName(name)) names.emplace_back(name);
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> SoundDataManager::findUserSampleFiles() const {
    std::vector<std::string> files = userSampleFileNames();
    const std::string folder = (sandbox_.documents() / "").string();
    for (std::string& name : files) name.insert(0, folder);
    return files;
}

std::shared_ptr<Sample> SoundDataManager::insertUserSample(const std::string& relative) {
    auto sample = context_->insertSample();
    sample->setFilepath(relative);
    sample->setName(printableName(std::filesystem::path(relative).stem().string()));
    sample->setPackOrderId(0);
    sample->setVolume(1.0f);
    sample->setSoundpack(userSamplesSoundpack());
    return sample;
}

std::vector<std::string> SoundDataManager::usableUserSampleFileNames() {
    std::vector<std::string> names = userSampleFileNames();  // sorted
    if (notAudioFiles_.empty()) return names;
    const std::string folder = (sandbox_.documents() / "").string();
    std::erase_if(notAudioFiles_, [&names](const auto& entry) {
        return !std::binary_search(names.begin(), names.end(), entry.first);  // gone
    });
    std::erase_if(names, [&](const std::string& name) {
        auto found = notAudioFiles_.find(name);
        if (found == notAudioFiles_.end()) return false;
        if (found->second == fileStamp(folder + name)) return true;
        notAudioFiles_.erase(found);  // changed: look at it again
        return false;
    });
    return names;
}

void SoundDataManager::scanUserSamplesChanges() {
    // The usual answer is "nothing changed": find it with sorted lists and no
    // copies of the names.
    static constexpr std::string_view kFolder = "Documents/";
    const std::vector<std::string> names = usableUserSampleFileNames();  // sorted
    {
        const auto pack = userSamplesSoundpack();
        const auto inPack = pack ? pack->samplesInPack() : std::vector<std::shared_ptr<Sample>>{};
        if (numUserSamplesInDatabase_ == kNotFound) numUserSamplesInDatabase_ = inPack.size();
        std::vector<std::string_view> knownPaths;
        knownPaths.reserve(inPack.size());
        for (const auto& sample : inPack) knownPaths.push_back(sample->filepath());
        std::sort(knownPaths.begin(), knownPaths.end());
        knownPaths.erase(std::unique(knownPaths.begin(), knownPaths.end()), knownPaths.end());
        const bool same =
            knownPaths.size() == names.size() &&
            std::equal(knownPaths.begin(), knownPaths.end(), names.begin(), [](std::string_view path, const std::string& name) {
                return path.size() == kFolder.size() + name.size() && path.starts_with(kFolder) &&
                       path.substr(kFolder.size()) == name;
            });
        if (same) return;
    }

    std::set<std::string> files;
    for (const std::string& name : names) files.insert(std::string(kFolder) + name);
    auto known = userSamples();
    std::unordered_set<std::string> knownPaths;
    for (const auto& sample : known) knownPaths.insert(sample->filepath());

    STROMBEL_LOG_DEBUG("-- user samples changed --");
    if (!userSamplesSoundpack()) makeSureUserSamplesSoundpackExists();
    for (const std::string& file : files) {
        if (knownPaths.count(file)) continue;
        const std::string name = file.substr(kFolder.size());
        const std::string absolute = (sandbox_.documents() / name).string();
        if (const platform::Result<void> checked = platform::checkSoundFile(absolute); !checked) {
            STROMBEL_LOG_WARN("{} in the documents folder is not added to the user samples: {}", printableName(name),
                              checked.error().message());
            notAudioFiles_[name] = fileStamp(absolute);
            continue;
        }
        STROMBEL_LOG_DEBUG("new user sample, adding: {}", printableName(name));
        insertUserSample(file);
    }
    std::vector<std::string> removed;
    bool padsChanged = false;
    for (const auto& sample : known) {
        if (files.count(sample->filepath())) continue;
        STROMBEL_LOG_DEBUG("user sample was removed: {}", sample->name());
        removed.push_back(sample->filepath());
        padsChanged |= !sample->soundbanks().empty();
        context_->deleteObject(*sample);
    }
    auto list = userSamples();
    applyAlphabetialSortOrderID(list);
    numUserSamplesInDatabase_ = list.size();
    for (const std::string& path : removed) {
        informDelegates([&path](SoundDataManagerDelegate& delegate) { delegate.sampleRemoved(path); });
    }
    saveSamples();
    if (padsChanged) informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
}

bool SoundDataManager::notifyOfNewUserSample(const std::string& relative) {
    if (relative.empty()) return false;
    for (const auto& sample : userSamples()) {
        if (sample->filepath() == relative) return false;
    }
    if (const platform::Result<void> checked = platform::checkSoundFile(sandbox_.root() / relative); !checked) {
        STROMBEL_LOG_WARN("{} is not added to the user samples: {}",
                          printableName(std::filesystem::path(relative).filename().string()), checked.error().message());
        return false;
    }
    STROMBEL_LOG_DEBUG("adding user sample: {}", std::filesystem::path(relative).filename().string());
    if (!userSamplesSoundpack()) makeSureUserSamplesSoundpackExists();
    insertUserSample(relative);
    auto list = userSamples();
    applyAlphabetialSortOrderID(list);
    saveSamples();
    if (numUserSamplesInDatabase_ != kNotFound) ++numUserSamplesInDatabase_;
    return true;
}

std::optional<std::string> SoundDataManager::renameUserSampleWithIdx(uint64_t userSampleIdx,
                                                                    const std::string& newName) {
    renameProblem_.clear();
    auto users = userSamples();
    if (userSampleIdx >= users.size()) return std::nullopt;
    auto sample = users[userSampleIdx];
    const std::string oldPath = sample->filepath();
    if (const std::string problem = userSampleNameProblem(oldPath, newName); !problem.empty()) {
        STROMBEL_LOG_ERROR("could not rename sample file {}: {}", printableName(oldPath), problem);
        renameProblem_ = problem;
        return std::nullopt;
    }
    std::filesystem::path old(oldPath);
    const std::string fileName = fileNameOfSampleName(newName) + old.extension().string();
    const std::string newPath = (old.parent_path() / fileName).generic_string();
    const std::string refused = "'" + printableName(newName) + "' cannot be used as a name: ";

    if (newPath != oldPath) {
        if (!context_->samplesWithFilepath(newPath).empty()) {
            STROMBEL_LOG_ERROR("could not rename sample file to: {} err: {}", printableName(newPath),
                               "another sample has that name");
            renameProblem_ = refused + "the file " + printableName(fileName) + " is another sample's";
            return std::nullopt;
        }
        const std::filesystem::path from = sandbox_.root() / oldPath;
        const std::filesystem::path to = sandbox_.root() / newPath;
        // Never replaces a file that is already there.
        if (const platform::Result<void> moved = platform::moveFileWithoutReplacing(from, to); !moved) {
            const std::string failure = moved.error().message();
            STROMBEL_LOG_ERROR("could not rename sample file to: {} err: {}", printableName(newPath), failure);
            std::error_code ignored;
            renameProblem_ = std::filesystem::exists(to, ignored)
                                 ? refused + "a file " + printableName(fileName) + " is in the documents folder already"
                                 : "The sample could not be renamed to '" + printableName(newName) + "': " + failure;
            return std::nullopt;
        }
    }
    sample->setName(newName);
    sample->setFilepath(newPath);
    STROMBEL_LOG_DEBUG("renamed user sample file to: {}", newPath);
    if (newPath != oldPath) {
        // Patterns in memory name samples by path too. They follow before the
        // save below tells the engine, whose new table has no old path: a
        // pattern playing meanwhile would miss its hits of the sample.
        informDelegates([&](SoundDataManagerDelegate& delegate) { delegate.sampleRenamed(oldPath, newPath); });
    }
    applyAlphabetialSortOrderID(users);
    saveSamples();
    // The pads name samples by path: those showing this one must learn the new one.
    if (newPath != oldPath && !sample->soundbanks().empty()) {
        informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
    }
    return newPath;
}

std::string SoundDataManager::fileNameProblem(const std::string& name) {
    const std::string refused = "'" + printableName(name) + "' cannot be used as a name: ";
    if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos || name == "." || name == "..")
        return refused + "it may not contain '/' or be '.' or '..'";
    if (lettersAndDigits(name).empty()) return refused + "it has no letters or digits";
    // The scan of the documents folder passes hidden files by: such a file would
    // never become a sample.
    if (name.front() == '.') return refused + "a file name beginning with '.' is hidden";
    return {};
}

std::string SoundDataManager::userSampleNameProblem(const std::string& filepath, const std::string& newName) const {
    if (std::string problem = fileNameProblem(newName); !problem.empty()) return problem;
    const std::string refused = "'" + printableName(newName) + "' cannot be used as a name: ";
    const std::string shown = shownName(newName);
    for (const auto& other : userSamples()) {
        if (other->filepath() != filepath && shownName(other->name()) == shown)
            return refused + "another sample is shown as '" + printableName(shown) + "'";
    }
    return {};
}

std::optional<std::string> SoundDataManager::renameUserSampleWithPath(const std::string& filepath,
                                                                     const std::string& newName) {
    auto users = userSamples();
    for (size_t i = 0; i < users.size(); ++i) {
        if (users[i]->filepath() == filepath) return renameUserSampleWithIdx(i, newName);
    }
    return std::nullopt;
}

void SoundDataManager::applyAlphabetialSortOrderID(std::vector<std::shared_ptr<Sample>>& samples) {
    std::vector<std::pair<std::string, std::shared_ptr<Sample>>> keyed;
    keyed.reserve(samples.size());
    for (auto& sample : samples) keyed.emplace_back(shownName(sample->name()), sample);
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < keyed.size(); ++i) {
        samples[i] = keyed[i].second;
        if (samples[i]->packOrderId() != static_cast<int64_t>(i)) samples[i]->setPackOrderId(static_cast<int64_t>(i));
    }
}

}  // namespace strombel::library
