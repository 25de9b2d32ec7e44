#include "platform/thread_setup.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

namespace strombel::platform {

std::string nameCurrentThread(std::string_view name) {
    char shortName[16] = {};
    std::memcpy(shortName, name.data(), std::min<size_t>(name.size(), 15));
    int error = pthread_setname_np(pthread_self(), shortName);
    return error == 0 ? std::string() : std::strerror(error);
}

}  // namespace strombel::platform
