#pragma once

// The main loop's changes to the track tables: building a table of every sample
// of the library (keeping what the user set and the frames already decoded),
// putting one track in, a rename, the banks' notes and the current bank's pads,
// and the mute and solo bookkeeping, with the samples a solo or an all-muted
// bank holds silent. Each change is published through TrackTables; what the
// audio thread must hear of it (a swap, a stop) is the caller's to send.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/sound_library.h"
#include "engine/track.h"
#include "engine/track_tables.h"
#include "platform/clock.h"
#include "platform/sandbox.h"

namespace strombel::engine {

class TrackTableEditor {
public:
    using Tables = TrackTables::Tables;
    using TrackTable = TrackTables::TrackTable;

    /// New tracks decode at `sampleRate` and read files in `sandbox`;
    /// `metronomePaths` are in every table and never held silent. `stopHeldSilent`
    /// is called when a sample newly goes silent, so that its sound stops;
    /// `requestLoad` asks for a track's frames (`force`: even when marked loaded).
    TrackTableEditor(TrackTables& tables, const platform::Sandbox& sandbox, const platform::Clock& clock,
                     const std::atomic<double>& sampleRate, std::vector<std::string> metronomePaths,
                     std::function<void()> stopHeldSilent,
                     std::function<void(const std::shared_ptr<Track>&, bool force)> requestLoad);

    /// Builds and publishes a table of every sample of `library` (may be null)
    /// and the metronome's; answers it. A solo whose sample has gone ends.
    std::shared_ptr<const Tables> rebuild(const SoundLibrary* library);
    /// Makes a track for `path` and publishes it in place of the one there; null
    /// when the file does not prepare.
    std::shared_ptr<Track> load(const std::string& path);
    /// The sample `from` was renamed to `to`: until a table built from the
    /// library leaves `from` out, it plays under either path, under `to` with the
    /// frames already decoded, and with its mute and volume.
    void rename(const std::string& from, const std::string& to);
    /// Publishes the MIDI notes of the banks' pads (bank x 12 + pad).
    void setBanks(const SoundLibrary* library);
    /// Publishes the pads of bank `bank` of `library` (none for kNotFound or no
    /// library) as the current bank's, and answers them.
    std::map<int, std::string> setPads(const SoundLibrary* library, uint64_t bank);

    /// A track's mute was toggled by hand: a solo ends, its silences staying as
    /// the tracks' own mutes.
    void keepSoloAsMutes();
    /// Starts a solo of `path` (answering its track, null when it has none: the
    /// tracks that sound but that one must stop), or ends the solo when it is
    /// `path`'s (answering nothing).
    std::optional<std::shared_ptr<Track>> toggleSolo(const std::string& path);
    bool isMuted(const std::string& path) const;

private:
    std::shared_ptr<Track> makeTrack(const std::string& path, const TrackTable& previous,
                                     const std::string* renamedFrom = nullptr) const;
    void put(const std::string& path, const std::shared_ptr<Track>& track);
    void endSolo(const TrackTable& table);
    void holdOffPadSamples(const Tables& tables);

    TrackTables& tables_;
    const platform::Sandbox& sandbox_;
    const platform::Clock& clock_;
    const std::atomic<double>& sampleRate_;
    std::vector<std::string> metronomePaths_;
    std::function<void()> stopHeldSilent_;
    std::function<void(const std::shared_ptr<Track>&, bool)> requestLoad_;
    std::optional<std::string> soloSampleFilePath_;
    std::set<std::string, std::less<>> mutedBeforeSolo_;  // the mutes a solo's end brings back
};

}  // namespace strombel::engine
