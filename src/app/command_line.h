#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ui/gui_type.h"

namespace strombel::app {

/// What the program was asked on its command line.
struct CommandLine {
    /// The layout: the tablet unless asked otherwise.
    ui::GuiType guiType = ui::GuiType::tablet;
    /// The folder for the library, settings and exports; none: the default one.
    std::optional<std::string> root;
    /// The store's address (--store-url); none: the environment's or the built-in one.
    std::optional<std::string> storeURL;
    /// An address the desktop asks the program to open (the way back from the
    /// social network's login in the browser).
    std::optional<std::string> openUrl;
    bool help = false;
    /// A hub launch address ("<scheme>.wirehub://"), the program's launch options.
    std::string launchURL;
    /// Why the command line is wrong; empty when it is fine.
    std::string error;
};

/// Reads the arguments (the program's name first). Unknown options, missing or
/// wrong values and stray arguments are errors.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

/// The text `--help` prints.
std::string commandLineHelp();

/// The exit status of a wrong command line.
constexpr int kCommandLineErrorStatus = 2;

/// Why no window can be shown, before Qt is asked to: empty when a display (or
/// a platform of Qt's that needs none) was named.
std::string missingDisplayProblem();

/// What the program says when it finds no display.
constexpr const char* kNoDisplayMessage = "no display: set DISPLAY or run with QT_QPA_PLATFORM=offscreen";

/// What the program says when the display it was given does not answer: the
/// display named (from DISPLAY, or WAYLAND_DISPLAY where only that is set).
std::string unreachableDisplayProblem();

}  // namespace strombel::app
