// Track control as a player uses it: pads, MIDI, the sequencer, mute, solo, cut,
// hold, bank changes, the output device going away, recording.

#include <sndfile.h>

#include <future>

#include "engine_test_support.h"
#include "midi/adapters/sound_box_midi_link.h"
#include "platform/devices/loopback_midi_backend.h"

namespace strombel::engine::testing {
namespace {

/// An outside keyboard playing the engine through the MIDI hub, wired as the
/// program wires them.
struct MidiKeyboard {
    MidiKeyboard(SoundBox& box, platform::MainLoop& loop, platform::ManualClock& clock,
                 const std::filesystem::path& folder)
        : defaults(folder / "midi-defaults.sqlite"), backend(clock) {
        hub = std::make_unique<midi::MidiController>(
            midi::MidiController::Setup{backend, loop, center, defaults, folder, "Tumblecraft", nullptr});
        link = std::make_unique<midi::SoundBoxMidiLink>(box, *hub);
        keys = backend.addSource("Keys");
        loop.runPending();
        hub->receiveNotesFrom("Keys", true);
    }
    ~MidiKeyboard() { link.reset(); }
    void play(uint8_t status, uint8_t note, uint8_t velocity = 100) {
        backend.play(keys, {status, note, velocity});
        hub->waitUntilActionThreadIdle();
    }
    platform::NotificationCenter center;
    platform::UserDefaults defaults;
    platform::LoopbackMidiBackend backend{platform::SystemClock::shared()};
    std::unique_ptr<midi::MidiController> hub;
    std::unique_ptr<midi::SoundBoxMidiLink> link;
    platform::MidiEndpointRef keys;
};

class ControlTest : public EngineTest {
protected:
    void SetUp() override {
        kick_ = addSample("kick", constantMono(20000, 1000));
        snare_ = addSample("snare", constantMono(20000, 1000));
        hat_ = addSample("hat", constantMono(20000, 1000));
        setBank(0, {kick_, snare_});
        setBank(1, {hat_});
    }
    bool sounds(const std::string& path) { return box_->isPlaying(path); }
    std::string kick_, snare_, hat_;
};

TEST_F(ControlTest, MutedTrackStartsFromAPadButNotFromTheSequencerOrMidi) {
    SoundBox& box = makeEngine();
    box.currentSoundbankChanged(0);
    MidiKeyboard keys(box, loop_, clock_, temp_.path());
    EXPECT_TRUE(box.toggleMuteForTrack(kick_));
    EXPECT_TRUE(box.trackIsMuted(kick_));
    // Note 60 is the first pad in the hub's pad map, note 0 the first bank's first pad.
    for (bool padMap : {true, false}) {
        SCOPED_TRACE(padMap);
        keys.hub->setNotesMapToButtons(padMap);
        keys.play(0x90, padMap ? 60 : 0);
        render();
        EXPECT_FALSE(sounds(kick_));
    }
    ASSERT_TRUE(box.startTrackFromSequencer(kick_, 1));
    render();
    EXPECT_FALSE(sounds(kick_));
    EXPECT_TRUE(box.startTrack(kick_, 0, true, false, false, 1.0f));  // a tap ignores the mute
    render();
    EXPECT_TRUE(sounds(kick_));
    // The metronome ignores mutes too.
    EXPECT_TRUE(box.startTrack(kick_, 0, false, false, true, 1.0f));

    // A solo silences every other pad for MIDI as well; the soloed one plays.
    box.toggleMuteForTrack(kick_);
    box.toggleSoloForTrack(snare_);
    keys.hub->setNotesMapToButtons(true);
    keys.play(0x90, 60);
    keys.play(0x90, 61);
    render();
    EXPECT_FALSE(sounds(kick_));
    EXPECT_TRUE(sounds(snare_));
}

TEST_F(ControlTest, CutModeStopsOtherPadTracksButNotSequencerTracks) {
    SoundBox& box = makeEngine();
    box.setCutTapPadTracks(true);
    box.startTrack(kick_, 0, true, false, false, 1.0f);
    box.startTrackFromSequencer(hat_, 1);
    render();
    EXPECT_TRUE(sounds(kick_));
    EXPECT_TRUE(sounds(hat_));
    box.startTrack(snare_, 0, true, false, false, 1.0f);
    render();
    EXPECT_FALSE(sounds(kick_));
    EXPECT_TRUE(sounds(snare_));
    EXPECT_TRUE(sounds(hat_));
}

TEST_F(ControlTest, ReleasingAPadStopsItOnlyInHoldMode) {
    SoundBox& box = makeEngine();
    box.startTrack(kick_, 0, true, false, false, 1.0f);
    render();
    box.stopTrack(kick_);
    render();
    EXPECT_TRUE(sounds(kick_));  // plays to its end

    box.setHoldTapPadTracks(true);
    box.stopTrack(kick_);
    render();
    EXPECT_FALSE(sounds(kick_));
}

TEST_F(ControlTest, SoloMutesAndStopsOthersAndSoloAgainUnmutes) {
    SoundBox& box = makeEngine();
    box.startTrack(kick_, 0, false, false, false, 1.0f);
    box.startTrack(snare_, 0, false, false, false, 1.0f);
    render();
    box.toggleSoloForTrack(snare_);
    render();
    EXPECT_FALSE(sounds(kick_));
    EXPECT_TRUE(sounds(snare_));
    EXPECT_TRUE(box.trackIsMuted(kick_));
    EXPECT_FALSE(box.trackIsMuted(snare_));

    box.toggleSoloForTrack(snare_);
    EXPECT_FALSE(box.trackIsMuted(kick_));
    EXPECT_FALSE(box.trackIsMuted(hat_));

    // Muting any track after a solo forgets the solo without unmuting the others.
    box.toggleSoloForTrack(snare_);
    box.toggleMuteForTrack(hat_);  // hat was muted by the solo: this unmutes it
    EXPECT_FALSE(box.trackIsMuted(hat_));
    EXPECT_TRUE(box.trackIsMuted(kick_));
}

TEST_F(ControlTest, EndingASoloBringsBackTheMutesFromBeforeIt) {
    enum class End { soloAgain, soloAnotherThenThatOneAgain, sampleLeavesTheLibrary };
    const struct {
        const char* name;
        End end;
        int mutedBefore;  // index into kick, snare, hat; the snare is soloed
        std::vector<int> heard;
    } cases[] = {{"solo again", End::soloAgain, 0, {1, 2}},
                 {"solo another, then that one again", End::soloAnotherThenThatOneAgain, 0, {1, 2}},
                 {"its sample leaves the library", End::sampleLeavesTheLibrary, 2, {0}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SoundBox& box = makeEngine();
        box.currentSoundbankChanged(0);
        const std::string paths[] = {kick_, snare_, hat_};
        box.toggleMuteForTrack(paths[c.mutedBefore]);
        box.toggleSoloForTrack(snare_);
        switch (c.end) {
            case End::soloAgain: box.toggleSoloForTrack(snare_); break;
            case End::soloAnotherThenThatOneAgain:
                box.toggleSoloForTrack(hat_);
                box.toggleSoloForTrack(hat_);
                break;
            case End::sampleLeavesTheLibrary: library_.setSamples({samples_[0], samples_[2]}); break;
        }
        EXPECT_TRUE(box.trackIsMuted(paths[c.mutedBefore]));
        box.startTrackFromSequencer(paths[c.mutedBefore], 1);
        for (int index : c.heard) box.startTrackFromSequencer(paths[index], 1);
        render();
        EXPECT_FALSE(sounds(paths[c.mutedBefore]));
        for (int index : c.heard) EXPECT_TRUE(sounds(paths[index])) << paths[index];
    }
}

TEST_F(ControlTest, WithEveryPadMutedOrASoloOnASampleOnNoPadIsSilent) {
    // The hat lies on no pad of bank 0, as a sample a pattern kept after
    // another took its pad.
    const struct {
        const char* name;
        std::vector<std::string> muted;
        bool solo;
        bool heard;
    } cases[] = {{"nothing muted", {}, false, true},
                 {"one pad muted", {"kick"}, false, true},
                 {"every pad muted", {"kick", "snare"}, false, false},
                 {"a solo", {}, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SoundBox& box = makeEngine();
        box.currentSoundbankChanged(0);
        MidiKeyboard keys(box, loop_, clock_, temp_.path());
        keys.hub->setNotesMapToButtons(false);
        box.startTrackFromSequencer(hat_, 1);
        render();
        ASSERT_TRUE(sounds(hat_));
        for (const std::string& name : c.muted) box.toggleMuteForTrack(name == "kick" ? kick_ : snare_);
        if (c.solo) box.toggleSoloForTrack(kick_);
        render();
        EXPECT_EQ(sounds(hat_), c.heard) << "what sounded already";
        box.stopAllTracks();
        render();
        box.startTrackFromSequencer(hat_, 1);
        render();
        EXPECT_EQ(sounds(hat_), c.heard) << "from the sequencer";
        box.stopAllTracks();
        keys.play(0x90, 12);  // bank 1, pad 0
        render();
        EXPECT_EQ(sounds(hat_), c.heard) << "from MIDI";
        EXPECT_EQ(box.trackIsMuted(hat_), !c.heard);
    }
}

TEST_F(ControlTest, UnknownPathsAreRefusedQuietly) {
    SoundBox& box = makeEngine();
    EXPECT_FALSE(box.startTrack("Documents/none.wav", 0, true, false, false, 1.0f));
    EXPECT_FALSE(box.startTrackFromSequencer("Documents/none.wav", 0));
    EXPECT_FALSE(box.stopTrackFromSequencer("Documents/none.wav", 0));
    EXPECT_TRUE(box.toggleMuteForTrack("Documents/none.wav"));
    EXPECT_FALSE(box.isTrackReady("Documents/none.wav"));
    EXPECT_FLOAT_EQ(box.volumeForTrack("Documents/none.wav"), 0.0f);
    EXPECT_FALSE(box.startSoundbankSample(5, 1.0f));
    EXPECT_FALSE(box.startTrackForMidiNote(100, 1.0f));
}

TEST_F(ControlTest, MidiNotesFollowBanksAndPadsTellTheScreen) {
    SoundBox& box = makeEngine();
    box.currentSoundbankChanged(0);
    RecordingDelegate observer;
    box.addDelegate(&observer);
    EXPECT_TRUE(box.startTrackForMidiNote(12, 1.0f));  // bank 1, pad 0: the hat
    render();
    EXPECT_TRUE(sounds(hat_));

    // A sequencer start of a pad's sample lights the pad and sends its note.
    box.startTrackFromSequencer(snare_, 1);
    render();
    pump();
    EXPECT_TRUE(observer.saw("started " + snare_));
    EXPECT_TRUE(observer.saw("noteOn 1"));
    EXPECT_TRUE(observer.saw("padOn 1"));
    EXPECT_FALSE(observer.saw("noteOn 12"));  // MIDI started the hat
}

TEST_F(ControlTest, BankChangeTellsWhichOldPadsStillSound) {
    SoundBox& box = makeEngine();
    box.currentSoundbankChanged(0);
    EXPECT_EQ(box.currentSoundbankFilePathsByIdx().at(1), snare_);
    RecordingDelegate observer;
    box.addDelegate(&observer);
    box.startTrack(snare_, 0, true, false, false, 1.0f);
    render();
    box.currentSoundbankChanged(0);  // the same bank: nothing
    EXPECT_TRUE(observer.log.empty());
    box.currentSoundbankChanged(1);
    EXPECT_EQ(observer.log, std::vector<std::string>{"padOff 1"});
    EXPECT_TRUE(sounds(snare_));  // it keeps sounding
    EXPECT_EQ(box.currentSoundbankFilePathsByIdx().at(0), hat_);
}

TEST_F(ControlTest, ObserversMayLeaveWhileBeingTold) {
    SoundBox& box = makeEngine();
    struct Leaving : RecordingDelegate {
        SoundBox* box = nullptr;
        void trackStarted(const std::string& path, bool tap) override {
            RecordingDelegate::trackStarted(path, tap);
            box->removeDelegate(this);
        }
    } first;
    first.box = &box;
    RecordingDelegate second;
    box.addDelegate(&first);
    box.addDelegate(&second);
    box.startTrack(kick_, 0, false, false, false, 1.0f);
    render();
    pump();
    EXPECT_EQ(first.log, std::vector<std::string>{"started " + kick_});  // nothing after it left
    EXPECT_TRUE(second.saw("started " + kick_));
    {
        RecordingDelegate shortLived;
        box.addDelegate(&shortLived);
    }  // removes itself
    box.startTrack(snare_, 0, false, false, false, 1.0f);
    render();
    pump();
    EXPECT_TRUE(second.saw("started " + snare_));
}

TEST_F(ControlTest, StoppedTracksTellObserversWithoutAStopHandlerThatTheyFinished) {
    SoundBox& box = makeEngine();
    struct FinishOnly : SoundBoxDelegate {
        std::vector<std::string> finished;
        void trackFinishedPlaying(const std::string& path) override { finished.push_back(path); }
    } observer;
    box.addDelegate(&observer);
    box.startTrack(kick_, 0, false, false, false, 1.0f);
    render();
    box.stopTrack(kick_);
    render();
    pump();
    EXPECT_EQ(observer.finished, std::vector<std::string>{kick_});
}

TEST_F(ControlTest, LostOutputDeviceStopsEverythingAndTellsObservers) {
    SoundBox& box = makeEngine();
    RecordingDelegate observer;
    box.addDelegate(&observer);
    box.startTrack(kick_, 0, false, false, false, 1.0f);
    render();
    device_->postEvent({platform::AudioDeviceEvent::Type::RouteChanged, 1, {}});
    pump();
    render();
    EXPECT_TRUE(sounds(kick_));  // another reason: nothing happens
    device_->postEvent({platform::AudioDeviceEvent::Type::RouteChanged, 2, {}});
    pump();
    render();
    EXPECT_FALSE(sounds(kick_));
    EXPECT_TRUE(observer.saw("routeLost"));
}

TEST_F(ControlTest, InterruptionStopsAndItsEndStartsAgain) {
    SoundBox& box = makeEngine();
    device_->postEvent({platform::AudioDeviceEvent::Type::InterruptionBegan, 0, {}});
    pump();
    EXPECT_FALSE(box.running());
    device_->failNextStart(true);  // the first restart fails: the engine rebuilds once
    device_->postEvent({platform::AudioDeviceEvent::Type::InterruptionEnded, 0, {}});
    pump();
    EXPECT_TRUE(box.running());
}

TEST_F(ControlTest, ParametersStayInRangeAndIgnoreNaN) {
    SoundBox& box = makeEngine();
    box.setCutOffAmount(7.0f);
    EXPECT_FLOAT_EQ(box.cutOffAmount(), 1.0f);
    box.setDelayTime(-1.0f);
    EXPECT_FLOAT_EQ(box.delayTime(), 0.0f);
    box.setDelayTime(std::nanf(""));
    EXPECT_FLOAT_EQ(box.delayTime(), 0.0f);
    box.setVolume(0.5f);
    box.setVolume(std::nanf(""));
    EXPECT_FLOAT_EQ(box.volume(), 0.5f);
    box.setVolume(3.0f, kick_);
    EXPECT_FLOAT_EQ(box.volumeForTrack(kick_), 1.5f);
    // Every effect at full, still a bounded output.
    box.setCutOffAmount(1.0f);
    box.setCrushAmount(1.0f);
    box.setPhaseAmount(1.0f);
    box.setDelayIntensity(1.0f);
    box.setReverbAmount(1.0f);
    box.setDelayTime(0.1f);
    box.startTrack(kick_, 0, true, false, false, 1.0f);
    std::vector<int32_t> out = renderFrames(44100);
    for (int32_t sample : out) ASSERT_LT(std::abs(static_cast<int64_t>(sample)), 40LL * 1000 * kFixedPer16Bit);
}

TEST_F(ControlTest, SlowMachinesGetALongerBuffer) {
    EXPECT_DOUBLE_EQ(SoundBox::preferredBufferDuration("iPod3,1"), 0.01);
    EXPECT_DOUBLE_EQ(SoundBox::preferredBufferDuration("iPod4,1"), 0.005);
    EXPECT_DOUBLE_EQ(SoundBox::preferredBufferDuration("x86_64"), 0.005);
}

TEST_F(ControlTest, UnusedCachesAreFreedAfterThirtySecondsOffTheCurrentBank) {
    SoundBox& box = makeEngine();
    box.currentSoundbankChanged(0);
    box.waitForPreloads();
    box.startTrack(hat_, 0, false, false, false, 1.0f);
    renderFrames(20000 + 512);
    ASSERT_GT(box.trackForFile(hat_)->numFramesInCache(), 0u);
    loop_.advance(61 * platform::kNanosPerSecond);  // the sweep runs every minute
    EXPECT_EQ(box.trackForFile(hat_)->numFramesInCache(), 0u);
    EXPECT_GT(box.trackForFile(kick_)->numFramesInCache(), 0u);  // on the current bank
}

TEST_F(ControlTest, ReloadingTracksWhilePlayingKeepsTheEngineSound) {
    SoundBox& box = makeEngine();
    box.currentSoundbankChanged(0);
    box.startTrack(kick_, 0, true, false, false, 1.0f);
    box.startTrackFromSequencer(snare_, device_->nextHostTime() + 60'000'000);
    render();
    for (int i = 0; i < 5; ++i) {
        box.reloadTracks();  // preloads of the old tracks may still run meanwhile
        render();
    }
    box.waitForPreloads();
    renderFrames(2048);
    EXPECT_TRUE(sounds(snare_));  // the queued start followed its path to the new track
    EXPECT_TRUE(box.startTrack(kick_, 0, true, false, false, 1.0f));
    std::vector<int32_t> out = renderFrames(256);
    EXPECT_NE(out[100], 0);
}

TEST_F(ControlTest, AReloadKeepsMutesAndTheSoloAndEndsWhatSoundedWithItsNotices) {
    const std::string clap = "Documents/clap.wav";
    writeWave(sandbox_.absolutePath(clap), constantMono(20000, 1000));
    const struct {
        const char* name;
        bool solo;  // else the kick is muted
    } cases[] = {{"mute", false}, {"solo", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SoundBox& box = makeEngine();
        box.currentSoundbankChanged(0);
        if (c.solo) {
            box.toggleSoloForTrack(snare_);
        } else {
            box.toggleMuteForTrack(kick_);
        }
        // A file appears in the documents folder: the library's samples change.
        std::vector<LibrarySample> more = samples_;
        more.push_back({clap, "clap", 1.0f});
        library_.setSamples(more);
        for (const std::string& path : {kick_, snare_, clap}) {
            const bool heard = c.solo ? path == snare_ : path != kick_;
            EXPECT_EQ(box.trackIsMuted(path), !heard) << path;
            box.startTrackFromSequencer(path, 1);
            render();
            EXPECT_EQ(sounds(path), heard) << path;
        }
    }

    // A pad sounding when its track is swapped out is told to have stopped: its
    // lamp goes out and its note-off goes out.
    SoundBox& box = makeEngine();
    box.currentSoundbankChanged(0);
    RecordingDelegate observer;
    box.addDelegate(&observer);
    box.startTrack(snare_, 0, true, false, false, 1.0f);
    render();
    library_.setSamples(samples_);
    render();
    pump();
    EXPECT_EQ(observer.count("stopped " + snare_), 1u);
    EXPECT_TRUE(observer.saw("noteOff 1"));
    EXPECT_TRUE(observer.saw("padOff 1"));
    EXPECT_FALSE(sounds(snare_));
}

TEST_F(ControlTest, AReloadKeepsTheFramesOfEverySampleThatSurvivesIt) {
    SoundBox& box = makeEngine();
    box.currentSoundbankChanged(0);             // the kick and the snare are read for their pads
    box.startTrackFromSequencer(hat_, 1);       // the hat when the pattern plays it
    renderFrames(20000 + 1024);
    box.waitForPreloads();
    // From here the disk answers nothing: what sounds comes from memory.
    std::promise<void> disk;
    std::shared_future<void> answered = disk.get_future().share();
    box.setPreloadGate([answered] { answered.wait(); });
    writeWave(sandbox_.absolutePath(snare_), constantMono(20000, 3000));  // the snare changed on the disk

    addSample("clap", constantMono(20000, 1000));  // a file appears in the documents folder
    library_.setSamples(samples_);
    const uint64_t skipped = box.counters().skippedBlocks;
    for (const std::string& path : {kick_, hat_, snare_}) box.startTrackFromSequencer(path, 1);
    device_->renderBuffer();
    EXPECT_EQ(device_->left()[0], 2 * kFixedPer16Bit * 1000) << "the kick and the hat at once, no old snare";
    EXPECT_EQ(box.counters().skippedBlocks, skipped + 1) << "only the snare waits for the disk";

    disk.set_value();
    box.waitForPreloads();
    box.stopAllTracks();
    renderFrames(512);
    box.startTrackFromSequencer(snare_, 1);
    EXPECT_EQ(renderFrames(256)[0], 3000 * kFixedPer16Bit) << "the snare as the disk holds it now";
}

TEST_F(ControlTest, RecordingOnADeviceAt48kHzRebuildsNoTrackAndKeepsMutes) {
    SoundBox& box = makeEngine(256, 48000.0);
    box.toggleMuteForTrack(kick_);
    const std::shared_ptr<Track> before = box.trackForFile(kick_);
    ASSERT_TRUE(box.startSampleRecord().path.has_value());
    box.stopSampleRecord();
    EXPECT_EQ(box.trackForFile(kick_), before) << "the rate did not change";
    EXPECT_TRUE(box.trackIsMuted(kick_));
}

TEST_F(ControlTest, AStopOrRetriggerWhileTheSoundStillLoadsIsToldOnce) {
    // The sequencer's start or stop falls inside a block while the sample's
    // frames are still on their way from the disk.
    const struct {
        const char* name;
        bool retrigger;  // else a stop
        const char* told;
        size_t times;
    } cases[] = {{"stop", false, "stopped ", 1}, {"retrigger", true, "started ", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SoundBox& box = makeEngine();  // no bank chosen: no sample is in memory
        std::promise<void> disk;
        std::shared_future<void> answered = disk.get_future().share();
        box.setPreloadGate([answered] { answered.wait(); });
        RecordingDelegate observer;
        box.addDelegate(&observer);
        box.startTrackFromSequencer(kick_, 1);
        device_->renderBuffer();
        const uint64_t insideNextBlock = device_->nextHostTime() + 2 * platform::kNanosPerMillisecond;
        if (c.retrigger) {
            box.startTrackFromSequencer(kick_, insideNextBlock);
        } else {
            box.stopTrackFromSequencer(kick_, insideNextBlock);
        }
        for (int i = 0; i < 4; ++i) device_->renderBuffer();
        pump();
        disk.set_value();
        EXPECT_EQ(observer.count(std::string(c.told) + kick_), c.times);
        if (!c.retrigger) {
            EXPECT_EQ(observer.count("noteOff 0"), 1u);
        }
        box.removeDelegate(&observer);
    }
}

TEST_F(ControlTest, ASampleThatCouldNotBeReadIsToldOnceAndTriedAgainAtALaterStart) {
    SoundBox& box = makeEngine();
    struct Unreadable : SoundBoxDelegate {
        void sampleUnreadable(const std::string& path, const std::string& message) override {
            told.push_back(path + ": " + message);
        }
        std::vector<std::string> told;
    } screen;
    box.addDelegate(&screen);
    const std::filesystem::path file = sandbox_.absolutePath(kick_);
    std::filesystem::resize_file(file, 30);  // cut off inside its header
    box.currentSoundbankChanged(0);          // the pads' samples are read
    box.waitForPreloads();
    pump();
    ASSERT_EQ(screen.told.size(), 1u);
    EXPECT_EQ(screen.told[0].rfind(kick_ + ": The sample 'kick' cannot be played: " + kick_ + " could not be read (", 0),
              0u)
        << screen.told[0];

    // Pressed again and again, soon and later: silence, told no more.
    for (uint64_t wait : {uint64_t(0), 2 * platform::kNanosPerSecond}) {
        loop_.advance(wait);
        box.startTrack(kick_, 0, true, false, false, 1.0f);
        EXPECT_EQ(firstNonZero(renderFrames(1024)), 1024u);
        pump();
    }
    EXPECT_EQ(screen.told.size(), 1u);

    // Mended on the disk: the next start reads it again, and it sounds, at once
    // (a moment after the last failed try).
    box.startTrack(kick_, 0, true, false, false, 1.0f);
    renderFrames(1024);
    writeWave(file, constantMono(20000, 1000));
    box.startTrack(kick_, 0, true, false, false, 1.0f);
    EXPECT_LT(firstNonZero(renderFrames(1024)), 1024u);
    EXPECT_EQ(screen.told.size(), 1u);
}

TEST_F(ControlTest, RecordingWritesTheMicrophoneAtItsOwnRate) {
    // A device at another rate than the engine's preferred one records at its own.
    for (double rate : {44100.0, 48000.0}) {
        SCOPED_TRACE(rate);
        SoundBox& box = makeEngine(256, rate);
        EXPECT_FALSE(box.isRecording());
        std::optional<std::string> path = box.startSampleRecord().path;
        ASSERT_TRUE(path.has_value());
        EXPECT_TRUE(box.isRecording());
        EXPECT_EQ(box.startSampleRecord().problem, SoundBox::SampleRecordStart::Problem::alreadyRecording);
        std::vector<int32_t> block(441);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int32_t>(i) * kFixedPer16Bit;
        for (int i = 0; i < 10; ++i) device_->deliverInput(block);
        EXPECT_TRUE(box.stopSampleRecord().written);
        EXPECT_FALSE(box.isRecording());
        EXPECT_FALSE(device_->duplex());

        SF_INFO info{};
        SNDFILE* file = sf_open(path->c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(info.samplerate, static_cast<int>(rate));
        EXPECT_EQ(info.channels, 1);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        std::vector<short> samples(5000);
        // Every captured frame, none resampled.
        ASSERT_EQ(sf_readf_short(file, samples.data(), 5000), 4410);
        sf_close(file);
        EXPECT_EQ(samples[440], 440);
        EXPECT_EQ(samples[441], 0);
    }
}

TEST_F(ControlTest, RecordingThatCannotOpenTheMicrophoneIsAFailure) {
    SoundBox& box = makeEngine();
    device_->failNextConfigure(true);
    const SoundBox::SampleRecordStart started = box.startSampleRecord();
    EXPECT_FALSE(started.path.has_value());
    EXPECT_EQ(started.problem, SoundBox::SampleRecordStart::Problem::microphone);
    EXPECT_EQ(started.reason, "the device is busy");
    EXPECT_FALSE(box.isRecording());
    EXPECT_TRUE(box.running());  // playback goes on
}

}  // namespace
}  // namespace strombel::engine::testing

namespace strombel::engine::testing {
namespace {

TEST_F(ControlTest, TheSharedEngineIsOneEngineUntilReplaced) {
    auto own = std::make_unique<SoundBox>(std::make_unique<platform::ManualAudioDevice>(), sandbox_, loop_, &library_);
    SoundBox* expected = own.get();
    SoundBox::setShared(std::move(own));
    EXPECT_EQ(&SoundBox::shared(), expected);
    EXPECT_EQ(&SoundBox::shared(), &SoundBox::shared());
    SoundBox::setShared(nullptr);
}

}  // namespace
}  // namespace strombel::engine::testing
