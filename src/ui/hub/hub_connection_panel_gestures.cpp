#include "ui/hub/hub_connection_panel.h"

#include <algorithm>

#include "ui/kit/animator.h"
#include "ui/kit/context.h"

namespace strombel::ui::hub {

// ---- pulling the panel out from the edge ----

HubDrag* HubConnectionPanel::topGestureRecognizer() const {
    if (!topGestureRecognizer_ || edgeHostAlive_.expired() || !topGestureRecognizer_->isEnabled()) return nullptr;
    return topGestureRecognizer_;
}

HubDrag* HubConnectionPanel::tabGestureRecognizer() const {
    if (!tabDrag_ || !window() || !tabDrag_->isEnabled()) return nullptr;
    return tabDrag_;
}

// The recognisers stay with their views (a touch under way may still hold
// them) and are turned off instead of removed.
void HubConnectionPanel::attachEdgeDrag() {
    kit::View* host = this->topApplicationWindow();
    if (!host) return;
    if (topGestureRecognizer_ && !edgeHostAlive_.expired() && topGestureRecognizer_->view() == host) {
        topGestureRecognizer_->setEnabled(true);
        return;
    }
    detachEdgeDrag();
    std::weak_ptr<int> alive = alive_;
    auto drag = std::make_unique<HubDrag>([this, alive](kit::GestureRecognizer& g) {
        if (alive.lock()) topDrag(static_cast<HubDrag&>(g));
    });
    drag->minimumDistance = 4;
    // The pads under it keep their touches. Nothing need allow it to recognise
    // alongside their gestures: every recogniser on a touch's way watches it, and
    // none holds another back.
    drag->setCancelsTouchesInView(false);
    topGestureRecognizer_ = static_cast<HubDrag*>(host->addGestureRecognizer(std::move(drag)));
    edgeHostAlive_ = host->lifetime();
}

void HubConnectionPanel::detachEdgeDrag() {
    if (topGestureRecognizer_ && !edgeHostAlive_.expired()) topGestureRecognizer_->setEnabled(false);
}

void HubConnectionPanel::leaveEdge() {
    detachEdgeDrag();
    handleTimeout_.reset();
    draggingOut_ = false;
    detachTabDrag();
    removeTab(0);
    if (!view() && window()) window_->setHidden(true);
}

void HubConnectionPanel::detachTabDrag() {
    if (!window()) return;
    window_->setGestureRecognizer(nullptr);
    if (tabDrag_) tabDrag_->setEnabled(false);
}

void HubConnectionPanel::makeTab() {
    removeTab(0);
    const bool bottom = position_ == kPanelBottom, left = position_ == kPanelLeft;
    const QSizeF size = bottom ? QSizeF(48, 24) : QSizeF(24, 48);
    auto tab = std::make_unique<kit::View>(QRectF(QPointF(), size));
    tab->setClipsToBounds(true);
    auto body = std::make_unique<kit::View>(bottom ? QRectF(4, 4, 40, kCornerRadius + 20)
                                                   : QRectF(left ? -kCornerRadius : 4, 4, kCornerRadius + 20, 40));
    body->setBackgroundColor(Qt::white);
    body->setCornerRadius(kCornerRadius);
    body->setShadow(0.2, QPointF(0, 1), 2);
    auto grip = std::make_unique<HubConnectionPanelHandle>(bottom ? QRectF(0, 0, 40, 20)
                                                                  : QRectF(left ? kCornerRadius : 0, 0, 20, 40));
    grip->setPosition(position_);
    grip->setHorizontal(bottom);
    body->add(std::move(grip));
    tab->add(std::move(body));

    if (!tabDrag_) {
        std::weak_ptr<int> alive = alive_;
        auto drag = std::make_unique<HubDrag>([this, alive](kit::GestureRecognizer& g) {
            if (alive.lock()) tabDragGesture(static_cast<HubDrag&>(g));
        });
        drag->minimumDistance = 4;
        tabDrag_ = static_cast<HubDrag*>(window_->addGestureRecognizer(std::move(drag)));
    }
    tabDrag_->setEnabled(true);
    window_->setGestureRecognizer(tabDrag_);
    tabStartFrame_ = beyondEdge(panelFrameForView(size));
    tab->setFrame(tabStartFrame_);
    window_->setHidden(false);
    tab_ = window_->add(std::move(tab));
    tabAlive_ = tab_->lifetime();
}

void HubConnectionPanel::removeTab(double seconds) {
    kit::View* tab = handleTabView();
    tab_ = nullptr;
    tabAlive_.reset();
    if (!tab) return;
    if (seconds <= 0) {
        tab->removeFromSuperview();
        return;
    }
    std::weak_ptr<void> alive = tab->lifetime();
    kit::Context::current().animator().animatePosition(*tab, beyondEdge(tab->frame()).topLeft(), seconds,
                                                       [alive, tab](bool) {
                                                           if (!alive.expired()) tab->removeFromSuperview();
                                                       });
}

void HubConnectionPanel::topDrag(HubDrag& drag) {
    using State = kit::GestureRecognizer::State;
    kit::View* host = this->topApplicationWindow();
    // Only a panel of a session is pulled out.
    if (!host || !window() || !controller_.connected()) return;
    const QSizeF screen = screenSize();
    switch (drag.state()) {
    case State::began: {
        const QPointF first = drag.firstTouchLocationInView(host) * magnification();
        draggingOut_ = position_ == kPanelLeft    ? first.x() <= kEdgeZone
                       : position_ == kPanelRight ? first.x() >= screen.width() - kEdgeZone
                                                  : first.y() >= screen.height() - kEdgeZone;
        if (draggingOut_) makeTab();
        break;
    }
    case State::changed: {
        kit::View* tab = handleTabView();
        if (!draggingOut_ || !tab) break;
        const QPointF offset = drag.offsetInView(window());
        const QSizeF size = tab->size();
        QRectF frame = tabStartFrame_;
        if (position_ == kPanelLeft) frame.translate(std::min(offset.x(), size.width()), 0);
        else if (position_ == kPanelRight) frame.translate(std::max(offset.x(), -size.width()), 0);
        else frame.translate(0, std::max(offset.y(), -size.height()));
        tab->setFrame(frame);
        break;
    }
    case State::ended:
    case State::cancelled: {
        if (!draggingOut_) break;
        draggingOut_ = false;
        kit::View* tab = handleTabView();
        if (!tab) break;
        const QPointF offset = drag.offsetInView(window());
        const bool backToEdge = position_ == kPanelLeft    ? offset.x() < 0
                                : position_ == kPanelRight ? offset.x() > 0
                                                           : offset.y() > 0;
        if (backToEdge) {
            detachTabDrag();
            removeTab(kSlideSeconds);
            break;
        }
        kit::Context::current().animator().animatePosition(*tab, panelFrameForView(tab->size()).topLeft(), 0.1);
        detachEdgeDrag();
        std::weak_ptr<int> alive = alive_;
        handleTimeout_ = kit::Timer::scheduled(kTabSeconds, false, [this, alive] {
            if (alive.lock()) handleTimeout();
        });
        break;
    }
    default: break;
    }
}

void HubConnectionPanel::handleTimeout() {
    handleTimeout_.reset();
    detachTabDrag();
    removeTab(kSlideSeconds);
    attachEdgeDrag();
}

void HubConnectionPanel::tabDragGesture(HubDrag& drag) {
    using State = kit::GestureRecognizer::State;
    if (!window()) return;
    if (!controller_.connected() && drag.state() == State::began) return;
    switch (drag.state()) {
    case State::began: {
        handleTimeout_.reset();
        if (!view_) makeView();
        window_->setHidden(false);
        layout();
        QRectF frame = panelFrameForView(view_->size());
        const double outward = reach();
        if (position_ == kPanelLeft) frame.translate(-outward, 0);
        else if (position_ == kPanelRight) frame.translate(outward, 0);
        else frame.translate(0, outward);
        view_->setFrame(frame);
        viewStartFrame_ = frame;
        if (kit::View* tab = handleTabView()) tabStartFrame_ = tab->frame();
        break;
    }
    case State::changed: {
        if (!view()) break;
        const QPointF offset = drag.offsetInView(window());
        QPointF move;
        if (position_ == kPanelLeft) move = {std::min(offset.x(), reach()), 0};
        else if (position_ == kPanelRight) move = {std::max(offset.x(), -reach()), 0};
        else move = {0, std::max(offset.y(), -reach())};
        view_->setFrame(viewStartFrame_.translated(move));
        if (kit::View* tab = handleTabView()) tab->setFrame(tabStartFrame_.translated(move));
        break;
    }
    case State::ended:
    case State::cancelled: {
        detachTabDrag();
        if (!view()) break;
        const QPointF velocity = drag.velocityInView(window());
        const bool backToEdge = position_ == kPanelLeft    ? velocity.x() < 0
                                : position_ == kPanelRight ? velocity.x() > 0
                                                           : velocity.y() > 0;
        if (backToEdge) {
            userHidden_ = true;
            hide();
            removeTab(0.2);
            break;
        }
        userHidden_ = false;
        setVisible(true);
        kit::Context::current().animator().animatePosition(*view_, panelFrameForView(view_->size()).topLeft(),
                                                           kSlideSeconds);
        if (kit::View* tab = handleTabView(); tab && !tab->subviews().empty()) {
            kit::View* body = tab->subviews().front();
            std::weak_ptr<void> tabAlive = tab->lifetime();
            kit::Context::current().animator().animatePosition(
                *body, beyondEdge(body->frame()).topLeft(), kSlideSeconds, [tabAlive, tab](bool) {
                    if (!tabAlive.expired()) tab->removeFromSuperview();
                });
            tab_ = nullptr;
            tabAlive_.reset();
        }
        postNotification(kHubConnectionPanelShownNotification);
        break;
    }
    default: break;
    }
}

/// How far the panel view travels with the tab: its thickness less the
/// rounded side that stays beyond the edge.
double HubConnectionPanel::reach() const {
    const double thickness = !view_                     ? kThickness + kRoundedCornerRadius
                             : position_ == kPanelBottom ? view_->height()
                                                         : view_->width();
    return thickness - kRoundedCornerRadius;
}

// ---- tapping beside the panel, pushing it away ----

void HubConnectionPanel::handleTapGesture() {
    userHidden_ = true;
    hide();
}

void HubConnectionPanel::dragGesture(HubDrag& drag) {
    if (position_ == kPanelBottom || !view()) return;
    using State = kit::GestureRecognizer::State;
    const QPointF offset = drag.offsetInView(window());
    switch (drag.state()) {
    case State::began:
        autohideTimeout_.reset();
        initialDragFrame_ = view_->frame();
        break;
    case State::changed: {
        const double dx = position_ == kPanelRight ? std::max(offset.x(), 0.0) : std::min(offset.x(), 0.0);
        view_->setX(initialDragFrame_.x() + dx);
        break;
    }
    case State::ended: {
        const QPointF velocity = drag.velocityInView(window());
        const double half = view_->width() / 2;
        const bool away = position_ == kPanelRight ? (velocity.x() > 0 || offset.x() > half)
                                                   : (velocity.x() < 0 || offset.x() < -half);
        if (away) {
            userHidden_ = true;
            hide();
        } else {
            userHidden_ = false;
            setVisible(true);
            kit::Context::current().animator().animatePosition(*view_, panelFrameForView(view_->size()).topLeft(),
                                                               kSlideSeconds);
        }
        break;
    }
    default: break;
    }
}

}  // namespace strombel::ui::hub
