#include "ui/kit/timer.h"

#include <cmath>

#include "ui/kit/context.h"

namespace strombel::ui::kit {

std::unique_ptr<Timer> Timer::scheduled(double seconds, bool repeats, std::function<void()> work) {
    return std::make_unique<Timer>(Context::current().loop(), seconds, repeats, std::move(work));
}

Timer::Timer(platform::MainLoop& loop, double seconds, bool repeats, std::function<void()> work)
    : loop_(loop), repeats_(repeats), work_(std::move(work)) {
    const double clamped = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
    const auto nanos = static_cast<uint64_t>(std::llround(clamped * 1e9));
    auto fire = [this] {
        if (!repeats_) valid_ = false;  // a one-shot timer is spent before its work runs
        // The work may destroy this timer: keep the function alive for the call.
        auto work = work_;
        if (work) work();
    };
    id_ = repeats ? loop_.scheduleRepeating(nanos, fire) : loop_.schedule(nanos, fire);
}

Timer::~Timer() {
    invalidate();
}

void Timer::invalidate() {
    if (id_ != 0) loop_.cancel(id_);
    id_ = 0;
    valid_ = false;
}

}  // namespace strombel::ui::kit
