#pragma once

// The client side of the local audio exchange server. The server belongs to
// another program; it only ever runs on this machine, at 127.0.0.1 on a port
// the screens are given (the program gives 16612; tests give the port of a
// peer they started, or none: then nothing is asked and no peer runs).
// What we send and expect:
//
//   GET  /status                 any 2xx answer within one second: a peer runs.
//   POST /upload?name=NAME       body: the WAVE file's bytes ("audio/wav"); NAME is
//                                the item's name, percent-encoded. 2xx: stored.
//   GET  /contents               a JSON array of items, each an object
//                                  {"name": "Loop 1", "path": "/items/1.wav", "size": 123456}
//                                "name" is shown only (never used as a file name);
//                                "path" starts with "/" and has no ".." step; "size"
//                                is 1 to 256 MiB. Items that break these rules are
//                                left out. The list may not exceed 1 MiB.
//   GET  <path>                  the item's bytes (at most its "size").
//
// A peer's bytes are outside input: every answer is size-limited, and nothing
// waits on a silent peer longer than its time-out. Every member belongs to the
// main loop's thread; callbacks come there.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/network_thread.h"
#include "platform/result.h"

namespace strombel::http {
class HttpRequest;
}

namespace strombel::editor {

/// The domain of a list of the audio exchange that cannot be used (code 1; the
/// message is what the screen shows).
inline constexpr std::string_view kAudioExchangeErrorDomain = "AudioExchangeErrorDomain";

/// One item the exchange offers.
struct ExchangeItem {
    std::string name;
    std::string path;
    uint64_t size = 0;
};

/// Where the screens find the local exchange server: 127.0.0.1 at `port`,
/// through `network` (required unless the port is 0). Port 0: there is no
/// exchange, and nothing is asked.
struct ExchangeSettings {
    int port = 0;
    http::NetworkThread* network = nullptr;
};

class AudioExchangeClient {
public:
    static constexpr int kDefaultPort = 16612;
    /// The error of every call when no exchange answers (or port 0 names none).
    static constexpr const char* kNotRunning = "no audio exchange runs on this computer";
    static constexpr uint64_t kMaxContentsBytes = 1 << 20;
    static constexpr size_t kMaxItems = 1000;
    static constexpr double kStatusTimeoutSeconds = 1.0;
    static constexpr double kTimeoutSeconds = 5.0;

    /// Port 0: no exchange; every call answers at once that none runs.
    AudioExchangeClient(int port, http::NetworkThread& network) : AudioExchangeClient(ExchangeSettings{port, &network}) {}
    /// A port other than 0 without a network thread stops the program, naming it.
    explicit AudioExchangeClient(const ExchangeSettings& settings);
    ~AudioExchangeClient();
    AudioExchangeClient(const AudioExchangeClient&) = delete;
    AudioExchangeClient& operator=(const AudioExchangeClient&) = delete;

    int port() const { return port_; }
    std::string address(const std::string& path) const;

    /// Answers whether a peer answers "/status" within a second.
    void checkStatus(std::function<void(bool running)> done);
    /// Sends the file under `name`; `done` gets an empty string, or why it failed.
    void upload(const std::filesystem::path& file, const std::string& name, std::function<void(std::string error)> done);
    /// Fetches the list of items; `error` says why there is none, or, with items,
    /// how many were left out.
    void fetchContents(std::function<void(std::vector<ExchangeItem> items, std::string error)> done);
    /// Fetches one item's bytes (at most its size).
    void fetchItem(const ExchangeItem& item, std::function<void(std::vector<uint8_t> bytes, std::string error)> done);

    /// The items of a "/contents" body that keep the rules above, and how many
    /// others were left out.
    struct Contents {
        std::vector<ExchangeItem> items;
        size_t leftOut = 0;
    };
    /// The contents of a "/contents" body; an error of kAudioExchangeErrorDomain
    /// when the body is no such list (a JSON error under it when it is no JSON).
    static platform::Result<Contents> parseContents(const std::vector<uint8_t>& body);
    /// Whether a peer's item path may be fetched.
    static bool isSafeItemPath(const std::string& path);

    /// Forgets every request on its way: no callback runs afterwards.
    void cancelAll();

private:
    class Call;
    void start(std::unique_ptr<http::HttpRequest> request, std::function<void(http::HttpRequest&, bool)> done);

    int port_;
    http::NetworkThread* network_;
    std::list<std::unique_ptr<Call>> calls_;
};

}  // namespace strombel::editor
