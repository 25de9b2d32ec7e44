#include "platform/published.h"

#include <chrono>
#include <thread>

namespace strombel::platform {

void ReadSections::synchronize() {
    std::lock_guard lock(writers_);
    const uint32_t epoch = epoch_.load(std::memory_order_seq_cst);
    epoch_.store(epoch + 1, std::memory_order_seq_cst);
    // Sections last microseconds: spin briefly, then let the readers run.
    for (int spin = 0; readers_[epoch & 1].load(std::memory_order_seq_cst) != 0; ++spin) {
        if (spin < 64) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
}

}  // namespace strombel::platform
