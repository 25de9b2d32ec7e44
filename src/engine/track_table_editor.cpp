// Building and changing the track tables on the main loop.

#include "engine/track_table_editor.h"

#include <algorithm>
#include <string_view>

#include "logging/log.h"
#include "platform/not_found.h"
#include "platform/thread_role.h"

namespace strombel::engine {

namespace {

bool hasSample(const SoundLibrary& library, const std::string& path) {
    const std::vector<LibrarySample> samples = library.samples();
    return std::any_of(samples.begin(), samples.end(), [&](const LibrarySample& sample) { return sample.filePath == path; });
}

}  // namespace

TrackTableEditor::TrackTableEditor(TrackTables& tables, const platform::Sandbox& sandbox, const platform::Clock& clock,
                                   const std::atomic<double>& sampleRate, std::vector<std::string> metronomePaths,
                                   std::function<void()> stopHeldSilent,
                                   std::function<void(const std::shared_ptr<Track>&, bool force)> requestLoad)
    : tables_(tables),
      sandbox_(sandbox),
      clock_(clock),
      sampleRate_(sampleRate),
      metronomePaths_(std::move(metronomePaths)),
      stopHeldSilent_(std::move(stopHeldSilent)),
      requestLoad_(std::move(requestLoad)) {}

std::shared_ptr<const TrackTableEditor::Tables> TrackTableEditor::rebuild(const SoundLibrary* library) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    std::shared_ptr<const Tables> old = tables_.current();
    auto tables = tables_.edit();
    auto& table = tables->tracksByFilePath;
    table.clear();
    // A solo whose sample has gone from the library goes with it.
    if (soloSampleFilePath_ && !(library && hasSample(*library, *soloSampleFilePath_)))
        endSolo(old->tracksByFilePath);
    auto load = [&](const std::string& path) -> std::shared_ptr<Track> {
        auto track = makeTrack(path, old->tracksByFilePath);
        if (track) table[path] = track;
        return track;
    };
    if (library) {
        for (const LibrarySample& sample : library->samples()) {
            if (auto track = load(sample.filePath)) track->setVolume(sample.volume);
        }
    }
    for (const std::string& path : metronomePaths_) load(path);
    holdOffPadSamples(*tables);
    tables_.publish(tables);
    return tables;
}

std::shared_ptr<Track> TrackTableEditor::makeTrack(const std::string& path, const TrackTable& previous,
                                                   const std::string* renamedFrom) const {
    auto track = std::make_shared<Track>(sampleRate_.load(), clock_);
    if (!track->prepareWithFile(path, sandbox_)) {
        STROMBEL_LOG_ERROR("track not loaded: {}", path);
        return nullptr;
    }
    // What the user set outlives the track: a mute, and under a solo every
    // other track's silence (a sample new to the table included). So do the
    // frames, unless the file changed: a rebuilt table plays at once.
    const auto found = previous.find(renamedFrom ? *renamedFrom : path);
    if (soloSampleFilePath_) {
        track->setMuted(path != *soloSampleFilePath_);
    } else if (found != previous.end()) {
        track->setMuted(found->second->muted());
    }
    if (found != previous.end()) track->adoptFramesOf(*found->second, renamedFrom != nullptr);
    return track;
}

void TrackTableEditor::put(const std::string& path, const std::shared_ptr<Track>& track) {
    auto tables = tables_.edit();
    tables->tracksByFilePath[path] = track;
    holdOffPadSamples(*tables);
    tables_.publish(std::move(tables));
}

std::shared_ptr<Track> TrackTableEditor::load(const std::string& path) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    auto track = makeTrack(path, tables_.current()->tracksByFilePath);
    if (!track) return nullptr;
    put(path, track);
    return track;
}

void TrackTableEditor::rename(const std::string& from, const std::string& to) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    const std::shared_ptr<const Tables> current = tables_.current();
    if (const auto there = current->tracksByFilePath.find(to); there != current->tracksByFilePath.end()) {
        requestLoad_(there->second, false);
        return;
    }
    const auto found = current->tracksByFilePath.find(from);
    if (found == current->tracksByFilePath.end()) return;
    auto track = makeTrack(to, current->tracksByFilePath, &from);
    if (!track) return;
    // The sample under its new name is the same sample: it keeps its own mute
    // (a solo's included) and volume.
    track->setMuted(found->second->muted());
    track->setVolume(found->second->volume());
    put(to, track);
    if (track->loadState() != TrackLoadState::Loaded) requestLoad_(track, true);
}

