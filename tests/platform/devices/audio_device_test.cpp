#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "platform/devices/audio_device.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/devices/null_audio_device.h"

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
