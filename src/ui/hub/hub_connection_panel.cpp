#include "ui/hub/hub_connection_panel.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "hub/hub_built_in_images.h"
#include "hub/hub_peer.h"
#include "hub/hub_peer_resource.h"
#include "logging/log.h"
#include "platform/application_state.h"
#include "platform/localized_strings.h"
#include "ui/kit/animator.h"
#include "ui/kit/context.h"
#include "ui/kit/device_orientation.h"
#include "ui/kit/image_view.h"
#include "ui/kit/scroll_view.h"

namespace strombel::ui::hub {

using strombel::hub::HubColor;
using strombel::hub::HubPeer;
using strombel::hub::HubRemoteButtonTrigger;

namespace {

QImage toQImage(const std::shared_ptr<strombel::hub::HubImage>& image) {
    if (!image) return {};
    const auto& bytes = image->png().data();
    return QImage::fromData(bytes.data(), int(bytes.size()), "PNG");
}

double evenUp(double value) {
    const double whole = std::ceil(value);
    return std::fmod(whole, 2) == 0 ? whole : whole + 1;
}

/// Long names are cut with an ellipsis before they go into a text.
std::string elided(const std::string& name) {
    constexpr int kLongest = 40;
    const QString text = QString::fromStdString(name);
    if (text.size() <= kLongest) return name;
    return (text.left(kLongest - 1) + QChar(0x2026)).toStdString();
}

/// The localised `format` with its one "%@" replaced by `argument`, which is
/// never read as a format itself.
std::string formatted(const std::string& format, const std::string& argument) {
    std::string text = format;
    if (const size_t at = text.find("%@"); at != std::string::npos) text.replace(at, 2, argument);
    return text;
}

uint32_t colorBits(const std::optional<HubColor>& color) {
    if (!color) return 0;
    auto component = [](double value) { return uint32_t(std::clamp(value, 0.0, 1.0) * 255) & 0xff; };
    return component(color->red) | component(color->green) << 8 | component(color->blue) << 16 | 1u << 24;
}

}  // namespace

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
    // The session posts the platform's names; the hub's tests post the hub's.
    for (const char* name : {strombel::hub::kApplicationWillEnterForegroundNotification,
                             platform::kApplicationWillEnterForegroundNotification})
        observers_.push_back(center.addObserver(name, nullptr, guarded([this] { updateLayout(); })));
    // A turn of the device may bring another screen (the phone's portrait one):
    // the panel follows once the turn has settled.
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

QSizeF HubConnectionPanel::screenSize() const {
    kit::View* host = host_ ? host_() : nullptr;
    if (host) return host->size();
    const auto& screen = kit::Context::current().screen();
    return screen.bounds;
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
        window_->setFrame(frameForWindow());
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
    window_->setFrame(frameForWindow());
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
    else detachEdgeDrag();
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
        if (visible_ || view()) hide();
        userHidden_ = false;
    }
}

void HubConnectionPanel::peerAttributesChanged() {
    if (visible_ && view()) layoutAnimated(kSlideSeconds);
}

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
    drag->setCancelsTouchesInView(false);  // the pads under it keep their touches
    topGestureRecognizer_ = static_cast<HubDrag*>(host->addGestureRecognizer(std::move(drag)));
    edgeHostAlive_ = host->lifetime();
}

