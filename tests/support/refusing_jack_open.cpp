#include "support/refusing_jack_open.h"

#include <dlfcn.h>
#include <jack/jack.h>

#include <cstdarg>
#include <mutex>

namespace strombel::testing {
namespace {

std::mutex mutex;
std::string refusedName;
int refusalsLeft = 0;

bool refuses(const char* name) {
    std::lock_guard lock(mutex);
    if (refusalsLeft <= 0 || !name || std::string(name).find(refusedName) == std::string::npos) return false;
    --refusalsLeft;
    return true;
}

}  // namespace

void refuseJackOpenings(const std::string& name, int count) {
    std::lock_guard lock(mutex);
    refusedName = name;
    refusalsLeft = count;
}

int jackOpeningsStillRefused() {
    std::lock_guard lock(mutex);
    return refusalsLeft;
}

}  // namespace strombel::testing

extern "C" jack_client_t* jack_client_open(const char* name, jack_options_t options, jack_status_t* status, ...) {
    using Open = jack_client_t* (*)(const char*, jack_options_t, jack_status_t*, ...);
    static const auto real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "jack_client_open"));
    if (strombel::testing::refuses(name)) {
        if (status) *status = jack_status_t(JackFailure | JackServerFailed);
        return nullptr;
    }
    if (options & JackServerName) {
        va_list rest;
        va_start(rest, status);
        const char* server = va_arg(rest, const char*);
        va_end(rest);
        return real(name, options, status, server);
    }
    return real(name, options, status);
}
