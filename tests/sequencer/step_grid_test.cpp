#include "sequencer/step_grid.h"

#include <gtest/gtest.h>

#include <cmath>

namespace strombel::sequencer {
namespace {

TEST(StepGrid, TwoSwungStepsLastTwoPlainSteps) {
    StepGrid grid;
    grid.reset(1'000, 120, 1.2f);
    const uint64_t evenEnd = grid.advance(0);
    const uint64_t oddEnd = grid.advance(1);
    EXPECT_NEAR(static_cast<double>(evenEnd), 1'000 + 150'000'000.0, 10.0);  // 1.2f is not exactly 1.2
    EXPECT_EQ(oddEnd, 1'000 + 250'000'000u);
}

TEST(StepGrid, StaysOnTheExactGridOverHoursOfSteps) {
    // 97 BPM: a step is 154.639175... ms, not a whole number of nanoseconds.
    StepGrid grid;
    grid.reset(0, 97, 1.0f);
    uint64_t end = 0;
    const uint64_t steps = 200'000;  // about 8.6 hours
    for (uint64_t step = 0; step < steps; ++step) {
        end = grid.advance(static_cast<int32_t>(step % 16));
    }
    const long double exact = static_cast<long double>(steps) * 60.0L / 97.0L / 4.0L * 1e9L;
    EXPECT_LE(std::fabs(static_cast<long double>(end) - exact), 0.5L);
}

TEST(StepGrid, AParityBreakStillAddsEachStepsOwnLength) {
    // A pattern shortened while running can follow an even step with step 0.
    StepGrid grid;
    grid.reset(0, 120, 1.4f);
    grid.advance(20);
    const uint64_t end = grid.advance(0);
    EXPECT_NEAR(static_cast<double>(end), 2 * 1.4 * 125'000'000.0, 10.0);
}

}  // namespace
}  // namespace strombel::sequencer
