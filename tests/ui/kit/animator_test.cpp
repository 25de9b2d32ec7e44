#include "ui/kit/animator.h"

#include <gtest/gtest.h>

#include <numbers>
#include <optional>

#include "ui/kit/kit_test_support.h"
#include "ui/kit/view.h"

namespace strombel::ui::kit {
namespace {

class AnimatorTest : public testing::KitTest {
  protected:
    Animator& animator() { return context.animator(); }
    View view{QRectF(0, 0, 10, 10)};
};

TEST_F(AnimatorTest, AlphaMovesWithTheClockAndCompletesAsFinished) {
    std::optional<bool> finished;
    animator().animateAlpha(view, 0, 0.2, [&](bool done) { finished = done; });
    EXPECT_EQ(view.alpha(), 1.0);
    advance(0.1);
    EXPECT_GT(view.alpha(), 0.2);
    EXPECT_LT(view.alpha(), 0.8);
    EXPECT_FALSE(finished.has_value());
    advance(0.15);
    EXPECT_EQ(view.alpha(), 0.0);
    ASSERT_TRUE(finished.has_value());
    EXPECT_TRUE(*finished);
    EXPECT_FALSE(animator().isAnimating(view));
}

TEST_F(AnimatorTest, ANewAnimationCutsTheOldOneShortAndBeginsWhereItShows) {
    std::optional<bool> first;
    std::optional<bool> second;
    animator().animateAlpha(view, 0, 1.0, [&](bool done) { first = done; });
    advance(0.5);
    const double shown = view.alpha();
    ASSERT_GT(shown, 0.1);
    ASSERT_LT(shown, 0.9);
    animator().animateAlpha(view, 1, 1.0, [&](bool done) { second = done; });
    EXPECT_EQ(view.alpha(), shown);  // no jump
    pump();
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(*first);
    advance(1.05);
    EXPECT_EQ(view.alpha(), 1.0);
    ASSERT_TRUE(second.has_value());
    EXPECT_TRUE(*second);
}

TEST_F(AnimatorTest, ZeroDurationSetsAtOnceAndCompletesOnTheLoop) {
    std::optional<bool> finished;
    animator().animateAlpha(view, 0.25, 0, [&](bool done) { finished = done; });
    EXPECT_EQ(view.alpha(), 0.25);
    EXPECT_FALSE(finished.has_value());  // never inside the call
    pump();
    ASSERT_TRUE(finished.has_value());
    EXPECT_TRUE(*finished);
}

TEST_F(AnimatorTest, AFrameMovesAndSizesTogetherAndASizeKeepsItsOrigin) {
    view.setFrame({10, 20, 40, 100});
    bool done = false;
    animator().animateFrame(view, {30, 0, 40, 300}, 0.2, [&done](bool finished) { done = finished; });
    advance(0.1);
    const double progress = (view.x() - 10) / 20;
    EXPECT_GT(progress, 0.2);
    EXPECT_LT(progress, 0.8);
    EXPECT_NEAR((view.height() - 100) / 200, progress, 1e-9) << "move and size keep step";
    advance(0.15);
    EXPECT_EQ(view.frame(), QRectF(30, 0, 40, 300));
    EXPECT_TRUE(done);

    animator().animateSize(view, {40, 0}, 0.2);
    advance(0.1);
    EXPECT_EQ(view.frame().topLeft(), QPointF(30, 0));
    EXPECT_GT(view.height(), 0);
    advance(0.15);
    EXPECT_EQ(view.size(), QSizeF(40, 0));
}

TEST_F(AnimatorTest, PositionAndRotationAnimateIndependently) {
    animator().animatePosition(view, QPointF(100, 50), 0.5);
    animator().animateRotation(view, std::numbers::pi / 2, 0.25);
    advance(0.3);
    EXPECT_NEAR(view.rotationRadians(), std::numbers::pi / 2, 1e-9);
    EXPECT_GT(view.x(), 0);
    EXPECT_LT(view.x(), 100);
    advance(0.3);
    EXPECT_EQ(view.frame().topLeft(), QPointF(100, 50));
}

TEST_F(AnimatorTest, RemovingAllStopsWhereItIsAndReportsCutShort) {
    std::optional<bool> finished;
    animator().animatePosition(view, QPointF(100, 0), 1.0, [&](bool done) { finished = done; });
    advance(0.5);
    const double x = view.x();
    animator().removeAllAnimations(view);
    advance(1.0);
    EXPECT_EQ(view.x(), x);
    ASSERT_TRUE(finished.has_value());
    EXPECT_FALSE(*finished);
}

TEST_F(AnimatorTest, ADestroyedViewIsForgottenAndItsCompletionNeverRuns) {
    bool ran = false;
    {
        View doomed(QRectF(0, 0, 5, 5));
        animator().animateAlpha(doomed, 0, 0.5, [&](bool) { ran = true; });
    }
    advance(1.0);
    EXPECT_FALSE(ran);
    EXPECT_EQ(animator().runningCount(), 0u);
}

}  // namespace
}  // namespace strombel::ui::kit
