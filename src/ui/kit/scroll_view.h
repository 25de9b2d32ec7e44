#pragma once

#include <QRectF>

#include "ui/kit/view.h"

class QGraphicsSceneWheelEvent;

namespace strombel::ui::kit {

class PanGestureRecognizer;

/// A view that shows a window onto a taller content view and moves it up and
/// down: a finger dragging anywhere on it, or the mouse wheel. Put the rows into
/// `contentView()` and say how tall they are with `setContentHeight`.
class ScrollView : public View {
public:
    explicit ScrollView(const QRectF& frame = {});

    View& contentView() { return *content_; }
    double contentHeight() const { return contentHeight_; }
    void setContentHeight(double height);
    /// How far the content is scrolled up, from 0 to maximumContentOffset().
    double contentOffset() const { return offset_; }
    void setContentOffset(double offset);
    double maximumContentOffset() const;

protected:
    void sizeChanged(const QSizeF& oldSize) override;
    void wheelEvent(QGraphicsSceneWheelEvent* event) override;

private:
    void panned(PanGestureRecognizer& pan);

    View* content_ = nullptr;
    double contentHeight_ = 0;
    double offset_ = 0;
    double panStartOffset_ = 0;
};

}  // namespace strombel::ui::kit
