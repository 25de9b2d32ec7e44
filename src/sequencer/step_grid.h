#pragma once

#include <cstdint>

namespace strombel::sequencer {

/// The host times of successive step starts for one tempo and swing, counted
/// from an anchor. Each start is computed from the anchor rather than added up
/// step by step, so rounding never accumulates: after any number of steps the
/// start lies within half a nanosecond of the exact grid.
///
/// Step length: a sixteenth note, d = 60 / bpm / 4 seconds. With swing s > 1 an
/// even step (0, 2, ..., and -16, -14, ...) lasts s x d and an odd one (2 - s) x d,
/// so two steps always last 2 x d.
class StepGrid {
public:
    /// Starts a new grid at `anchorNanos` (the start of the next step to be advanced over).
    void reset(uint64_t anchorNanos, int32_t bpm, float swing);

    /// True when the grid was built for this tempo and swing.
    bool matches(int32_t bpm, float swing) const { return bpm == bpm_ && swing == swing_; }

    /// Passes over one step numbered `step` (its parity decides its length) and
    /// answers the host time at which it ends, the start of the step after it.
    uint64_t advance(int32_t step);

    /// The host time reached so far (the anchor before the first advance).
    uint64_t current() const { return current_; }

    /// Seconds of a plain step at `bpm`.
    static double stepSeconds(int32_t bpm) { return 60.0 / static_cast<double>(bpm) * 0.25; }

    /// Seconds of step `step` at `bpm` and `swing`.
    static double stepSeconds(int32_t bpm, float swing, int32_t step);

private:
    uint64_t anchor_ = 0;
    uint64_t current_ = 0;
    int32_t bpm_ = 128;
    float swing_ = 1.0f;
    double stepNanos_ = 0.0;
    // Time since the anchor = (plainSteps_ + swungSteps_ x swing) x d.
    int64_t plainSteps_ = 0;
    int64_t swungSteps_ = 0;
};

}  // namespace strombel::sequencer
