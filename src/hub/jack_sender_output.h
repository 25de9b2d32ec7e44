#pragma once

// The sender port on JACK: a client named after the endpoint with the output
// ports "<port name> L" and "<port name> R", fed from the engine's output tap.

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "hub/sender_audio_ring.h"
#include "platform/devices/audio_device.h"
#include "platform/devices/jack_clients.h"
#include "platform/main_loop.h"

namespace strombel::platform {
class JackOpener;
}

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

namespace strombel::hub {

struct JackSenderOutputOptions {
    std::string clientName;
    std::string portName;
    /// The ports' pretty name (JACK metadata).
    std::string title;
    /// The device whose rendered buffers are published (not owned).
    platform::AudioDevice* device = nullptr;
    /// The level applied on JACK's thread (1 when none), kept alive by
    /// `volumeOwner` when that is given.
    const std::atomic<float>* volume = nullptr;
    std::shared_ptr<const std::atomic<float>> volumeOwner;
    /// Where connection reports are delivered (not owned).
    platform::MainLoop* loop = nullptr;
    /// On `loop`: whether any JACK port is connected to ours now.
    std::function<void(bool connected)> connectionChanged;
    /// On `loop`, once: the server shut the client down (its ports are gone).
    std::function<void()> serverGone;
    /// Say nothing when there is no server (a watch trying again).
    bool quiet = false;
    /// Ring size, in frames of the device's rate.
    size_t ringFrames = 16384;
    /// Frames gathered before the first period is handed out.
    size_t cushionFrames = 1024;
};

/// Opened and closed on the JACK opener's thread; JACK's process callback
/// reads the ring, which `startTapping` (main thread) fills from the device.
/// Closing removes the tap before the client goes. A client whose server
/// went away is left alone, never closed (see platform/devices/jack_clients.h).
class JackSenderOutput {
public:
    using Options = JackSenderOutputOptions;

    /// The running client, or none without a JACK server (warned once per
    /// process; no server is started).
    static std::unique_ptr<JackSenderOutput> open(Options options);
    /// Publishes the device's output from now on (until then the ports carry
    /// silence). Main thread.
    void startTapping();
    ~JackSenderOutput();
    JackSenderOutput(const JackSenderOutput&) = delete;
    JackSenderOutput& operator=(const JackSenderOutput&) = delete;

    /// The JACK names of the two ports ("client:port").
    std::string leftPortName() const;
    std::string rightPortName() const;
    double jackSampleRate() const;
    /// Periods handed out as silence because the ring ran empty.
    uint64_t gaps() const { return reader_.gaps(); }
    uint64_t overruns() const { return ring_.overruns(); }
    /// The server shut the client down, or may have: another client of the
    /// process heard of a loss, or an open failed, since this one opened (its
    /// own notice does not always come).
    bool serverGone() const { return watch_ && !watch_->closable(); }
    /// Lets go of an output whose server has gone. Its client is left alone
    /// (libjack frees it) and libjack's threads of that client may still call
    /// with this object as their context, so it is never freed: it detaches
    /// from the engine, goes quiet and is kept for the rest of the run.
    static void abandon(std::unique_ptr<JackSenderOutput> output);
    /// Lets go of an output: it detaches from the engine here, and its client
    /// is closed on `opener`'s thread, where a server that hangs holds nobody
    /// else; one whose server went is abandoned instead. Main thread.
    static void close(platform::JackOpener& opener, std::unique_ptr<JackSenderOutput> output);
    bool resampling() const { return reader_.resampling(); }
    /// Frames waiting in the ring (approximate off JACK's thread; tests pace by it).
    size_t queuedFrames() const { return ring_.available(); }

    /// One period as JACK's process callback runs it, into the given buffers.
    /// Real-time. (The benchmark calls it directly.)
    void render(float* left, float* right, uint32_t frames, double outputRate);

private:
    explicit JackSenderOutput(Options options);
    static int process(uint32_t frames, void* context);
    static void portConnected(uint64_t a, uint64_t b, int connect, void* context);
    void checkConnections();

    Options options_;
    SenderAudioRing ring_;
    SenderAudioReader reader_;
    jack_client_t* client_ = nullptr;
    std::unique_ptr<platform::JackShutdownWatch> watch_;
    jack_port_t* left_ = nullptr;
    jack_port_t* right_ = nullptr;
    std::atomic<uint32_t> sampleRate_{0};
    bool connected_ = false;
    // Connections to our two ports, counted from JACK's notices as they come:
    // right after a notice the graph JACK lets clients read may still be the
    // one before it, so it is not asked.
    std::atomic<int> connections_{0};
    std::shared_ptr<JackSenderOutput*> alive_;
    std::atomic<bool> abandoned_{false};
    // Set once the engine's device was given the tap: an output that never
    // tapped (one opened on the opener's thread and dropped) never reaches the
    // device, which may be gone by then.
    bool tapped_ = false;
};

}  // namespace strombel::hub
