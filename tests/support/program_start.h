#pragma once

// The program started as a user starts it, for the benchmarks that measure a
// start or draw its screens: the real bundle, no sound card, a loopback MIDI
// world, the pad screen in a window not shown.

#include <filesystem>
#include <memory>

#include "app/program.h"
#include "platform/devices/loopback_midi_backend.h"
#include "platform/devices/null_audio_device.h"
#include "platform/main_loop.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "ui/kit/context.h"

namespace strombel::testing {

/// One start of the program on `root`, launched and its pending work run.
struct ProgramStart {
    explicit ProgramStart(const std::filesystem::path& root)
        : sandbox(root, platform::Sandbox::defaultBundle(), root.parent_path() / "Trash"),
          defaults(((void)sandbox.createFolders(), sandbox.preferences() / "defaults.sqlite")),
          context(loop, ui::kit::Screen::tablet()) {
        loop.bindToCurrentThread();
        app::ProgramSetup setup(sandbox, defaults, loop, platform::SystemClock::shared(),
                                platform::NotificationCenter::shared());
        setup.audioDevice = std::make_unique<platform::NullAudioDevice>();
        setup.midiBackend = &midi;
        setup.showWindow = false;
        program = std::make_unique<app::Program>(std::move(setup));
        program->launch();
        loop.runPending();
    }
    platform::MainLoop loop{platform::SystemClock::shared()};
    platform::Sandbox sandbox;
    platform::UserDefaults defaults;
    platform::LoopbackMidiBackend midi{platform::SystemClock::shared()};
    ui::kit::Context context;
    std::unique_ptr<app::Program> program;
};

}  // namespace strombel::testing
