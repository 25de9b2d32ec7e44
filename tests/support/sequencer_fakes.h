#pragma once

// In-memory stand-ins for the engine, the MIDI hub's clock output and the
// library's pattern storage, and a test bench that drives a sequencer by hand.

#include <pthread.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/main_loop.h"
#include "sequencer/sequencer.h"

namespace strombel::sequencer::testing {

/// Records what the sequencer asks of the engine, and turns host times into
/// output frames the way an audio device running at 44.1 kHz since `deviceStart` would.
class RecordingEngine final : public SequencerEngine {
public:
    enum class Kind { click, start, stop };
    struct Call {
        Kind kind;
        std::string path;
        uint64_t time;
        uint64_t calledAt;
        std::string thread;
    };

    explicit RecordingEngine(const platform::Clock& clock) : clock_(clock) {}

    bool startTrack(const std::string& path, uint64_t atTime, bool tapPad, bool midi, bool ignoreMute,
                    float velocity) override {
        if (tapPad || midi || !ignoreMute || velocity != 1.0f) {
            badClicks += 1;
        }
        add(Kind::click, path, atTime);
        return true;
    }
    bool startTrackFromSequencer(const std::string& path, uint64_t atTime) override {
        add(Kind::start, path, atTime);
        return true;
    }
    bool stopTrackFromSequencer(const std::string& path, uint64_t atTime) override {
        add(Kind::stop, path, atTime);
        return true;
    }
    void stopAllTracksIncludeTapPadTriggered(bool include) override {
        std::lock_guard lock(mutex_);
        stopAllCalls.push_back(include);
    }
    void preloadTrack(const std::string& path) override {
        std::lock_guard lock(mutex_);
        preloaded.insert(path);
    }
    std::string metronomeClickOn1File() const override { return "Tumblecraft.app/metronomeOn1.wav"; }
    std::string metronomeClickOn234File() const override { return "Tumblecraft.app/metronomeOn234.wav"; }
    platform::Result<void> exportEvents(const std::vector<ExportEvent>& events, const std::string& toFile,
                                        double duration, const std::function<void(float)>& progress) override {
        exported = events;
        exportedFile = toFile;
        exportedDuration = duration;
        if (progress) {
            progress(0.0f);
            progress(1.0f);
        }
        return {};
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<Call> calls(Kind kind) const {
        std::vector<Call> chosen;
        for (const Call& call : calls()) {
            if (call.kind == kind) {
                chosen.push_back(call);
            }
        }
        return chosen;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

    std::vector<bool> stopAllCalls;
    std::set<std::string> preloaded;
    int badClicks = 0;
    std::vector<ExportEvent> exported;
    std::string exportedFile;
    double exportedDuration = 0.0;

private:
    void add(Kind kind, const std::string& path, uint64_t atTime) {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        std::lock_guard lock(mutex_);
        calls_.push_back(Call{kind, path, atTime, clock_.nowNanos(), name});
    }

    const platform::Clock& clock_;
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

class RecordingMidiOut final : public SequencerMidiOut {
public:
    void sendClockStart() override {
        std::lock_guard lock(mutex);
        starts += 1;
    }
    void sendClockStop() override {
        std::lock_guard lock(mutex);
        stops += 1;
    }
    void sendClockTickAtTime(uint64_t hostTicks) override {
        std::lock_guard lock(mutex);
        ticks.push_back(hostTicks);
    }
    std::mutex mutex;
    int starts = 0;
    int stops = 0;
    std::vector<uint64_t> ticks;
};

/// The library's pattern storage in memory. What was saved survives a crash
/// (`afterCrash`); what was not, does not.
class MemoryPatternStore final : public PatternStore {
public:
    struct Contents {
        std::map<uint64_t, uint64_t> numBars;
        std::map<uint64_t, std::vector<StoredSequencerEvent>> events;
    };

    explicit MemoryPatternStore(Contents contents = {}) : working_(contents), saved_(contents) {}

    std::optional<uint64_t> patternNumBars(uint64_t patternIdx) override {
        if (!working_.numBars.count(patternIdx)) {
            working_.numBars[patternIdx] = 1;
            save();
        }
        return working_.numBars[patternIdx];
    }
    void setPatternNumBars(uint64_t patternIdx, uint64_t numBars) override { working_.numBars[patternIdx] = numBars; }
    std::vector<StoredSequencerEvent> sequencerEventsForPattern(uint64_t patternIdx) override {
        auto events = working_.events[patternIdx];
        std::stable_sort(events.begin(), events.end(),
                         [](const auto& a, const auto& b) { return a.step < b.step; });
        return events;
    }
    bool addSequenceEventOnPattern(uint64_t patternIdx, uint64_t step, PatternEventType type,
                                   const std::string& sampleFilepath) override {
        if (!samples.count(sampleFilepath)) {
            return false;
        }
        working_.numBars.emplace(patternIdx, 1);
        working_.events[patternIdx].push_back(StoredSequencerEvent{step, type, sampleFilepath});
        return true;
    }
    size_t removeSequenceEventOnPattern(uint64_t patternIdx, uint64_t step, const std::string& sampleFilepath) override {
        auto& events = working_.events[patternIdx];
        const size_t before = events.size();
        events.erase(std::remove_if(events.begin(), events.end(),
                                    [&](const auto& e) { return e.step == step && e.sampleFilePath == sampleFilepath; }),
                     events.end());
        return before - events.size();
    }
    void copyAllSequencerEventsOfPattern(uint64_t source, uint64_t target) override {
        working_.numBars[target] = patternNumBars(source).value_or(1);
        const auto copies = working_.events[source];
        auto& events = working_.events[target];
        events.insert(events.end(), copies.begin(), copies.end());
        save();
    }
    void removeAllSequencerEventsOfPattern(uint64_t patternIdx) override {
        working_.events[patternIdx].clear();
        save();
    }
    void save() override {
        saved_ = working_;
        saves += 1;
    }

    /// What a fresh start after a crash finds: the last saved contents.
    Contents afterCrash() const { return saved_; }
    const Contents& contents() const { return working_; }
    size_t storedCount(uint64_t patternIdx) const {
        auto found = working_.events.find(patternIdx);
        return found == working_.events.end() ? 0 : found->second.size();
    }

    std::set<std::string> samples{"Documents/kick.wav", "Documents/snare.wav", "Documents/hat.wav"};
    int saves = 0;

private:
    Contents working_;
    Contents saved_;
};

class RecordingDelegate final : public SequencerDelegate {
public:
    void sequencerStarted() override { messages.push_back("started"); }
    void sequencerStopped() override { messages.push_back("stopped"); }
    void activePatternChanged() override { messages.push_back("patternChanged"); }
    void currentBarChanged(int32_t bar, int32_t subBar) override {
        bars.emplace_back(bar, subBar);
        messages.push_back("bar");
    }
    size_t count(const std::string& message) const {
        return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
    }
    std::vector<std::string> messages;
    std::vector<std::pair<int32_t, int32_t>> bars;
};

constexpr const char* kKick = "Documents/kick.wav";
constexpr const char* kSnare = "Documents/snare.wav";
constexpr const char* kHat = "Documents/hat.wav";

/// A sequencer on a manual clock, a manual main loop and the in-memory services,
/// its timing loop driven by hand.
struct ManualBench {
    explicit ManualBench(MemoryPatternStore::Contents contents = {})
        : store(std::move(contents)),
          sequencer(SequencerServices{engine, store, &midiOut, mainLoop, clock, LoopDriver::manual}) {
        sequencer.addDelegate(&delegate);
    }

    /// Moves time to `until`, running every loop pass at its own wake-up time and
    /// the main loop's work after each.
    void runUntil(uint64_t until) { driveLoop(sequencer, clock, mainLoop, until); }

    /// The same for any sequencer on the manual driver.
    static void driveLoop(Sequencer& sequencer, platform::ManualClock& clock, platform::MainLoop& mainLoop,
                          uint64_t until) {
        sequencer.runLoopUntil(clock.nowNanos());
        mainLoop.runPending();
        while (true) {
            const uint64_t wake = sequencer.nextLoopWake();
            if (wake == 0 || wake > until) {
                break;
            }
            if (wake > clock.nowNanos()) {
                clock.set(wake);
            }
            sequencer.runLoopUntil(wake);
            mainLoop.runPending();
        }
        if (until > clock.nowNanos()) {
            clock.set(until);
        }
        sequencer.runLoopUntil(until);
        mainLoop.runPending();
    }

    platform::ManualClock clock{5'000'000'000};
    platform::MainLoop mainLoop{clock};
    RecordingEngine engine{clock};
    RecordingMidiOut midiOut;
    MemoryPatternStore store;
    RecordingDelegate delegate;
    Sequencer sequencer;
};

/// One step at 120 BPM, in nanoseconds.
inline constexpr uint64_t kStepAt120 = 125'000'000;

/// A bench whose sequencer plays at 120 BPM, started without count-in at `start`.
struct PlayingBench : ManualBench {
    explicit PlayingBench(MemoryPatternStore::Contents contents = {}) : ManualBench(std::move(contents)) {
        sequencer.setBpm(120);
        sequencer.playWithPreBar(false);
        runUntil(start);
    }

    const uint64_t start = clock.nowNanos();
};

/// A stored pattern with one event of `path` on each of `steps`.
inline void addEvents(MemoryPatternStore::Contents& contents, uint64_t patternIdx, const std::string& path,
                      const std::vector<uint64_t>& steps, PatternEventType type = PatternEventType::start) {
    for (uint64_t step : steps) {
        contents.events[patternIdx].push_back(StoredSequencerEvent{step, type, path});
    }
    contents.numBars.emplace(patternIdx, 1);
}

}  // namespace strombel::sequencer::testing
