#pragma once

// What the application delegate needs of the engine, the sequencer, the library,
// the main pad screen and the window, each as a small interface. The program
// hands in adapters over SoundBox, Sequencer, SoundDataManager and the Qt window
// (app_adapters.h); tests hand in the same adapters over privately built
// instances.

#include <functional>
#include <memory>
#include <string>

#include "hub/hub_port.h"
#include "ui/pad/strombel_view_controller_delegate.h"

namespace strombel::app {

/// The audio engine as start-up and the life-cycle drive it. Main thread only.
class AppEngine {
public:
    virtual ~AppEngine() = default;
    /// Starts the output; false, with `lastError()` set, when no output could start.
    virtual bool start() = 0;
    /// Starts the output even when it reports that it runs.
    virtual void startOverrideIsPlayingCheck(bool overrideCheck) = 0;
    virtual void stop() = 0;
    virtual bool isRecording() const = 0;
    /// Drops the frame caches of tracks not in use.
    virtual void clearUnusedCache() = 0;
    /// The output unit that the hub's sender port publishes.
    virtual hub::AudioUnitHandle audioUnit() const = 0;
    virtual std::string lastError() const { return {}; }
    /// Why the output plays to no sound card, as it becomes known: the output is
    /// opened off the main loop, so its answer comes once the launch has begun.
    /// `changed` runs on the main loop with the reason, and with an empty text
    /// once an output opened after all.
    virtual void watchOutputProblem(std::function<void(const std::string& problem)> changed) {
        static_cast<void>(changed);
    }
};

/// The pattern sequencer as the life-cycle asks it.
class AppSequencer {
public:
    virtual ~AppSequencer() = default;
    virtual bool isRunning() const = 0;
};

/// The library's start-up: brings the stored data up to date (which creates the
/// library). Answers an empty string, or what the user must be told about the
/// stored data, worded for them: a store that could not be opened (the program
/// then runs on the stock packs in memory), one that was damaged and set aside,
/// or one that cannot be saved.
class AppLibrary {
public:
    virtual ~AppLibrary() = default;
    virtual std::string makeDataUpToDate() = 0;
    /// What the user must be told about the MIDI note map, read as the pad screen
    /// was made (a damaged one is set aside), worded for them; empty when all is well.
    virtual std::string noteMapProblem() const { return {}; }
    /// Writes pending changes to disk (at shutdown).
    virtual void save() {}
};

/// The main pad screen as the application delegate sees it.
class AppMainScreen {
public:
    virtual ~AppMainScreen() = default;
    virtual bool playbackIsRunning() const = 0;
    virtual void startPlayback() = 0;
    virtual void stopPlayback() = 0;
    virtual bool backgroundAudioEnabled() const = 0;
};

/// The one application window.
class AppWindow {
public:
    virtual ~AppWindow() = default;
    virtual void setBackgroundBlack() = 0;
    /// Makes the pad screen the window's root: the tablet screen when `isIpad`,
    /// else the phone screen, with `delegate` as the screen's delegate.
    virtual AppMainScreen& engageMainScreen(bool isIpad, ui::StrombelViewControllerDelegate* delegate) = 0;
    virtual void makeKeyAndVisible() = 0;
    /// Keeps the display awake (true) or lets it sleep.
    virtual void setIdleTimerDisabled(bool disabled) = 0;
    /// Tells the user something went wrong at start (a message box).
    virtual void showLaunchProblem(const std::string& title, const std::string& message) = 0;
    /// Takes back what was told under `title` that is no longer true (the box goes if still open).
    virtual void takeBackLaunchProblem(const std::string& title) { static_cast<void>(title); }
};

}  // namespace strombel::app
