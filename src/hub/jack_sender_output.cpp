#include "hub/jack_sender_output.h"

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/thread.h>

#include <atomic>
#include <utility>
#include <vector>

#include "logging/log.h"
#include "platform/devices/jack_opener.h"
#include "platform/realtime.h"
#include "platform/thread_priority.h"

namespace strombel::hub {

namespace {

std::atomic<bool> warnedNoServer{false};

}  // namespace

JackSenderOutput::JackSenderOutput(Options options)
    : options_(std::move(options)),
      ring_(options_.ringFrames),
      reader_(ring_, options_.cushionFrames),
      alive_(std::make_shared<JackSenderOutput*>(this)) {}

std::unique_ptr<JackSenderOutput> JackSenderOutput::open(Options options) {
    std::unique_ptr<JackSenderOutput> output(new JackSenderOutput(std::move(options)));
    // A server that refuses the client while it answers is asked again first.
    output->client_ = platform::openJackClient(output->options_.clientName);
    if (!output->client_) {
        if (!output->options_.quiet && !warnedNoServer.exchange(true)) {
            STROMBEL_LOG_WARN("No JACK server: the inter-app audio output \"{}\" is not published",
                                 output->options_.portName);
        }
        return nullptr;
    }
    jack_client_t* client = output->client_;
    output->watch_ = platform::JackShutdownWatch::install(client, [alive = std::weak_ptr<JackSenderOutput*>(
                                                                      output->alive_)](const std::string&) {
        // JACK's thread: the main loop hears of it. The guard is copied here,
        // and a client left alone no longer calls.
        auto self = alive.lock();
        if (!self || !(*self)->options_.loop) return;
        (*self)->options_.loop->post([alive] {
            if (auto output = alive.lock(); output && (*output)->options_.serverGone) (*output)->options_.serverGone();
        });
    });
    output->sampleRate_.store(jack_get_sample_rate(client));
    const std::string left = output->options_.portName + " L", right = output->options_.portName + " R";
    output->left_ = jack_port_register(client, left.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    output->right_ = jack_port_register(client, right.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (!output->left_ || !output->right_) {
        STROMBEL_LOG_ERROR("The JACK ports of \"{}\" could not be registered", output->options_.portName);
        // A server that takes a client in and then fails it is not sound: every
        // client of this process opened on it is left alone from now on (closing
        // one at quit crashed inside libjack), this one too.
        platform::noteFailedJackOpen();
        return nullptr;
    }
    for (jack_port_t* port : {output->left_, output->right_}) {
        jack_set_property(client, jack_port_uuid(port), JACK_METADATA_PRETTY_NAME, output->options_.title.c_str(),
                          "text/plain");
    }
    jack_set_process_callback(client, &JackSenderOutput::process, output.get());
    jack_set_port_connect_callback(
        client, [](jack_port_id_t a, jack_port_id_t b, int connect, void* context) {
            JackSenderOutput::portConnected(a, b, connect, context);
        },
        output.get());
    if (jack_activate(client) != 0) {
        STROMBEL_LOG_ERROR("The JACK client \"{}\" could not be activated", output->options_.clientName);
        platform::noteFailedJackOpen();  // as above
        return nullptr;
    }
    // The server runs its clients' threads, the engine's audio thread among
    // them, at this priority: the program's real-time threads go under it.
    platform::setAudioThreadPriority(jack_is_realtime(client) ? jack_client_real_time_priority(client) : 0);
    return output;
}

void JackSenderOutput::startTapping() {
    if (!options_.device || abandoned_.load()) return;
    options_.device->setOutputTap(&ring_);
    tapped_ = true;
}

JackSenderOutput::~JackSenderOutput() {
    if (tapped_ && options_.device && options_.device->outputTap() == &ring_) options_.device->setOutputTap(nullptr);
    // Closing stops JACK's threads; only then may the connection callback's
    // guard go (that thread copies it).
    if (client_ && watch_ && !watch_->closable()) {
        platform::JackShutdownWatch::leaveAlone(std::move(watch_));
    } else if (client_) {
        if (watch_) watch_->closing();
        jack_deactivate(client_);
        jack_client_close(client_);
    }
    alive_.reset();
}

void JackSenderOutput::close(platform::JackOpener& opener, std::unique_ptr<JackSenderOutput> output) {
    if (!output) return;
    if (output->serverGone()) return abandon(std::move(output));
    if (output->tapped_ && output->options_.device && output->options_.device->outputTap() == &output->ring_)
        output->options_.device->setOutputTap(nullptr);
    output->tapped_ = false;
    platform::destroyOnOpener(opener, std::move(output));
}

void JackSenderOutput::abandon(std::unique_ptr<JackSenderOutput> output) {
    if (!output) return;
    output->abandoned_.store(true);
    if (output->tapped_ && output->options_.device && output->options_.device->outputTap() == &output->ring_)
        output->options_.device->setOutputTap(nullptr);
    output->alive_.reset();
    // Kept where a leak check still finds it, and never destroyed: exit's
    // destructors must not free what a left-alone client's thread may touch.
    static auto* kept = new std::vector<std::unique_ptr<JackSenderOutput>>();
    kept->push_back(std::move(output));
}

std::string JackSenderOutput::leftPortName() const { return left_ ? jack_port_name(left_) : ""; }
std::string JackSenderOutput::rightPortName() const { return right_ ? jack_port_name(right_) : ""; }
double JackSenderOutput::jackSampleRate() const { return sampleRate_.load(); }

void JackSenderOutput::render(float* left, float* right, uint32_t frames, double outputRate) {
    const float volume = options_.volume ? options_.volume->load(std::memory_order_relaxed) : 1.0f;
    reader_.pull(left, right, frames, outputRate, volume);
}

int JackSenderOutput::process(uint32_t frames, void* context) {
    platform::RealtimeScope realtime;
    auto* output = static_cast<JackSenderOutput*>(context);
    if (output->abandoned_.load(std::memory_order_relaxed)) return 0;
    auto* left = static_cast<float*>(jack_port_get_buffer(output->left_, frames));
    auto* right = static_cast<float*>(jack_port_get_buffer(output->right_, frames));
    output->render(left, right, frames, double(output->sampleRate_.load(std::memory_order_relaxed)));
    return 0;
}

void JackSenderOutput::portConnected(uint64_t a, uint64_t b, int connect, void* context) {
    // JACK's notification thread: the count changes here, the main loop is told.
    auto* output = static_cast<JackSenderOutput*>(context);
    if (output->abandoned_.load()) return;
    auto ours = [output](uint64_t id) {
        jack_port_t* port = jack_port_by_id(output->client_, static_cast<jack_port_id_t>(id));
        return port && (port == output->left_ || port == output->right_);
    };
    const int ends = int(ours(a)) + int(ours(b));
    if (ends == 0) return;
    output->connections_.fetch_add(connect ? ends : -ends);
    if (!output->options_.loop) return;
    std::weak_ptr<JackSenderOutput*> alive = output->alive_;
    output->options_.loop->post([alive] {
        if (auto self = alive.lock()) (*self)->checkConnections();
    });
}

void JackSenderOutput::checkConnections() {
    const bool connected = connections_.load() > 0;
    if (connected == connected_) return;
    connected_ = connected;
    if (options_.connectionChanged) options_.connectionChanged(connected);
}

}  // namespace strombel::hub