void TrackTableEditor::setBanks(const SoundLibrary* library) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    auto tables = tables_.edit();
    tables->trackFilePathByMidiNote.clear();
    tables->midiNoteByTrackFilePath.clear();
    if (library) {
        for (uint64_t bank = 0; bank < 10; ++bank) {
            for (const LibraryPadAssignment& assignment : library->soundbankSamplesOfSoundbank(bank)) {
                if (!assignment.hasSample || assignment.pad < 0 || assignment.pad >= 12) continue;
                int note = static_cast<int>(bank * 12 + static_cast<uint64_t>(assignment.pad));
                tables->trackFilePathByMidiNote[note] = assignment.sample.filePath;
                tables->midiNoteByTrackFilePath[assignment.sample.filePath] = note;
            }
        }
    }
    tables_.publish(std::move(tables));
}

std::map<int, std::string> TrackTableEditor::setPads(const SoundLibrary* library, uint64_t bank) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    std::map<int, std::string> pads;
    if (library && bank != platform::kNotFound) {
        for (const LibraryPadAssignment& assignment : library->soundbankSamplesOfSoundbank(bank)) {
            if (static_cast<uint64_t>(assignment.pad) >= 12) {
                STROMBEL_LOG_ERROR("unusable soundbankSample orderId: {}, sample: {}", assignment.pad,
                                   assignment.sample.name);
            } else if (!assignment.hasSample) {
                STROMBEL_LOG_ERROR("soundbankSample or sample is nil for pad: {}", assignment.pad);
            } else {
                pads[static_cast<int>(assignment.pad)] = assignment.sample.filePath;
            }
        }
    }
    auto tables = tables_.edit();
    tables->currentSoundbankFilePathsByIdx = pads;
    holdOffPadSamples(*tables);
    tables_.publish(std::move(tables));
    return pads;
}

void TrackTableEditor::keepSoloAsMutes() {
    soloSampleFilePath_.reset();
    mutedBeforeSolo_.clear();
    holdOffPadSamples(*tables_.current());
}

std::optional<std::shared_ptr<Track>> TrackTableEditor::toggleSolo(const std::string& path) {
    std::shared_ptr<const Tables> tables = tables_.current();
    if (soloSampleFilePath_ && *soloSampleFilePath_ == path) {
        endSolo(tables->tracksByFilePath);
        holdOffPadSamples(*tables);
        return std::nullopt;
    }
    if (!soloSampleFilePath_) {
        for (const auto& [key, track] : tables->tracksByFilePath) {
            if (track->muted()) mutedBeforeSolo_.insert(key);
        }
    }
    soloSampleFilePath_ = path;
    std::shared_ptr<Track> soloed;
    for (const auto& [key, track] : tables->tracksByFilePath) {
        const bool other = track->relativeFileName() != path;
        track->setMuted(other);
        if (!other) soloed = track;
    }
    holdOffPadSamples(*tables);
    return soloed;
}

void TrackTableEditor::endSolo(const TrackTable& table) {
    for (const auto& [path, track] : table) track->setMuted(mutedBeforeSolo_.count(path) > 0);
    soloSampleFilePath_.reset();
    mutedBeforeSolo_.clear();
}

bool TrackTableEditor::isMuted(const std::string& path) const {
    if (soloSampleFilePath_) return *soloSampleFilePath_ != path;
    auto track = tables_.lookUp(path);
    return track ? track->silenced() : false;
}

void TrackTableEditor::holdOffPadSamples(const Tables& tables) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    const TrackTable& table = tables.tracksByFilePath;
    std::set<std::string_view> onPads;
    bool padWithTrack = false, everyPadMuted = true;
    for (const auto& [pad, path] : tables.currentSoundbankFilePathsByIdx) {
        onPads.insert(path);
        if (auto found = table.find(path); found != table.end()) {
            padWithTrack = true;
            everyPadMuted = everyPadMuted && found->second->muted();
        }
    }
    // With every pad of the current bank muted, or a solo on, each sample on no
    // pad of the bank (a pattern may name a sample that no pad shows any more)
    // is held silent, and stops if it sounds; the metronome is no sample of a pattern.
    const bool hold = soloSampleFilePath_.has_value() || (padWithTrack && everyPadMuted);
    bool newlyHeld = false;
    for (const auto& [path, track] : table) {
        const bool held = hold && !onPads.count(path) && path != soloSampleFilePath_ &&
                          std::find(metronomePaths_.begin(), metronomePaths_.end(), path) == metronomePaths_.end();
        newlyHeld = newlyHeld || (held && !track->heldSilent());
        track->setHeldSilent(held);
    }
    if (newlyHeld) stopHeldSilent_();
}

}  // namespace strombel::engine
