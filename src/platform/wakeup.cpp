#include "platform/wakeup.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace strombel::platform {

Wakeup::Wakeup() { sem_init(&semaphore_, 0, 0); }

Wakeup::~Wakeup() { sem_destroy(&semaphore_); }

void Wakeup::signal() noexcept { sem_post(&semaphore_); }

void Wakeup::consumeRest() {
    while (sem_trywait(&semaphore_) == 0) {
    }
}

void Wakeup::wait() {
    while (sem_wait(&semaphore_) != 0 && errno == EINTR) {
    }
    consumeRest();
}

bool Wakeup::waitFor(uint64_t nanos) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t from = static_cast<uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(now.tv_nsec);
    return waitUntil(nanos > UINT64_MAX - from ? UINT64_MAX : from + nanos);
}

bool Wakeup::waitUntil(uint64_t monotonicNanos) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(monotonicNanos / 1'000'000'000);
    until.tv_nsec = static_cast<long>(monotonicNanos % 1'000'000'000);
    for (;;) {
        if (sem_clockwait(&semaphore_, CLOCK_MONOTONIC, &until) == 0) {
            consumeRest();
            return true;
        }
        if (errno != EINTR) return false;
    }
}

}  // namespace strombel::platform
