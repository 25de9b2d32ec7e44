#include "ui/hub/hub_connection_panel.h"

#include <QEvent>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <algorithm>

#include "logging/log.h"
#include "platform/application_state.h"
#include "ui/kit/animator.h"
#include "ui/kit/context.h"
#include "ui/kit/device_orientation.h"
#include "ui/kit/scroll_view.h"

namespace strombel::ui::hub {

using strombel::hub::HubPeer;
using strombel::hub::HubRemoteButtonTrigger;

HubConnectionPanel::HubConnectionPanel(strombel::hub::HubController& controller, std::function<kit::View*()> host)
    : controller_(controller), host_(std::move(host)) {
    auto& center = controller_.notificationCenter();
    std::weak_ptr<int> alive = alive_;
    auto guarded = [alive](std::function<void()> work) {
        return [alive, work](const platform::Notification&) {
            if (alive.lock()) work();
        };
    };
    observers_.push_back(center.addObserver(strombel::hub::kHubConnectionsChangedNotification, &controller_,
                                            guarded([this] { connectionsChanged(); })));
    for (const char* name : {strombel::hub::kHubPeerAttributesChangedNotification,
                             strombel::hub::kHubControllerDidLoadPeerIconNotification})
        observers_.push_back(center.addObserver(name, &controller_, guarded([this] { peerAttributesChanged(); })));
    observers_.push_back(center.addObserver(platform::kApplicationWillEnterForegroundNotification, nullptr,
                                            guarded([this] { updateLayout(); })));
    // A turn of the device may bring another screen (the phone's portrait one):
    // the panel follows once the turn has settled. A turn is reported only after
    // it happened (there is no notice of one to come), so the panel is not slid
    // out before it, only placed again after it.
    observers_.push_back(center.addObserver(kit::DeviceOrientation::kDidChangeNotification, nullptr, guarded([this] {
        orientationChanging_ = true;
        std::weak_ptr<int> alive = alive_;
        orientationTimeout_ = kit::Timer::scheduled(kOrientationSettleSeconds, false, [this, alive] {
            if (alive.lock()) updateLayout();
        });
    })));
    observers_.push_back(center.addObserver(platform::kApplicationDidReceiveMemoryWarningNotification, nullptr,
                                            guarded([this] { didReceiveMemoryWarning(); })));
}

HubConnectionPanel::~HubConnectionPanel() {
    alive_.reset();
    autohideTimeout_.reset();
    handleTimeout_.reset();
    orientationTimeout_.reset();
    detachEdgeDrag();
    if (watchedViewport_ && resizeWatch_) watchedViewport_->removeEventFilter(resizeWatch_.get());
    for (auto id : observers_) controller_.notificationCenter().removeObserver(id);
    if (auto* window = this->window()) {
        kit::Context::current().animator().removeAllAnimations(*window);
        if (view_) kit::Context::current().animator().removeAllAnimations(*view_);
        window->removeFromSuperview();
    }
}

HubConnectionPanelWindow* HubConnectionPanel::window() const {
    return windowAlive_.expired() ? nullptr : window_;
}

void HubConnectionPanel::postNotification(const char* name) {
    controller_.notificationCenter().post(name, &controller_);
}

// ---- position ----

void HubConnectionPanel::setPosition(int32_t position) {
    if (position < kPanelRight || position > kPanelBottom) {
        STROMBEL_LOG_WARN("Warning: no connection panel position {} (0 right, 1 left, 2 bottom)", position);
        return;
    }
    if (position == position_) return;
    std::weak_ptr<int> alive = alive_;
    kit::Context::current().loop().post([this, alive, position] {
        if (alive.lock()) applyPositionDelayed(position);
    });
}

void HubConnectionPanel::applyPositionDelayed(int32_t position) {
    position_ = position;
    if (animating_ || !view()) return;
    std::weak_ptr<int> alive = alive_;
    hideWithFinishBlock([this, alive] {
        if (alive.lock()) show();
    });
}

void HubConnectionPanel::setVisible(bool visible) {
    if (visible == visible_) return;
    visible_ = visible;
    didChangeValueForKey("visible");
    if (visible && !view() && controller_.connected()) show();
    else if (!visible && view()) hide();
}

// ---- frames ----

namespace {

/// The window that shows `host` on the desktop, while it is shown.
QGraphicsView* shownWindowOf(kit::View* host) {
    QGraphicsScene* scene = host ? host->scene() : nullptr;
    if (!scene) return nullptr;
    for (QGraphicsView* view : scene->views())
        if (view->isVisible()) return view;
    return nullptr;
}

/// Tells of a widget's resizes.
class ResizeWatch final : public QObject {
  public:
    explicit ResizeWatch(std::function<void()> resized) : resized_(std::move(resized)) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize) resized_();
        return false;
    }

