#pragma once

// The audio thread's half of the engine: it takes the requests of the control
// threads from a lock-free queue at the start of each block, resolves starts and
// stops to their exact frames, mixes the playing tracks into the block, runs the
// effect chain, meters, and reports starts, stops and ends (and every reference
// it lets go of) back through a ring for the main loop to deliver and free.
//
// SoundBox owns one and calls `render` from its device's render callback; the
// mixer knows no device, so that it can be driven block by block on its own.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/effect_chain.h"
#include "engine/track.h"
#include "engine/track_tables.h"
#include "platform/mpsc_ring.h"
#include "platform/realtime.h"
#include "platform/spsc_ring.h"

namespace strombel::engine {

class Mixer {
public:
    /// The most tracks that can sound at once, and queued starts or stops.
    static constexpr size_t kMaxPlayingTracks = 256;
    static constexpr size_t kMaxQueuedRequests = 1024;
    /// Requests on their way to the audio thread, and reports on their way back.
    static constexpr size_t kCommandCapacity = 4096;
    static constexpr size_t kEventCapacity = 4096;
    /// Buffers longer than this are rendered block by block.
    static constexpr uint32_t kBlockFrames = 512;

    /// A request on its way to the audio thread.
    struct Command {
        enum class Type : uint8_t {
            start, startRange, stop, queueStart, queueStop, stopAll, solo, stopHeldSilent, clearEcho, swapTable
        };
        Type type = Type::start;
        bool tapPad = false;
        bool midi = false;
        bool includeTapPad = false;
        float velocity = 1.0f;
        double fromPoint = 0.0, toPoint = 1.0;
        uint64_t time = 0;
        // Not a reference of its own: the tables that held the track are kept
        // until the audio thread has taken every command sent while they were
        // published, and the audio thread takes its own reference when it keeps it.
        Track* track = nullptr;
        std::shared_ptr<const TrackTables::Tables> tables;  // swapTable
    };

    /// A report of the audio thread on its way to the main loop; `Release` hands
    /// back a reference the audio thread lets go of, to be dropped there.
    struct Event {
        enum class Type : uint8_t { Started, Stopped, Finished, Release };
        Type type = Type::Started;
        std::shared_ptr<Track> track;
        std::shared_ptr<const void> released;
    };

    /// What shapes the mix, set from any thread and read by the audio thread at
    /// each block (the setters' clamping is the engine's).
    struct Settings {
        std::atomic<double> sampleRate{44100.0};
        std::atomic<float> volume{1.0f}, effectWetness{1.0f}, pitchAmount{0.5f}, delayIntensity{0.0f},
            delayTime{0.5f}, reverbAmount{0.0f}, cutOffAmount{0.0f}, phaseAmount{0.0f}, crushAmount{0.0f};
        std::atomic<bool> applyFxToTapPadOnly{true}, cutTapPadTracks{false}, holdTapPadTracks{false};
    };

    /// `requestLoad` asks for a track's frames to be loaded (from the audio
    /// thread too: it must neither block nor allocate there).
    Mixer(double sampleRate, std::function<void(const std::shared_ptr<Track>&)> requestLoad);
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    Settings& settings() { return settings_; }
    const Settings& settings() const { return settings_; }
    /// Takes a new rate and sizes the echo histories for it; no render may run.
    void setSampleRate(double rate);

    // --- Control threads ------------------------------------------------------
    /// Hands a request made by `fill` to the audio thread; false (counted as an
    /// overrun) when its queue is full. A real-time thread may use the whole
    /// queue and never waits; others leave it the last quarter, and wait (50 ms
    /// at most) for room.
    template <class Fill>
    bool send(Fill&& fill);
    /// Requests sent so far and those the audio thread has taken.
    size_t commandsClaimed() const { return commands_.claimed(); }
    size_t commandsTaken() const { return commands_.taken(); }
    /// No track is starting, sounding or stopping, and no request waits (as of
    /// the last block).
    bool isNothingPlaying() const;
    float peakLeft() const { return peakLeft_.load(); }
    float peakRight() const { return peakRight_.load(); }
    void resetPeaks();
    const EffectChain& effects() const { return effects_; }
    uint64_t commandOverruns() const { return commandOverruns_.load(std::memory_order_relaxed); }
    uint64_t eventOverruns() const { return eventOverruns_.load(std::memory_order_relaxed); }
    uint64_t skippedBlocks() const { return skippedBlocks_.load(std::memory_order_relaxed); }

