#pragma once

// A real X server for one test: Xvfb on a display it picks itself (-displayfd,
// so tests running side by side never collide), with a light window manager
// when one is installed, and the programs a test runs against it: the program
// under test and xdotool, whose clicks are real X events (XTEST).

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace strombel::testing {

/// Xvfb on a free display, with openbox managing its windows when installed.
class XServer {
public:
    explicit XServer(const std::string& screen = "1600x1000x24") {
        int pipe[2];
        if (::pipe(pipe) != 0) return;
        const std::string fd = std::to_string(pipe[1]);
        server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", fd, "-screen", "0", screen, "-nolisten",
                                                 "tcp", "-noreset"},
                        environmentWith({}));
        ::close(pipe[1]);
        // Xvfb writes its display number once it accepts clients.
        std::string number;
        pollfd wait{pipe[0], POLLIN, 0};
        char c;
        while (::poll(&wait, 1, 10000) > 0 && ::read(pipe[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(pipe[0]);
        if (number.empty()) return;
        display_ = ":" + number;
        if (runCommand({"sh", "-c", "command -v openbox"}, environmentWith({}))) {
            windowManager_.emplace(std::vector<std::string>{"openbox"}, environment({}));
            // It takes the screen before the first window maps.
            runCommand({"xdotool", "sleep", "0.3"}, environment({}));
        }
    }
    ~XServer() {
        if (windowManager_) windowManager_->signal(SIGTERM), windowManager_->wait(5);
        if (server_) server_->signal(SIGTERM), server_->wait(5);
    }

    /// Empty when no X server could be started (Xvfb missing).
    const std::string& display() const { return display_; }
    /// The environment of a program on this display (no offscreen platform).
    std::vector<std::string> environment(std::vector<std::string> changes) const {
        changes.push_back("DISPLAY=" + display_);
#if defined(__SANITIZE_ADDRESS__)
        // The program's shared GL context loads the system's GL driver, which is
        // unloaded at exit: LeakSanitizer then takes what the driver still held
        // for a leak of an unknown module. Without GL the window draws the same.
        changes.push_back("QT_XCB_GL_INTEGRATION=none");
#endif
        changes.push_back("QT_QPA_PLATFORM");
        changes.push_back("WAYLAND_DISPLAY");
        return environmentWith(changes);
    }
    /// Runs xdotool on this display; its output, or nothing when it failed.
    std::optional<std::string> xdotool(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), "xdotool");
        return runCommand(arguments, environment({}));
    }

private:
    std::optional<ChildProcess> server_;
    std::optional<ChildProcess> windowManager_;
    std::string display_;
};

}  // namespace strombel::testing
