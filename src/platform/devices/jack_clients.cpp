#include "platform/devices/jack_clients.h"

#include <jack/jack.h>
#include <jack/thread.h>
#include <pthread.h>
#include <unistd.h>

#include <string>

#include "logging/log.h"

#if defined(__SANITIZE_ADDRESS__)
#define STROMBEL_HAS_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STROMBEL_HAS_LSAN 1
#endif
#endif
#ifdef STROMBEL_HAS_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace strombel::platform {

namespace {
std::atomic<uint64_t> losses{0};
// Names change only after a loss that may have left a client of ours alone:
// losses while none was opened (probes with no server) keep them as they are.
std::atomic<uint64_t> nameGeneration{0};
std::atomic<bool> openedSinceNameChange{false};
}  // namespace

namespace {
// A thread libjack makes for a client (its process thread, its notification
// threads), whichever library opened the client: named before it runs
// libjack's function, which it then runs as it would have.
struct JackThreadStart {
    void* (*function)(void*);
    void* argument;
};

void* runNamedJackThread(void* start) {
    const JackThreadStart what = *static_cast<JackThreadStart*>(start);
    delete static_cast<JackThreadStart*>(start);
    pthread_setname_np(pthread_self(), "JACK client");
    return what.function(what.argument);
}

int createNamedJackThread(pthread_t* thread, const pthread_attr_t* attributes, void* (*function)(void*),
                          void* argument) {
    auto* start = new JackThreadStart{function, argument};
    const int error = pthread_create(thread, attributes, &runNamedJackThread, start);
    if (error != 0) delete start;
    return error;
}
}  // namespace

void quietenJackLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto toDebugLog = [](const char* text) { STROMBEL_LOG_DEBUG("JACK: {}", text ? text : ""); };
        jack_set_error_function(toDebugLog);
        jack_set_info_function(toDebugLog);
        // Otherwise its threads would carry the name of the thread that opened
        // the client (the program's, or the JACK opener's).
        jack_set_thread_creator(&createNamedJackThread);
    });
}

uint64_t jackLosses() { return losses.load(); }

void noteJackLoss() {
    losses.fetch_add(1);
    if (openedSinceNameChange.exchange(false)) nameGeneration.fetch_add(1);
}

void noteFailedJackOpen() { noteJackLoss(); }

void noteJackClientOpened() { openedSinceNameChange.store(true); }

std::string jackClientName(const std::string& name) {
    const uint64_t generation = nameGeneration.load();
    return generation == 0 ? name : name + "-" + std::to_string(generation + 1);
}

bool jackServerAnswers() {
    quietenJackLibrary();
    jack_status_t status{};
    jack_client_t* client = jack_client_open(
        jackClientName("strombel-probe " + std::to_string(::getpid())).c_str(), JackNoStartServer, &status);
    if (!client) {
        noteFailedJackOpen();
        return false;
    }
    jack_client_close(client);
    return true;
}

jack_client_t* openJackClient(const std::string& name) {
    quietenJackLibrary();
    for (int tries = 1;; ++tries) {
        jack_status_t status{};
        if (jack_client_t* client = jack_client_open(jackClientName(name).c_str(), JackNoStartServer, &status)) {
            noteJackClientOpened();
            return client;
        }
        // A server that does not answer a client of our own is counted there.
        if (!jackServerAnswers() || tries == kJackOpeningTries) return nullptr;
        STROMBEL_LOG_DEBUG("the JACK server refused the client \"{}\" though it answers: tried again", name);
    }
}

void leaveJackObjectAlone(const void* object) {
#ifdef STROMBEL_HAS_LSAN
    if (object) __lsan_ignore_object(object);
#else
    static_cast<void>(object);
#endif
}

JackShutdownWatch::JackShutdownWatch(Gone gone) : callback_(std::move(gone)), openedAt_(jackLosses()) {}

JackShutdownWatch::~JackShutdownWatch() = default;

std::unique_ptr<JackShutdownWatch> JackShutdownWatch::install(jack_client_t* client, Gone gone) {
    std::unique_ptr<JackShutdownWatch> watch(new JackShutdownWatch(std::move(gone)));
    // JACK keeps one plain handler and one informing handler; the plain one,
    // which the client's library may have set, is replaced by one that does nothing.
    jack_on_shutdown(client, [](void*) {}, nullptr);
    jack_on_info_shutdown(
        client, [](jack_status_t code, const char* reason, void* self) { onShutdown(int(code), reason, self); },
        watch.get());
    return watch;
}

void JackShutdownWatch::onShutdown(int, const char* reason, void* self) {
    auto* watch = static_cast<JackShutdownWatch*>(self);
    std::lock_guard lock(watch->mutex_);
    if (watch->closing_) return;
    noteJackLoss();
    watch->gone_.store(true);
    if (watch->callback_) watch->callback_(reason ? reason : "");
}

void JackShutdownWatch::closing() {
    std::lock_guard lock(mutex_);
    closing_ = true;
    callback_ = nullptr;
}

void JackShutdownWatch::leaveAlone(std::unique_ptr<JackShutdownWatch> watch) {
    if (!watch) return;
    {
        std::lock_guard lock(watch->mutex_);
        watch->callback_ = nullptr;
    }
    leaveJackObjectAlone(watch.release());
}

}  // namespace strombel::platform
