#include "platform/thread_setup.h"

#include <pthread.h>
#include <sched.h>

#include <cstring>

namespace strombel::platform {

std::string nameCurrentThread(std::string_view name) {
    char shortName[16] = {};
    std::memcpy(shortName, name.data(), std::min<size_t>(name.size(), 15));
    int error = pthread_setname_np(pthread_self(), shortName);
    return error == 0 ? std::string() : std::strerror(error);
}

std::string makeCurrentThreadRealTime() {
    int highest = sched_get_priority_max(SCHED_FIFO);
    if (highest < 0) return std::strerror(errno);
    sched_param parameters{};
    parameters.sched_priority = highest;
    int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
    return error == 0 ? std::string() : std::strerror(error);
}

}  // namespace strombel::platform
