#include "sequencer/step_grid.h"

#include <cmath>

namespace strombel::sequencer {

void StepGrid::reset(uint64_t anchorNanos, int32_t bpm, float swing) {
    anchor_ = anchorNanos;
    current_ = anchorNanos;
    bpm_ = bpm;
    swing_ = swing;
    stepNanos_ = stepSeconds(bpm) * 1e9;
    plainSteps_ = 0;
    swungSteps_ = 0;
}

uint64_t StepGrid::advance(int32_t step) {
    const bool odd = (step % 2) != 0;
    if (swing_ > 1.0f && !odd) {
        swungSteps_ += 1;  // s x d
    } else if (swing_ > 1.0f) {
        plainSteps_ += 2;  // (2 - s) x d
        swungSteps_ -= 1;
    } else {
        plainSteps_ += 1;
    }
    const double units = static_cast<double>(plainSteps_) +
                         static_cast<double>(swungSteps_) * static_cast<double>(swing_);
    current_ = anchor_ + static_cast<uint64_t>(std::llround(units * stepNanos_));
    return current_;
}

double StepGrid::stepSeconds(int32_t bpm, float swing, int32_t step) {
    const double d = stepSeconds(bpm);
    if (swing <= 1.0f) {
        return d;
    }
    return (step % 2) != 0 ? (2.0 - static_cast<double>(swing)) * d : static_cast<double>(swing) * d;
}

}  // namespace strombel::sequencer
