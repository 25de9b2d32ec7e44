#pragma once

// The stand-in exchange peer (exchange_peer.cpp) as a test starts it: its own
// process on 127.0.0.1 at the port it printed, killed by its PID at the end.

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/child_process.h"

namespace strombel::testing {

class ExchangePeer {
public:
    /// Starts the peer serving `folder` in `mode` ("normal" or a hostile one), on
    /// `port` when given (else a free one).
    explicit ExchangePeer(const std::filesystem::path& folder, const std::string& mode = "normal", int port = 0) {
        int pipe[2];
        if (::pipe(pipe) != 0) return;
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{STROMBEL_EXCHANGE_PEER, folder.string(), mode, std::to_string(port)}, environmentWith({}), pipe[1]);
        ::close(pipe[1]);
        std::string line;
        char c;
        while (::read(pipe[0], &c, 1) == 1 && c != '\n') line += c;
        ::close(pipe[0]);
        port_ = line.empty() ? 0 : std::stoi(line);
    }
    ~ExchangePeer() {
        if (process_) process_->signal(SIGKILL), process_->wait(5);
    }
    /// 0 when the peer did not start.
    int port() const { return port_; }

private:
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

}  // namespace strombel::testing