    // --- Audio thread ---------------------------------------------------------
    /// Fills `left` and `right` with `frames` frames whose first plays at
    /// `hostTimeNanos`. Never allocates, frees, locks, waits or touches a file.
    /// True when something was reported that the main loop should hear of.
    bool render(uint32_t frames, uint64_t hostTimeNanos, int32_t* left, int32_t* right);
    /// After a buffer: nothing sounds, waits or is on its way, and the effects'
    /// tails have died away, so every buffer stays silent until the next request.
    bool rests() const;

    // --- Main loop --------------------------------------------------------------
    /// Hands each report of the audio thread to `deliver`; released references
    /// are dropped here.
    template <class Deliver>
    void drainEvents(Deliver&& deliver) {
        events_.drain([&](Event event) { deliver(event); });
    }

private:
    struct QueuedRequest {
        uint64_t time = 0;
        std::shared_ptr<Track> track;
    };
    using Queue = std::array<QueuedRequest, kMaxQueuedRequests>;

    bool waitForCommandRoom();
    void takeCommands();
    void applyCommand(Command& command);
    void startTrackNow(Track& track, uint64_t atTime, bool tapPad, float velocity);
    void stopTrackNow(Track& track, uint64_t atTime);
    bool addPlaying(Track& track);
    void removePlayingAt(size_t index);
    void insertQueued(Queue& queue, size_t& count, uint64_t time, Track& track);
    void clearQueued(Queue& queue, size_t& count);
    void resolveDue(uint64_t end);
    void release(std::shared_ptr<const void> reference);
    void postEvent(Event::Type type, const std::shared_ptr<Track>& track);
    void renderBlock(uint32_t frames, uint64_t now, int32_t* left, int32_t* right);
    void processTracks(uint32_t n, uint64_t now, uint64_t end, float rate, float master, int32_t* left,
                       int32_t* right);

    // The block's source positions at the pitch rate, read by every track of the block.
    alignas(64) std::array<uint32_t, kBlockFrames> sourceIndex_{};
    Settings settings_;
    std::function<void(const std::shared_ptr<Track>&)> requestLoad_;

    // Control threads -> audio thread.
    platform::MpscRing<Command> commands_{kCommandCapacity};
    std::atomic<uint64_t> commandOverruns_{0};

    // The audio thread's own (and the main loop's while no callback can run).
    std::array<std::shared_ptr<Track>, kMaxPlayingTracks> playing_;
    size_t playingCount_ = 0;
    uint64_t playingOrder_ = 0;
    Queue queuedStarts_, queuedStops_;
    size_t queuedStartCount_ = 0, queuedStopCount_ = 0;
    std::array<std::shared_ptr<const void>, 1024> releaseStash_;  // waits for room in the event ring
    size_t releaseStashCount_ = 0;
    bool eventsPosted_ = false;
    std::atomic<size_t> playingPublished_{0};  // the playing list's length, for isNothingPlaying
    EffectChain effects_;  // sized again for the device's rate before it renders

    // Audio thread -> main loop.
    platform::SpscRing<Event> events_{kEventCapacity};
    std::atomic<uint64_t> eventOverruns_{0};
    std::atomic<uint64_t> skippedBlocks_{0};
    std::atomic<float> peakLeft_{0.0f}, peakRight_{0.0f};
};

template <class Fill>
bool Mixer::send(Fill&& fill) {
    // The slot's references were moved out by the audio thread: filling it frees nothing.
    auto push = [&] {
        return commands_.tryPush([&fill](Command& slot) {
            slot.track = nullptr;
            slot.tapPad = slot.midi = slot.includeTapPad = false;
            slot.velocity = 1.0f;
            slot.time = 0;
            fill(slot);
        });
    };
    if (platform::isRealtimeThread()) {
        if (push()) return true;
    } else if ((commands_.approximateSize() < kCommandCapacity - kCommandCapacity / 4 || waitForCommandRoom()) &&
               push()) {
        return true;
    }
    commandOverruns_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

}  // namespace strombel::engine