  private:
    std::function<void()> resized_;
};

}  // namespace

double HubConnectionPanel::magnification() const {
    QGraphicsView* shown = shownWindowOf(host_ ? host_() : nullptr);
    const double scale = shown ? shown->transform().m11() : 1;
    return scale > 0 ? scale : 1;
}

void HubConnectionPanel::watchWindowSize() {
    QGraphicsView* shown = shownWindowOf(topApplicationWindow());
    QWidget* viewport = shown ? shown->viewport() : nullptr;
    if (viewport == watchedViewport_) return;
    if (watchedViewport_ && resizeWatch_) watchedViewport_->removeEventFilter(resizeWatch_.get());
    watchedViewport_ = viewport;
    if (!viewport) return;
    if (!resizeWatch_) {
        std::weak_ptr<int> alive = alive_;
        // The window fits the screen to its new size once the resize is over:
        // the panel takes its place again after that.
        resizeWatch_ = std::make_unique<ResizeWatch>([this, alive] {
            kit::Context::current().loop().post([this, alive] {
                if (!alive.lock() || !window()) return;
                placeWindow();
                if (!view() || !visible_ || animating_) return;
                layout();
                view_->setFrame(panelFrameForView(view_->size()));
            });
        });
    }
    viewport->installEventFilter(resizeWatch_.get());
}

QSizeF HubConnectionPanel::screenSize() const {
    kit::View* host = host_ ? host_() : nullptr;
    if (host) return host->size() * magnification();
    const auto& screen = kit::Context::current().screen();
    return screen.bounds;
}

// The window's frame is in the host window's points, which keep their axes
// however the device is held: there is no screen transform per orientation and
// no rotation of the window to make up for it.
void HubConnectionPanel::placeWindow() {
    watchWindowSize();
    const double magnified = magnification();
    const QRectF frame = frameForWindow();
    window_->setFrame(QRectF(frame.topLeft() / magnified, frame.size()));
    // Drawn smaller from its corner, which stays at the frame's.
    window_->setTransformOriginPoint(QPointF());
    window_->setScale(1 / magnified);
}

QRectF HubConnectionPanel::frameForWindow() const {
    const QSizeF screen = screenSize();
    switch (position_) {
    case kPanelLeft: return {0, 0, kWindowThickness, screen.height()};
    case kPanelBottom: return {0, screen.height() - kWindowThickness, screen.width(), kWindowThickness};
    default: return {screen.width() - kWindowThickness, 0, kWindowThickness, screen.height()};
    }
}

QRectF HubConnectionPanel::panelFrameForView(const QSizeF& size) const {
    const QRectF window = QRectF(QPointF(), frameForWindow().size());
    const double w = size.width(), h = size.height();
    switch (position_) {
    case kPanelLeft: return {window.left() - kRoundedCornerRadius, std::round((window.height() - h) / 2), w, h};
    case kPanelBottom:
        return {std::round((window.width() - w) / 2), window.bottom() - h + kRoundedCornerRadius, w, h};
    default:
        return {window.right() - w + kRoundedCornerRadius, std::round((window.height() - h) / 2), w, h};
    }
}

QRectF HubConnectionPanel::beyondEdge(const QRectF& frame, int32_t position) {
    switch (position) {
    case kPanelLeft: return frame.translated(-frame.width(), 0);
    case kPanelBottom: return frame.translated(0, frame.height());
    default: return frame.translated(frame.width(), 0);
    }
}

// ---- showing and hiding ----

