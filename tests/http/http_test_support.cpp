#include "http_test_support.h"

#include <algorithm>

namespace strombel::http::testing {

namespace {
constexpr auto kGuard = std::chrono::seconds(60);
constexpr auto kSlice = std::chrono::milliseconds(5);
}  // namespace

std::vector<std::string> filesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

HttpTest::HttpTest() {
    loop.setWakeupHandler([this] {
        {
            std::lock_guard lock(wakeMutex_);
            posted_ = true;
        }
        woken_.notify_all();
    });
    network = std::make_unique<NetworkThread>(loop);
}

HttpTest::~HttpTest() {
    network.reset();
    loop.runPending();
}

bool HttpTest::pumpUntil(const std::function<bool()>& done) {
    auto limit = std::chrono::steady_clock::now() + kGuard;
    for (;;) {
        loop.runPending();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > limit) return false;
        // Conditions may also change on other threads (servers, the network
        // thread's counters): look again after a short slice even without a post.
        std::unique_lock lock(wakeMutex_);
        woken_.wait_for(lock, kSlice, [this] { return posted_; });
        posted_ = false;
    }
}

bool HttpTest::waitWithoutPumping(const std::function<bool()>& done) {
    auto limit = std::chrono::steady_clock::now() + kGuard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace strombel::http::testing
