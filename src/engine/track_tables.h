#pragma once

// The engine's tables of tracks, MIDI notes and the current bank's pads, as
// control threads read them: a snapshot that the main loop replaces as a whole,
// so that a reader takes no lock. Tables that were replaced are kept until the
// audio thread has taken every request sent while they were published, since a
// request names its track without a reference of its own.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/track.h"
#include "platform/published.h"

namespace strombel::engine {

class TrackTables {
public:
    using TrackTable = std::map<std::string, std::shared_ptr<Track>, std::less<>>;
    /// What control threads look up.
    struct Tables {
        TrackTable tracksByFilePath;
        std::map<int, std::string> trackFilePathByMidiNote;
        std::map<std::string, int, std::less<>> midiNoteByTrackFilePath;
        std::map<int, std::string> currentSoundbankFilePathsByIdx;
    };

    /// `claimed` and `taken` count the requests sent to the audio thread so far
    /// and those it has taken (main loop).
    TrackTables(std::function<size_t()> claimed, std::function<size_t()> taken)
        : claimed_(std::move(claimed)), taken_(std::move(taken)) {}

    /// Any thread: the published tables, held for as long as the reader lives.
    auto read() const { return published_.read(); }
    /// Main loop: the published tables.
    std::shared_ptr<const Tables> current() const { return published_.current(); }
    /// Main loop: a copy of the published tables to change and publish.
    std::shared_ptr<Tables> edit() const { return std::make_shared<Tables>(*published_.current()); }
    /// Main loop: publishes `tables`, keeping the old ones until the audio thread
    /// has taken every request that may name one of their tracks.
    void publish(std::shared_ptr<const Tables> tables);
    /// Main loop: frees the old tables the audio thread is done with.
    void freeRetired();

    /// Any thread: the track that plays `path`, or null.
    std::shared_ptr<Track> lookUp(const std::string& path) const;
    /// Any thread: the path kept under `key` (a pad or a MIDI note) in one of the maps.
    std::optional<std::string> pathFor(std::map<int, std::string> Tables::*paths, int key) const;

private:
    struct Retired {
        std::shared_ptr<const Tables> tables;
        size_t commandsClaimed;  // free once the audio thread has taken these
    };
    std::function<size_t()> claimed_, taken_;
    platform::Published<Tables> published_;
    std::vector<Retired> retired_;
};

}  // namespace strombel::engine
