#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <atomic>
#include <vector>
#include <mutex>

#include "platform/devices/audio_device.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/devices/null_audio_device.h"
#include "support/manual_pacer.h"

namespace strombel::platform {
namespace {

TEST(BufferTimeline, BufferTimesComeFromTheFrameCount) {
    BufferTimeline timeline;
    timeline.anchor(1'000'000'000, 44100.0);
    EXPECT_EQ(timeline.next(256), 1'000'000'000u);
    EXPECT_EQ(timeline.next(256), 1'000'000'000u + 5'804'988u);   // 256 / 44100 s, truncated
    EXPECT_EQ(timeline.next(100), 1'000'000'000u + 11'609'977u);  // 512 frames: no drift from adding
    EXPECT_EQ(timeline.framesCounted(), 612u);
}

TEST(BufferTimeline, SkippingGoesToTheFirstBufferNotYetDueOnTheSameGrid) {
    constexpr uint64_t kAnchor = 1'000'000'000;
    // Buffer k of 256 frames at 44100 Hz starts at kAnchor + floor(k * 256 / 44100 s).
    auto bufferTime = [](uint64_t k) { return kAnchor + static_cast<uint64_t>(k * 256 * 1e9 / 44100.0); };
    struct Case {
        const char* what;
        uint64_t counted;  // buffers counted before the skip
        uint64_t to;
        uint64_t expected;  // the buffer the next `next` answers
    };
    const Case cases[] = {
        {"a time before the next buffer leaves it next", 3, bufferTime(2) + 5, 3},
        {"a time on a buffer's first frame makes it next", 3, bufferTime(7), 7},
        {"a time inside a buffer makes the one after it next", 3, bufferTime(7) + 1, 8},
        {"an hour later", 1, kAnchor + 3'600'000'000'000, 620'157},  // 3600 s / (256 / 44100 s) = 620156.25
        {"a time just past a rounded-down buffer time", 0, bufferTime(620'156) + 1, 620'157},
    };
    for (const Case& c : cases) {
        BufferTimeline timeline;
        timeline.anchor(kAnchor, 44100.0);
        for (uint64_t k = 0; k < c.counted; ++k) timeline.next(256);
        timeline.skipTo(c.to, 256);
        EXPECT_EQ(timeline.framesCounted(), c.expected * 256) << c.what;
        EXPECT_EQ(timeline.next(256), bufferTime(c.expected)) << c.what;
    }
}

TEST(NullAudioDevice, RestsWhileTheOutputStaysSilentAndWokenGoesOnOnItsGrid) {
    constexpr uint64_t kAnchor = 1'000'000'000;
    auto bufferTime = [](uint64_t k) { return kAnchor + static_cast<uint64_t>(k * 221 * 1e9 / 44100.0); };
    auto pacer = std::make_shared<testing::ManualPacer>(kAnchor);
    NullAudioDevice device(pacer);
    AudioDeviceConfig config;
    config.bufferDuration = 0.005;
    ASSERT_TRUE(device.configure(config));
    ASSERT_EQ(device.bufferFrames(), 221u);
    std::vector<uint64_t> times;  // only the device's thread adds, between the pacer's waits
    times.reserve(64);
    std::atomic<bool> silent{false}, wakeInCheck{false};
    device.setRenderCallback([&](uint32_t, uint64_t time, int32_t*, int32_t*) { times.push_back(time); });
    device.setRestCheck([&] {
        if (wakeInCheck.exchange(false)) device.wake();  // a request comes right after the check looked
        return silent.load();
    });
    device.wake();
    EXPECT_EQ(pacer->wakes(), 0u) << "a stopped device takes no wakes";
    ASSERT_TRUE(device.start());

    // Sounding: the first buffer at once, then each waited for.
    EXPECT_EQ(pacer->nextWait(), bufferTime(1));
    silent = true;
    pacer->advanceTo(bufferTime(1));
    ASSERT_EQ(pacer->nextWait(), testing::ManualPacer::kForever) << "silence from now on: it rests";
    EXPECT_TRUE(device.resting());
    EXPECT_EQ(times, (std::vector<uint64_t>{bufferTime(0), bufferTime(1)}));

    // An hour of silence renders nothing; a wake mid-buffer goes on at the next buffer of the grid.
    pacer->advance(3'600'000'000'000 + 1'000'000);
    silent = false;
    device.wake();
    const uint64_t woken = pacer->nextWait();
    uint64_t k = 0;
    while (bufferTime(k) < pacer->nowNanos()) ++k;
    EXPECT_EQ(woken, bufferTime(k));
    EXPECT_FALSE(device.resting());
    EXPECT_EQ(times.size(), 2u);
    pacer->advanceTo(woken);
    EXPECT_EQ(pacer->nextWait(), bufferTime(k + 1));
    EXPECT_EQ(times.back(), bufferTime(k));

    // A wake between the check and the rest is not lost: the next buffer renders.
    silent = true;
    wakeInCheck = true;
    pacer->advanceTo(bufferTime(k + 1));
    EXPECT_EQ(pacer->nextWait(), bufferTime(k + 2));
    pacer->advanceTo(bufferTime(k + 2));
    EXPECT_EQ(pacer->nextWait(), testing::ManualPacer::kForever);
    EXPECT_EQ(times.back(), bufferTime(k + 2));
    // Stopping ends a rest.
    EXPECT_TRUE(device.stop());
    EXPECT_FALSE(device.resting());
}

TEST(NullAudioDevice, RendersBuffersAtStreamTimesFromItsOwnThread) {
    NullAudioDevice device;
    AudioDeviceConfig config;
    config.bufferDuration = 0.001;
    ASSERT_TRUE(device.configure(config));
    EXPECT_EQ(device.bufferFrames(), 44u);
    std::mutex mutex;
    std::condition_variable done;
    std::vector<uint64_t> times;
    std::thread::id caller = std::this_thread::get_id(), renderer;
    device.setRenderCallback([&](uint32_t frames, uint64_t time, int32_t* left, int32_t* right) {
        std::lock_guard lock(mutex);
        if (times.size() < 4) times.push_back(time);
        renderer = std::this_thread::get_id();
        left[frames - 1] = right[0] = 1;
        done.notify_all();
    });
    ASSERT_TRUE(device.start());
    EXPECT_TRUE(device.running());
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(5), [&] { return times.size() >= 4; }));
    }
    EXPECT_TRUE(device.stop());
    EXPECT_FALSE(device.running());
    EXPECT_NE(renderer, caller);
    for (size_t i = 1; i < times.size(); ++i) {
        const double expected = 44 * 1e9 / 44100.0;
        EXPECT_NEAR(static_cast<double>(times[i] - times[i - 1]), expected, 1.0);
    }
}

TEST(ManualAudioDevice, RendersOnlyWhenToldAndWhileRunning) {
    ManualAudioDevice device(44100.0, 128, 2'000'000'000);
    int calls = 0;
    device.setRenderCallback([&](uint32_t frames, uint64_t, int32_t* left, int32_t*) {
        ++calls;
        left[0] = static_cast<int32_t>(frames);
    });
    device.renderBuffer();
    EXPECT_EQ(calls, 0);
    ASSERT_TRUE(device.configure({}));
    ASSERT_TRUE(device.start());
    EXPECT_EQ(device.renderBuffer(), 2'000'000'000u);
    EXPECT_EQ(device.left()[0], 128);
    EXPECT_EQ(device.renderBuffer(64), 2'000'000'000u + 2'902'494u);
    EXPECT_EQ(calls, 2);
    device.failNextStart(true);
    device.stop();
    EXPECT_FALSE(device.start());
    EXPECT_FALSE(device.lastError().empty());
}

TEST(AudioDeviceFactory, FallsBackToTheNullDeviceWhenAskedOrWithoutACard) {
    setenv("STROMBEL_AUDIO", "null", 1);
    auto device = makeAudioDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->name(), "null");
    unsetenv("STROMBEL_AUDIO");
}

TEST(FixedPoint, ConversionsSaturate) {
    EXPECT_FLOAT_EQ(fixed824ToFloat(1 << 23), 0.5f);
    EXPECT_FLOAT_EQ(fixed824ToFloat(INT32_MAX), 1.0f);
    EXPECT_FLOAT_EQ(fixed824ToFloat(INT32_MIN), -1.0f);
    EXPECT_EQ(floatToFixed824(0.5f), 1 << 23);
    EXPECT_EQ(floatToFixed824(1000.0f), INT32_MAX);
    EXPECT_EQ(floatToFixed824(-1000.0f), INT32_MIN);
    EXPECT_EQ(floatToFixed824(std::nanf("")), 0);
}

}  // namespace
}  // namespace strombel::platform
