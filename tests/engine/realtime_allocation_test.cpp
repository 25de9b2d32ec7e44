// The render and microphone callbacks must not allocate: this binary counts every
// allocation of the process and renders busy buffers between two readings.

#include <atomic>
#include <cstdlib>
#include <new>

#include "engine_test_support.h"

namespace {
// Only the thread that plays the audio thread's part counts: the preload and
// recording-writer threads allocate as they please meanwhile.
thread_local bool counting = false;
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace strombel::engine::testing {
namespace {

class RealtimeAllocationTest : public EngineTest {};

TEST_F(RealtimeAllocationTest, RenderAndMicrophoneCallbacksAllocateNothing) {
    std::vector<std::string> paths;
    for (int i = 0; i < 12; ++i) paths.push_back(addSample("s" + std::to_string(i), rampMono(3000 + i * 100)));
    setBank(0, paths);
    SoundBox& box = makeEngine();
    box.currentSoundbankChanged(0);
    box.waitForPreloads();
    box.setCrushAmount(0.5f);
    box.setCutOffAmount(0.5f);
    box.setPhaseAmount(0.5f);
    box.setDelayIntensity(0.6f);
    box.setReverbAmount(0.6f);
    box.setPitchAmount(0.7f);
    ASSERT_TRUE(box.startSampleRecord().has_value());
    std::vector<int32_t> microphone(256, 1000);
    render();  // warm up

    long counted = 0;
    for (int round = 0; round < 20; ++round) {
        // Requests from other threads allocate as they like; the callbacks must not.
        for (size_t i = 0; i < paths.size(); ++i) {
            if (i % 2) box.startTrack(paths[i], 0, true, false, false, 1.0f);
            else box.startTrackFromSequencer(paths[i], device_->nextHostTime() + i * 100'000);
        }
        box.stopTrackFromSequencer(paths[3], device_->nextHostTime() + 2'000'000);
        box.waitForPreloads();
        counting = true;
        allocations.store(0);
        for (int b = 0; b < 8; ++b) {
            device_->deliverInput(microphone);
            device_->renderBuffer();
        }
        counting = false;
        counted += allocations.load();
        pump();  // events reach the main loop outside the counted region
    }
    EXPECT_EQ(counted, 0);
    box.stopSampleRecord();
}

}  // namespace
}  // namespace strombel::engine::testing
