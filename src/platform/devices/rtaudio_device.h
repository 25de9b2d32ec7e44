#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "platform/devices/audio_device.h"
#include "platform/devices/jack_clients.h"

class RtAudio;

namespace strombel::platform {

/// A real sound card through RtAudio (JACK, PulseAudio or ALSA). The stream is
/// float, non-interleaved; the device converts from and to 8.24 with saturation.
///
/// Every call but the constructor may wait on the sound server: the program
/// makes its calls on the JACK opener's thread (see FailoverAudioDevice).
///
/// A stream that fails (RtAudio's error callback, or on JACK the server shutting
/// the stream's client down) is reported once as `Lost`; from then on the device
/// renders nothing, and closing it leaves alone whatever the server tore down.
/// `configure` opens a fresh stream.
class RtAudioDevice final : public AudioDevice {
public:
    enum class Backend { Jack, Pulse, Alsa };

    explicit RtAudioDevice(Backend backend);
    /// The first of `choices` that opens, tried in turn by each `configure`
    /// until one has opened; from then on that one.
    explicit RtAudioDevice(std::vector<Backend> choices);
    ~RtAudioDevice() override;

    /// Whether the backend is compiled in and shows at least one output device.
    static bool available(Backend backend);
    static bool compiledIn(Backend backend);

    std::string name() const override;
    bool configure(const AudioDeviceConfig& config) override;
    bool start() override;
    bool stop() override;
    bool running() const override;
    void close() override;
    double sampleRate() const override { return sampleRate_; }
    uint32_t bufferFrames() const override { return frames_; }
    bool duplex() const override { return duplexOpen_; }
    std::string lastError() const override { return error_; }
    /// Unopened, of the backend that opened, or with the same choices while none has.
    /// A JACK server that answers a client of our own but refused RtAudio's:
    /// RtAudio's clients share one name with every other program using
    /// RtAudio, and one may be refused while another program asks at the same
    /// moment. Another try may open; no other sound system was tried.
    bool mayOpenOnAnotherTry() const override { return refusedByAnsweringServer_; }
    std::unique_ptr<AudioDevice> makeAnother() const override {
        if (choices_.size() > 1) return std::make_unique<RtAudioDevice>(choices_);
        return std::make_unique<RtAudioDevice>(backend_);
    }

    /// Called by RtAudio on its audio thread for every buffer; `xrun` when the
    /// stream reported an under- or overflow since the last one. Marks the
    /// thread real-time and hands the buffer to the engine's callbacks.
    int process(float* output, const float* input, unsigned frames, bool xrun);
    /// Called when the stream fails (RtAudio's error callback on the stream's
    /// thread, JACK's shutdown notice on JACK's): reports `Lost` once.
    void streamFailed(const std::string& reason);
    /// Whether the open stream was lost.
    bool lost() const { return lost_.load(); }

    /// True when RtAudio of this version (as `RtAudio::getVersion()` gives it)
    /// keeps its JACK client where we reach for it to watch the server.
    static bool knowsJackLayoutOf(const std::string& version);

private:
    /// Whether the stream's objects may still be stopped and closed.
    bool closable() const;
    /// Opens the stream on `backend_`; false with `error_` set (the reason alone).
    bool openStream(const AudioDeviceConfig& config);

    std::vector<Backend> choices_;
    Backend backend_;
    std::unique_ptr<RtAudio> rtaudio_;
    double sampleRate_ = 44100.0;
    uint32_t frames_ = 256;
    bool duplexOpen_ = false;
    std::string error_;
    bool refusedByAnsweringServer_ = false;
    BufferTimeline timeline_;
    std::atomic<bool> anchored_{false};
    std::atomic<bool> lost_{false};
    // The stream's objects were left alone: a client still running calls in
    // for nothing.
    std::atomic<bool> leftAlone_{false};
    // On JACK: the server's shutdown of the stream's client, watched by us
    // instead of by RtAudio (which would close the client itself).
    std::unique_ptr<JackShutdownWatch> jackWatch_;
    std::vector<int32_t> left_, right_, microphone_;

public:
    /// What the stream's callback is handed instead of the device: a stream
    /// left alone keeps it (and may still call it) after the device is gone.
    struct CallbackGate {
        std::atomic<RtAudioDevice*> device{nullptr};
        std::atomic<int> inside{0};
    };

private:
    std::unique_ptr<CallbackGate> gate_;
};

}  // namespace strombel::platform
