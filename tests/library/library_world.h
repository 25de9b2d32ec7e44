#pragma once

#include <sndfile.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "library/data_migration_manager.h"
#include "library/sound_data_manager.h"
#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "support/temp_dir.h"

namespace strombel::testing {

/// The bundle folder the build wrote (the stock packs and their samples).
inline std::filesystem::path stockBundle() { return STROMBEL_TEST_BUNDLE_DIR; }

/// One user's installation: a sandbox root, settings and a main loop on a manual
/// clock, and the library as the program makes it at each launch.
class LibraryWorld {
public:
    explicit LibraryWorld(std::filesystem::path bundle = stockBundle())
        : root_(dir_ / "root"), bundle_(std::move(bundle)), sandbox_(root_, bundle_, dir_ / "Trash") {
        (void)sandbox_.createFolders();
        openDefaults();
    }
    ~LibraryWorld() { quit(); }

    /// Starts the program: the library and the start-up migration.
    library::SoundDataManager& launch(bool migrate = true) {
        quit();
        library_ = std::make_unique<library::SoundDataManager>(sandbox_, *defaults_, loop_);
        if (migrate) library::DataMigrationManager::makeDataUpToDate(*library_);
        return *library_;
    }
    /// Ends the program (settings are reopened from their file at the next launch).
    void quit() {
        library_.reset();
        loop_.runPending();
        openDefaults();
    }

    library::SoundDataManager& library() { return *library_; }
    platform::UserDefaults& defaults() { return *defaults_; }
    platform::MainLoop& loop() { return loop_; }
    platform::Sandbox& sandbox() { return sandbox_; }
    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path documents() const { return root_ / "Documents"; }
    std::filesystem::path storeFile() const { return documents() / library::SoundDataManager::kStoreFileName; }
    const std::filesystem::path& bundle() const { return bundle_; }
    const TempDir& dir() const { return dir_; }

    /// Lets `seconds` of the program's time pass.
    void wait(double seconds) { loop_.advance(static_cast<uint64_t>(seconds * 1e9)); }

    /// Puts a file into the documents folder as a user would: a short sound in the
    /// format its extension names (WAVE, AIFF, CAF, MP3), or `bytes` as they are.
    std::filesystem::path dropFile(const std::string& name, const std::string& bytes = {}) {
        std::filesystem::path path = documents() / name;
        std::string extension = path.extension().string();
        for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
        int format = 0;
        if (extension == ".wav") format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        if (extension == ".aif" || extension == ".aiff") format = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
        if (extension == ".caf") format = SF_FORMAT_CAF | SF_FORMAT_PCM_16;
        if (extension == ".mp3") format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
        if (!bytes.empty() || format == 0) {
            std::ofstream(path, std::ios::binary) << (bytes.empty() ? std::string("RIFF") : bytes);
            return path;
        }
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 1;
        info.format = format;
        if (SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info)) {
            std::vector<float> samples(4410);
            for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.5f * float(std::sin(double(i) * 0.05));
            sf_writef_float(file, samples.data(), sf_count_t(samples.size()));
            sf_close(file);
        }
        return path;
    }

private:
    void openDefaults() {
        defaults_.reset();
        defaults_ = std::make_unique<platform::UserDefaults>(root_ / "Library" / "Preferences" / "defaults.sqlite");
    }

    TempDir dir_;
    std::filesystem::path root_;
    std::filesystem::path bundle_;
    platform::ManualClock clock_;
    platform::MainLoop loop_{clock_};
    platform::Sandbox sandbox_;
    std::unique_ptr<platform::UserDefaults> defaults_;
    std::unique_ptr<library::SoundDataManager> library_;
};

/// Records what the library tells its observers.
class RecordingObserver : public library::SoundDataManagerDelegate {
public:
    void sampleRemoved(const std::string& filepath) override { removed.push_back(filepath); }
    void samplesChanged() override { ++samplesChangedCount; }
    void soundbanksChanged() override { ++soundbanksChangedCount; }

    std::vector<std::string> removed;
    int samplesChangedCount = 0;
    int soundbanksChangedCount = 0;
};

}  // namespace strombel::testing