void HubConnectionPanel::detachEdgeDrag() {
    if (topGestureRecognizer_ && !edgeHostAlive_.expired()) topGestureRecognizer_->setEnabled(false);
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
    if (!host || !window()) return;
    const QSizeF screen = screenSize();
    switch (drag.state()) {
    case State::began: {
        const QPointF first = drag.firstTouchLocationInView(host);
        draggingOut_ = position_ == kPanelLeft    ? first.x() <= kEdgeZone
                       : position_ == kPanelRight ? first.x() >= screen.width() - kEdgeZone
                                                  : first.y() >= screen.height() - kEdgeZone;
        if (draggingOut_) makeTab();
        break;
    }
    case State::changed: {
        kit::View* tab = handleTabView();
        if (!draggingOut_ || !tab) break;
        const QPointF offset = drag.offsetInView(host);
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
        const QPointF offset = drag.offsetInView(host);
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

// ---- images ----

QImage HubConnectionPanel::imageWithImage(const QImage& image, const QSize& pixels) {
    if (image.isNull() || image.size() == pixels) return image;
    return image.scaled(pixels, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

HubConnectionPanel::IconKey HubConnectionPanel::iconCacheKeyForIcon(const void* icon,
                                                                   const std::optional<HubColor>& color) {
    return {icon, colorBits(color)};
}

QImage HubConnectionPanel::triggerImageFromImage(const QImage& image, const std::optional<HubColor>& color) {
    if (image.isNull()) return {};
    const HubColor tint = color.value_or(HubColor::white(0.4));
    QImage result(image.size(), QImage::Format_ARGB32_Premultiplied);
    result.fill(QColor::fromRgbF(float(tint.red), float(tint.green), float(tint.blue), float(tint.alpha)));
    QPainter painter(&result);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    // Pixel onto pixel, whatever the picture's pixel ratio: the colour is kept
    // only where the picture is drawn, over the whole of it.
    painter.drawImage(result.rect(), image, image.rect());
    painter.end();
    result.setDevicePixelRatio(image.devicePixelRatio());
    return result;
}

QImage HubConnectionPanel::peerImage(const Peer& peer) {
    const QSize size(int(kButtonSize * 2), int(kButtonSize * 2));
    std::shared_ptr<strombel::hub::HubImage> icon;
    if (auto* manager = peer->resourceManager(); manager && peer->dbPeer()) {
        if (auto proxy = manager->imageResourceWithID(strombel::hub::kHubApplicationIconResourceID, peer->dbPeer()))
            icon = proxy->image;
    }
    if (icon) {
        const IconKey key = iconCacheKeyForIcon(icon.get(), std::nullopt);
        if (auto it = iconCache_.find(key); it != iconCache_.end()) return it->second;
        QImage image = toQImage(icon);
        if (!image.isNull()) {
            image = imageWithImage(image, size);
            image.setDevicePixelRatio(2);
            iconCache_[key] = image;
            return image;
        }
        // An icon that does not decode shows the blank one.
    }
    const auto blankImage = strombel::hub::HubBuiltInImageNamed("Blank-App.png");
    const IconKey key = iconCacheKeyForIcon(blankImage.get(), std::nullopt);
    if (auto it = iconCache_.find(key); it != iconCache_.end()) return it->second;
    QImage blank = imageWithImage(toQImage(blankImage), size);
    blank.setDevicePixelRatio(2);
    iconCache_[key] = blank;
    return blank;
}

QImage HubConnectionPanel::cachedTriggerImage(const std::shared_ptr<strombel::hub::HubPeerResourceImageProxy>& icon,
                                              const std::optional<HubColor>& color) {
    if (!icon || !icon->image) return {};
    const IconKey key = iconCacheKeyForIcon(icon->image.get(), color);
    if (auto it = iconCache_.find(key); it != iconCache_.end()) return it->second;
    QImage image = toQImage(icon->image);
    if (image.isNull()) return {};
    // Drawn at half its pixel size: the pictures come at twice the points.
    image = imageWithImage(image, QSize(int(std::lround(image.width() / 2.0)) * 2, int(std::lround(image.height() / 2.0)) * 2));
    image.setDevicePixelRatio(2);
    image = triggerImageFromImage(image, color);
    iconCache_[key] = image;
    return image;
}

QImage HubConnectionPanel::switchImage() {
    auto image = strombel::hub::HubBuiltInImageNamed("Switch-To-App.png");
    const IconKey key = iconCacheKeyForIcon(image.get(), std::nullopt);
    if (auto it = iconCache_.find(key); it != iconCache_.end()) return it->second;
    QImage picture = toQImage(image);
    picture.setDevicePixelRatio(2);
    picture = triggerImageFromImage(picture, std::nullopt);
    iconCache_[key] = picture;
    return picture;
}

// ---- layout ----

void HubConnectionPanel::layoutAnimated(double seconds) {
    if (!view()) return;
    const QRectF before = view_->frame();
    layout();
    const QRectF after = view_->frame();
    if (animating_ || before.isEmpty() || before == after) return;
    view_->setFrame(before);
    kit::Context::current().animator().animateFrame(*view_, after, seconds);
}

void HubConnectionPanel::layout() {
    if (!view()) return;
    const bool bottom = position_ == kPanelBottom;
    handle_->setPosition(position_);
    handle_->setX(position_ == kPanelLeft ? kRoundedCornerRadius : 0);
    handle_->setY(0);
    handle_->setHorizontal(bottom);
    handle_->setHidden(bottom);

    const auto peers = orderedPeers();
    std::set<PeerKey> listed;
    for (const auto& peer : peers) listed.insert(keyOf(peer));
    for (auto it = peerButtons_.begin(); it != peerButtons_.end();) {
        if (listed.count(it->first)) {
            ++it;
            continue;
        }
        it->second->removeFromSuperview();
        it = peerButtons_.erase(it);
    }
    for (auto it = peerInsets_.begin(); it != peerInsets_.end();) {
        if (listed.count(it->first)) {
            ++it;
            continue;
        }
        if (it->second.container) it->second.container->removeFromSuperview();
        it = peerInsets_.erase(it);
    }

    const double across = std::round((kThickness - kButtonSize) / 2);
    QPointF cursor = bottom ? QPointF(kRowPitch, 0) : QPointF(position_ == kPanelLeft ? kRoundedCornerRadius : 0, kRowPitch);
    for (const auto& peer : peers) {
        const PeerKey key = keyOf(peer);
        HubButton*& button = peerButtons_[key];
        if (!button) {
            auto made = std::make_unique<HubButton>(QRectF(0, 0, kButtonSize, kButtonSize));
            made->scalesImageToFill = true;
            made->setCornerRadius(6.666666648);
            made->setBorder(1, Qt::black);
            made->setTarget([this](HubButton& b) { togglePeer(b); }, peer);
            button = container_->contentView()->add(std::move(made));
        }
        button->setImage(peerImage(peer), kit::normal);
        const std::string name = elided(peer->displayName());
        button->accessibilityLabel = QString::fromStdString(name);
        button->accessibilityHint = QString::fromStdString(
            formatted(platform::localizedString(platform::MainBundle::shared(), "Open controls for %@"), name));
        button->setX(cursor.x() + (bottom ? 0 : across), cursor.y() + (bottom ? across + 1 : 0));
        const bool onDevice = peer->type() == HubPeer::Local || peer->type() == HubPeer::Self;
        button->setUserInteractionEnabled(onDevice || !peer->panelTriggers().empty());
        if (bottom) cursor.rx() += kButtonSize + kRowPitch;
        else cursor.ry() += kButtonSize + kRowPitch;

        auto inset = peerInsets_.find(key);
        if (inset == peerInsets_.end()) continue;
        const size_t n = peer->panelTriggers().size() + (peer->type() == HubPeer::Local ? 1 : 0);
        const double length = double(n) * kControlPitch + 6;
        layoutInset(peer, inset->second, cursor, length);
        if (bottom) cursor.rx() += inset->second.container->width() + kRowPitch;
        else cursor.ry() += inset->second.container->height() + kRowPitch;
    }

    const QSizeF screen = screenSize();
    QSizeF panel, content;
    QRectF containerFrame;
    if (bottom) {
        double width = std::min(cursor.x(), screen.width() - 50);
        double thickness = kThickness + kRoundedCornerRadius;
        content = {cursor.x() - 6, 50};
        if (content.width() > width) thickness = kScrollingThickness;
        panel = {width, evenUp(thickness)};
        containerFrame = {0, 0, width - 6, panel.height()};
    } else {
        double height = std::min(cursor.y() + 50, screen.height() - 50);
        double width = kThickness + kRoundedCornerRadius;
        content = {50, cursor.y() - 6};
        if (content.height() > height - 50) width = kScrollingThickness;
        panel = {width, evenUp(height)};
        containerFrame = {0, 50, width, evenUp(height - 56)};
    }
    // The panel grows about its middle along the edge and keeps its side at the edge.
    const QRectF old = view_->frame();
    QRectF frame(QPointF(), panel);
    if (bottom) frame.moveTo(old.center().x() - panel.width() / 2, old.bottom() - panel.height());
    else if (position_ == kPanelLeft) frame.moveTo(old.x(), old.center().y() - panel.height() / 2);
    else frame.moveTo(old.right() - panel.width(), old.center().y() - panel.height() / 2);
    view_->setFrame(frame);
    container_->setFrame(containerFrame);
    if (content != contentSize_) {
        container_->setContentSize(content);
        if (container_->scrolls()) container_->flashScrollIndicators();
    }
    contentSize_ = content;
}

void HubConnectionPanel::layoutInset(const Peer& peer, Inset& inset, const QPointF& cursor, double length) {
    const bool bottom = position_ == kPanelBottom;
    const QRectF frame = bottom ? QRectF(cursor.x(), cursor.y() + 6, length + 6, 39)
                                : QRectF(cursor.x() + 6, cursor.y(), kButtonSize, length + 7);
    if (!inset.container) {
        auto view = std::make_unique<HubConnectionPanelInsetView>(frame);
        view->setClipsToBounds(true);
        inset.container = container_->contentView()->add(std::move(view));
    }
    inset.container->setPosition(position_);
    if (inset.container->frame() != frame) {
        inset.container->setFrame(frame);
        inset.container->setNeedsDisplay();
    }
    double along = 12;
    auto place = [&](HubButton& button) {
        button.setFrame(bottom ? QRectF(along, 0, kButtonSize, kButtonSize) : QRectF(0, along, kButtonSize, kButtonSize));
        along += kButtonSize + 6;
    };
    const std::string name = elided(peer->displayName());
    if (peer->type() == HubPeer::Local) {
        if (!inset.launch) {
            auto button = std::make_unique<HubButton>();
            button->setTarget([this](HubButton& b) { showPeer(b); }, peer);
            inset.launch = inset.container->add(std::move(button));
        }
        inset.launch->setImage(switchImage(), kit::normal);
        inset.launch->accessibilityLabel =
            QString::fromStdString(formatted(platform::localizedString(platform::MainBundle::shared(), "Open %@"), name));
        place(*inset.launch);
    }
    std::set<uint32_t> present;
    for (const auto& trigger : peer->panelTriggers()) {
        auto remote = std::dynamic_pointer_cast<HubRemoteButtonTrigger>(trigger);
        if (!remote) continue;
        present.insert(remote->numericIdentifier());
        HubButton*& button = inset.triggers[remote->numericIdentifier()];
        if (!button) {
            auto made = std::make_unique<HubButton>();
            made->setTarget([this](HubButton& b) { activateTrigger(b); }, remote);
            button = inset.container->add(std::move(made));
        }
        const int32_t state = remote->state();
        const bool alternate = state == strombel::hub::HubTrigger::Alternate;
        auto icon = alternate && remote->alternateIcon() ? remote->alternateIcon() : remote->icon();
        button->setImage(cachedTriggerImage(icon, alternate ? remote->alternateColor() : remote->color()), kit::normal);
        auto selectedIcon = remote->selectedIcon() ? remote->selectedIcon() : remote->icon();
        button->setImage(cachedTriggerImage(selectedIcon, remote->selectedColor()), kit::selected);
        std::string label = remote->title();
        if (state == strombel::hub::HubTrigger::Selected && !remote->selectedTitle().empty()) label = remote->selectedTitle();
        if (alternate && !remote->alternateTitle().empty()) label = remote->alternateTitle();
        button->accessibilityLabel = QString::fromStdString(label);
        const bool disabled = state == strombel::hub::HubTrigger::Disabled;
        button->setAlpha(disabled ? 0.5 : 1);
        button->setUserInteractionEnabled(!disabled);
        button->setSelected(state == strombel::hub::HubTrigger::Selected);
        place(*button);
    }
    for (auto it = inset.triggers.begin(); it != inset.triggers.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        it->second->removeFromSuperview();
        it = inset.triggers.erase(it);
    }
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