kit::View* HubConnectionPanel::makeView() {
    auto view = std::make_unique<kit::View>();
    view->setBackgroundColor(Qt::white);
    view->setCornerRadius(kCornerRadius);
    view->setShadow(0.2, QPointF(0, 1), 5);
    auto handle = std::make_unique<HubConnectionPanelHandle>(QRectF(0, 0, kThickness, kThickness));
    handle->setChevronMode(true);
    handle->setTag(kHandleTag);
    auto drag = std::make_unique<HubDrag>([this](kit::GestureRecognizer& g) { dragGesture(static_cast<HubDrag&>(g)); });
    drag->minimumDistance = 4;
    handleDrag_ = static_cast<HubDrag*>(handle->addGestureRecognizer(std::move(drag)));
    handle->addGestureRecognizer(std::make_unique<kit::TapGestureRecognizer>([this](kit::GestureRecognizer& g) {
        if (g.state() == kit::GestureRecognizer::State::ended) handleTapGesture();
    }));
    handle_ = view->add(std::move(handle));
    container_ = view->add(std::make_unique<kit::ScrollView>());
    contentSize_ = {};
    peerButtons_.clear();
    peerInsets_.clear();
    view_ = window()->add(std::move(view));
    return view_;
}

void HubConnectionPanel::adoptHost(kit::View& host) {
    if (!window() || window_->superview() == &host) return;
    if (auto owned = window_->removeFromSuperview())
        window_ = static_cast<HubConnectionPanelWindow*>(host.add(std::move(owned)));
}

void HubConnectionPanel::updateLayout() {
    orientationChanging_ = false;
    kit::View* host = this->topApplicationWindow();
    if (!host) return;
    if (window()) {
        adoptHost(*host);
        placeWindow();
    }
    // The edge drag of a panel pushed away listens on the screen now shown.
    if (topGestureRecognizer()) attachEdgeDrag();
    if (view()) show();
}

void HubConnectionPanel::show() {
    if (delegate_ && !delegate_->connectionPanelShouldAppear(*this)) return;
    kit::View* host = host_ ? host_() : nullptr;
    if (!host) return;
    if (!visible_) {
        visible_ = true;
        didChangeValueForKey("visible");
    }
    detachEdgeDrag();
    if (!window()) {
        auto window = std::make_unique<HubConnectionPanelWindow>();
        windowAlive_ = window->lifetime();
        window_ = host->add(std::move(window));
        tabDrag_ = nullptr;
    }
    adoptHost(*host);
    host->bringSubviewToFront(window_);
    window_->setHidden(false);
    placeWindow();
    if (!view_) makeView();
    layout();
    const QRectF target = panelFrameForView(view_->size());
    view_->setFrame(beyondEdge(target));
    shownAt_ = position_;
    animating_ = true;
    std::weak_ptr<int> alive = alive_;
    const int32_t shownAt = position_;
    kit::Context::current().animator().animatePosition(*view_, target.topLeft(), kSlideSeconds,
                                                       [this, alive, shownAt](bool) {
                                                           if (!alive.lock()) return;
                                                           animating_ = false;
                                                           if (position_ != shownAt && view()) {
                                                               hideWithFinishBlock([this, alive] {
                                                                   if (alive.lock()) show();
                                                               });
                                                           }
                                                       });
    postNotification(kHubConnectionPanelShownNotification);
}

void HubConnectionPanel::hideWithFinishBlock(std::function<void()> finish) {
    animating_ = true;
    if (visible_) {
        visible_ = false;
        didChangeValueForKey("visible");
    }
    autohideTimeout_.reset();
    if (kit::View* view = this->view()) {
        std::weak_ptr<int> alive = alive_;
        std::weak_ptr<void> viewAlive = view->lifetime();
        kit::Context::current().animator().animatePosition(
            // Out at the edge it came in at, though a new edge may be waiting.
            *view, beyondEdge(view->frame(), shownAt_).topLeft(), kSlideSeconds,
            [this, alive, viewAlive, view, finish](bool) {
                if (!alive.lock()) return;
                if (!viewAlive.expired() && view == view_) {
                    view_->removeFromSuperview();
                    view_ = nullptr;
                    container_ = nullptr;
                    handle_ = nullptr;
                    handleDrag_ = nullptr;
                    peerButtons_.clear();
                    peerInsets_.clear();
                    if (!controller_.connected() && window()) window_->setHidden(true);
                }
                animating_ = false;
                if (finish) finish();
            });
    } else {
        animating_ = false;
        if (!controller_.connected() && window()) window_->setHidden(true);
        if (finish) finish();
    }
    // While connected the user may pull the panel back from the edge.
    if (controller_.connected()) attachEdgeDrag();
    else leaveEdge();
    postNotification(kHubConnectionPanelHiddenNotification);
}

void HubConnectionPanel::startAutoHide() {
    std::weak_ptr<int> alive = alive_;
    autohideTimeout_ = kit::Timer::scheduled(kAutoHideSeconds, false, [this, alive] {
        if (alive.lock()) hide();
    });
}

