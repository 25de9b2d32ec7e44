#pragma once

#include <QPointF>
#include <QSizeF>
#include <memory>

#include "ui/kit/timer.h"
#include "ui/kit/view.h"

namespace strombel::ui::kit {

/// A view showing part of a larger content: its subviews go into
/// `contentView()`, which a drag or the wheel moves within the content size.
/// Thin indicators show where the visible part lies while it scrolls or when
/// flashed.
class ScrollView : public View {
  public:
    explicit ScrollView(const QRectF& frame = {});

    View* contentView() const { return content_; }
    QSizeF contentSize() const { return contentSize_; }
    void setContentSize(const QSizeF& size);
    QPointF contentOffset() const { return offset_; }
    /// Moves the content so that `offset` is at the top left, held inside the content.
    void setContentOffset(const QPointF& offset);
    /// Whether the content is longer than the view along either axis.
    bool scrolls() const;

    /// Shows the indicators for a moment, where the content does not fit.
    void flashScrollIndicators();
    bool indicatorsVisible() const;
    View* horizontalIndicator() const { return horizontal_; }
    View* verticalIndicator() const { return vertical_; }

    bool scrollWheel(const QPointF& delta) override;
    void setFrame(const QRectF& frame) override;

    static constexpr double kIndicatorThickness = 3;
    static constexpr double kIndicatorInset = 2;
    static constexpr double kFlashSeconds = 1.0;

  private:
    void placeIndicators();
    void showIndicators(double seconds);
    QPointF largestOffset() const;

    View* content_ = nullptr;
    View* horizontal_ = nullptr;
    View* vertical_ = nullptr;
    QSizeF contentSize_;
    QPointF offset_, dragStartOffset_;
    std::unique_ptr<Timer> hideIndicators_;
    bool dragging_ = false;
};

}  // namespace strombel::ui::kit
