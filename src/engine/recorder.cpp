// The take: its ring, its clock and its writer thread.

#include "engine/recorder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "platform/host_time.h"
#include "platform/realtime.h"
#include "platform/thread_role.h"

namespace strombel::engine {

namespace {

/// Input later than this is taken as input that did not come, not as jitter.
constexpr uint64_t kGapTolerance = 50 * platform::kNanosPerMillisecond;
/// The most silence one gap adds to a take: ten minutes at 48 kHz.
constexpr long long kMaxGapFrames = 600LL * 48000;

}  // namespace

Recorder::Recorder(platform::MainLoop& mainLoop, std::function<void()> inputOverran,
                   std::function<void(const std::string&)> writeFailed)
    : mainLoop_(mainLoop), inputOverran_(std::move(inputOverran)), writeFailed_(std::move(writeFailed)) {}

Recorder::~Recorder() { writer_.stop(); }

platform::Result<void> Recorder::begin(const std::filesystem::path& path, double rate) {
    if (!file_.open(path, 1, rate, rate)) return platform::Error::make(kRecorderErrorDomain, 1, file_.error());
    ring_.assign(1u << 19, 0);
    head_.store(0);
    tail_.store(0);
    gapHead_.store(0);
    gapTail_.store(0);
    silencedFrames_.store(0);
    nextInputTime_ = 0;
    rate_ = rate;
    writerStop_.store(false);
    writer_ = platform::Worker("sample recorder", [this, take = ++take_] { writerLoop(take); },
                               [this] { writerStop_.store(true); });
    running_.store(true);
    return {};
}

Recorder::Ending Recorder::finish() {
    Ending ended;
    writer_.stop();
    ended.silencedSeconds = static_cast<double>(silencedFrames_.load()) / rate_;
    ended.written = file_.close();
    if (!ended.written) ended.error = file_.error();
    return ended;
}

void Recorder::abandon(const std::filesystem::path& path) {
    running_.store(false);
    writer_.stop();
    file_.close();
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

void Recorder::writerLoop(uint64_t take) {
    std::vector<int32_t> block(4096);
    bool failed = false;  // after a failed write the rest is let go: the take is lost
    auto write = [&](uint32_t count) {
        const int32_t* channels[1] = {block.data()};
        if (failed || file_.write(channels, count)) return;
        failed = true;
        // Told at once, not when the recording stops: its clock would run on for nothing.
        std::weak_ptr<int> alive = lifeToken_;
        mainLoop_.post([this, alive, take, reason = file_.error()] {
            if (alive.lock() && running_.load() && take == take_ && writeFailed_) writeFailed_(reason);
        });
    };
    for (;;) {
        bool stopping = writerStop_.load();
        size_t tail = tail_.load(std::memory_order_relaxed);
        const size_t head = head_.load(std::memory_order_acquire);
        // Gaps come before the samples that follow them (read after the head).
        const size_t gapHead = gapHead_.load(std::memory_order_acquire);
        size_t gapTail = gapTail_.load(std::memory_order_relaxed);
        while (tail != head || gapTail != gapHead) {
            if (gapTail != gapHead && gaps_[gapTail % gaps_.size()].position <= tail) {
                std::fill(block.begin(), block.end(), 0);
                for (uint64_t left = gaps_[gapTail % gaps_.size()].frames; left > 0 && !failed;) {
                    const auto count = static_cast<uint32_t>(std::min<uint64_t>(left, block.size()));
                    write(count);
                    left -= count;
                }
                gapTail_.store(++gapTail, std::memory_order_release);
                continue;
            }
            size_t until = head;
            if (gapTail != gapHead) until = std::min(until, gaps_[gapTail % gaps_.size()].position);
            const size_t count = std::min(block.size(), until - tail);
            for (size_t i = 0; i < count; ++i) block[i] = ring_[(tail + i) % ring_.size()];
            if (!failed) write(static_cast<uint32_t>(count));
            tail += count;
            tail_.store(tail, std::memory_order_release);
        }
        if (stopping) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Recorder::input(uint32_t frames, uint64_t hostTimeNanos, const int32_t* mono) {
    STROMBEL_EXPECT_THREAD(kAudioThread);
    platform::RealtimeScope realtime;
    if (!running_.load(std::memory_order_acquire) || ring_.empty()) return;
    const size_t head = head_.load(std::memory_order_relaxed);
    // Input that did not come for a while (the device was lost and came back)
    // is owed to the take as silence, so that it keeps its timeline.
    if (nextInputTime_ != 0 && hostTimeNanos > nextInputTime_ + kGapTolerance) {
        const double missing = static_cast<double>(hostTimeNanos - nextInputTime_) * rate_ * 1e-9;
        const auto owed = static_cast<uint64_t>(std::min(std::llround(missing), kMaxGapFrames));
        const size_t gapHead = gapHead_.load(std::memory_order_relaxed);
        if (gapHead - gapTail_.load(std::memory_order_acquire) < gaps_.size()) {
            gaps_[gapHead % gaps_.size()] = Gap{head, owed};
            gapHead_.store(gapHead + 1, std::memory_order_release);
            silencedFrames_.fetch_add(owed, std::memory_order_relaxed);
        }
    }
    nextInputTime_ = hostTimeNanos + static_cast<uint64_t>(static_cast<double>(frames) * 1e9 / rate_);
    const size_t free = ring_.size() - (head - tail_.load(std::memory_order_acquire));
    const size_t count = std::min<size_t>(frames, free);
    for (size_t i = 0; i < count; ++i) ring_[(head + i) % ring_.size()] = mono[i];
    if (count < frames) {
        overruns_.fetch_add(frames - count, std::memory_order_relaxed);
        if (inputOverran_) inputOverran_();
    }
    head_.store(head + count, std::memory_order_release);
}

}  // namespace strombel::engine