void HubConnectionPanel::connectionsChanged() {
    if (controller_.hubConnected()) {
        if (visible_ && view()) {
            layoutAnimated(kSlideSeconds);
        } else {
            show();
            if (userHidden_) startAutoHide();
        }
    } else {
        if (visible_ || view()) {
            hide();
        } else if (!controller_.connected()) {
            // Pushed away before the session ended: nothing is left to pull out.
            leaveEdge();
        }
        userHidden_ = false;
    }
}

void HubConnectionPanel::peerAttributesChanged() {
    if (visible_ && view()) layoutAnimated(kSlideSeconds);
}

// ---- peers ----

bool HubConnectionPanel::peerIsInteractive(const Peer& peer) const {
    if (peer->type() == HubPeer::Local || peer->type() == HubPeer::Self) return true;
    if (!peer->panelTriggers().empty()) return true;
    return applicablePortsOfPeer(peer).size() > 1;
}

strombel::hub::HubPortList HubConnectionPanel::applicablePortsOfPeer(const Peer& peer) const {
    strombel::hub::HubPortList ports;
    for (const auto& port : controller_.connectedPorts())
        if (port->peer() == peer) ports.push_back(port);
    if (ports.size() != 1) return {};
    const int32_t type = ports.front()->type();
    return type == 0 ? peer->receiverPorts() : type == 2 ? peer->senderPorts() : peer->filterPorts();
}

std::vector<HubConnectionPanel::Peer> HubConnectionPanel::orderedPeers() const {
    std::vector<Peer> peers;
    const auto self = controller_.selfPeer();
    for (const auto& peer : controller_.connectedPeers())
        if (peer && peer != self) peers.push_back(peer);
    std::stable_sort(peers.begin(), peers.end(), [this](const Peer& a, const Peer& b) {
        return peerIsInteractive(a) && !peerIsInteractive(b);
    });
    if (auto hub = controller_.controllerPeer()) {
        std::erase(peers, hub);
        peers.insert(peers.begin(), hub);
    }
    return peers;
}

HubButton* HubConnectionPanel::peerButton(const Peer& peer) const {
    auto it = peerButtons_.find(keyOf(peer));
    return it == peerButtons_.end() ? nullptr : it->second;
}

HubConnectionPanelInsetView* HubConnectionPanel::insetOf(const Peer& peer) const {
    auto it = peerInsets_.find(keyOf(peer));
    return it == peerInsets_.end() ? nullptr : it->second.container;
}

HubButton* HubConnectionPanel::switchButtonOf(const Peer& peer) const {
    auto it = peerInsets_.find(keyOf(peer));
    return it == peerInsets_.end() ? nullptr : it->second.launch;
}

HubButton* HubConnectionPanel::triggerButtonOf(const Peer& peer, uint32_t identifier) const {
    auto it = peerInsets_.find(keyOf(peer));
    if (it == peerInsets_.end()) return nullptr;
    auto button = it->second.triggers.find(identifier);
    return button == it->second.triggers.end() ? nullptr : button->second;
}

// ---- actions ----

void HubConnectionPanel::togglePeer(HubButton& button) {
    const auto peer = std::any_cast<Peer>(button.context());
    const PeerKey key = keyOf(peer);
    if (auto it = peerInsets_.find(key); it != peerInsets_.end()) {
        // The folding inset shrinks to nothing along the strip, then goes.
        if (kit::View* inset = it->second.container) {
            const QSizeF none = position_ == kPanelBottom ? QSizeF(0, inset->height()) : QSizeF(inset->width(), 0);
            std::weak_ptr<void> insetAlive = inset->lifetime();
            kit::Context::current().animator().animateSize(*inset, none, kUnfoldSeconds, [insetAlive, inset](bool) {
                if (!insetAlive.expired()) inset->removeFromSuperview();
            });
        }
        peerInsets_.erase(it);
        button.setSelected(false);
    } else {
        peerInsets_[key];
        button.setSelected(true);
    }
    layoutAnimated(kUnfoldSeconds);
}

void HubConnectionPanel::showPeer(HubButton& button) {
    controller_.activatePeer(std::any_cast<Peer>(button.context()));
}

void HubConnectionPanel::activateTrigger(HubButton& button) {
    std::any_cast<std::shared_ptr<HubRemoteButtonTrigger>>(button.context())->activate();
}

}  // namespace strombel::ui::hub
